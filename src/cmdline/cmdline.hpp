#pragma once

#include <cstdint>
#include <string_view>

namespace halvard {

struct Run;

// What the first argument asks for: a run of a function, or an answer that touches no port.
enum class Request { run, help, version, ports };
// --help, -h and /? ask for the usage text, --version for the version line, --ports for the list
// of serial ports; anything else is left to ParseCmdLine.
Request RequestOf(int argc, char* argv[]);

// Fills run.settings from the arguments, or ends the run (usage, or a command-line error).
// Options are upper-cased in place; the file name keeps its case.
void ParseCmdLine(Run& run, int argc, char* argv[]);
void UpcaseArgument(char* argument);
void PrintUsage(Run& run);

// strtol as a 32-bit C library does it: sign, blanks, "0X" in base 16, junk ends the number,
// no digits give 0, out-of-range values saturate.
std::uint32_t ParseNumber(std::string_view text, int base);

}  // namespace halvard
