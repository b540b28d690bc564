#pragma once

#include "app/run.hpp"
#include "base/clock.hpp"
#include "base/console.hpp"
#include "line/port.hpp"

namespace halvard {

// The whole run, banner to close; returns the exit status. Every failure unwinds to here, or to
// its board's run, and is told there, once.
int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine);
// The same with a clock of its own for each board (the program's way): outside is real time.
int RunHalvard(int argc, char* argv[], Console& console, Clock& outside,
               BoardLineFactory openBoardLine);

// The stages of a run after the command line, in their order; returns the exit status of the
// boards.
int RunSequence(Run& run, int argc, char* argv[]);

void PrintBanner(Console& console);
// "Version 1.08. Compiled at ...", the banner's line that --version prints alone.
void PrintVersionLine(Console& console);

}  // namespace halvard
