#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/board.hpp"

namespace halvard::sim::tool {

struct FaultRequest {
    std::string name;
    std::string argument;  // empty when none was given
};

struct ToolOptions {
    BoardConfig board;
    std::optional<std::uint32_t> cpuId;  // replaces the model's identification word
    bool baudGiven = false;
    bool trace = false;
    bool resetOnOpen = false;
    bool exitOnClose = false;
    bool help = false;
    std::string flashChip = "psd813f";  // a catalog key or ID, or "none" for an empty bus
    std::string flashImage;
    std::vector<FaultRequest> faults;
};

struct ParseResult {
    std::optional<ToolOptions> options;  // empty on a bad command line
    std::string error;                   // why, for the user
};

ParseResult parseOptions(const std::vector<std::string_view>& args);
std::string usageText();

}  // namespace halvard::sim::tool
