#pragma once

// The register and condition names the disassembler prints, looked up the other way. The lists
// stay in disassembler.cpp, so that the assembler accepts exactly the names it prints.

#include <cstdint>
#include <optional>
#include <string_view>

namespace halvard::sim {

// "DPP1" -> 0xFE02; any case.
std::optional<std::uint16_t> registerAddress(std::string_view name);
// "cc_NZ" -> 3; any case.
std::optional<unsigned> conditionCode(std::string_view name);

}  // namespace halvard::sim
