#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace halvard {

// How one board's run ended, for the table, the log and the JSON.
struct BoardResult {
    std::string port;  // as typed on the command line
    int status = 0;
    std::string error;  // the failure's lines, empty on success
    std::string cpu;    // empty until the CPU is known
    double clockMHz = 0;
    std::string flash;  // empty until the chip is known
    double seconds = 0;
    std::string file;  // the image, or the file /R wrote
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::optional<std::uint32_t> serial;
};

}  // namespace halvard
