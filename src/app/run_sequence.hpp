#pragma once

#include "base/clock.hpp"
#include "base/console.hpp"
#include "line/port.hpp"

namespace halvard {

struct Run;

// The whole run, banner to close; returns the exit status. Every failure unwinds to here and is
// told here, once.
int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine);

// The stages of a run after the command line, in their order.
void RunSequence(Run& run, int argc, char* argv[]);

void PrintBanner(Console& console);
// "Version 1.08. Compiled at ...", the banner's line that --version prints alone.
void PrintVersionLine(Console& console);

}  // namespace halvard
