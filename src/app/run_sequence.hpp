#pragma once

#include <cstdint>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "line/port.hpp"

namespace halvard {

struct Run;

// The whole run, banner to close; returns the exit status. Every fatal exit unwinds to here.
int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine);

// The stages of a run after the command line, in their order; ends the run on every failure.
void RunSequence(Run& run, int argc, char* argv[]);

void PrintBanner(Run& run);
// "Version 1.08. Compiled at ...", the banner's line that --version prints alone.
void PrintVersionLine(Run& run);
// Checks /OFFSET= against the flash size and cuts the length to the device.
void SettleRange(Run& run, std::uint32_t flashSize);
double CpuClockMHz(std::uint16_t t6, std::int32_t baudRate);

}  // namespace halvard
