#pragma once

#include "link/port.hpp"
#include "run/clock.hpp"
#include "run/console.hpp"

namespace halvard {

struct Run;

// The whole run, banner to close; returns the exit status. Every fatal exit unwinds to here.
int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine);

// The stages of a run after the command line, in their order; ends the run on every failure.
void RunSequence(Run& run, int argc, char* argv[]);

void PrintBanner(Run& run);
// The empty line and the line that says whom to contact.
void PrintContactLine(Run& run);

}  // namespace halvard
