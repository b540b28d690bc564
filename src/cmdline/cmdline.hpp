#pragma once

#include <cstdint>
#include <string_view>

namespace halvard {

struct Run;

// Fills run.settings from the arguments, or ends the run (usage, or a command-line error).
// Options are upper-cased in place; the file name keeps its case.
void ParseCmdLine(Run& run, int argc, char* argv[]);
void UpcaseArgument(char* argument);
void PrintUsage(Run& run);

// strtol as a 32-bit C library does it: sign, blanks, "0X" in base 16, junk ends the number,
// no digits give 0, out-of-range values saturate.
std::uint32_t ParseNumber(std::string_view text, int base);

}  // namespace halvard
