#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/virtual_board.hpp"

namespace halvard::sim::tool {

struct ToolOptions {
    VirtualBoardOptions board;
    bool baudGiven = false;
    bool trace = false;
    bool resetOnOpen = false;
    bool exitOnClose = false;
    bool help = false;
};

struct ParseResult {
    std::optional<ToolOptions> options;  // empty on a bad command line
    std::string error;                   // why, for the user
};

ParseResult parseOptions(const std::vector<std::string_view>& args);
std::string usageText();

}  // namespace halvard::sim::tool
