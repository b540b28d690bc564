#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/console.hpp"
#include "cmdline/settings.hpp"
#include "image/sparse_image.hpp"

namespace halvard {

// What the command line says: the settings, and the data of a HEX or S-record input file, read
// and checked whole before any port is opened (none for a raw file).
struct CommandLine {
    RunSettings settings;
    std::optional<SparseImage> image;
};

// What the first argument asks for: a run of a function, or an answer that touches no port.
enum class Request { run, help, version, ports };
// --help, -h and /? ask for the usage text, --version for the version line, --ports for the list
// of serial ports; anything else is left to ParseCmdLine.
Request RequestOf(int argc, char* argv[]);

// The settings the arguments make, or the end of the run (usage, or a command-line error).
// Options are upper-cased in place; the file name keeps its case.
CommandLine ParseCmdLine(Console& console, int argc, char* argv[]);
void UpcaseArgument(char* argument);
// The port that /COM= with this one value chooses, as its label and its device.
void SetTypedPort(RunSettings& settings, std::string_view typed);
void PrintUsage(Console& console);

// strtol as a 32-bit C library does it: sign, blanks, "0X" in base 16, junk ends the number,
// no digits give 0, out-of-range values saturate.
std::uint32_t ParseNumber(std::string_view text, int base);

}  // namespace halvard
