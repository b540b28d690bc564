#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace halvard {

// A CPU the tool supports: the byte its on-chip loader answers the first zero byte with, and
// the identification word (IDMANUF x 65536 + IDCHIP) under a mask; the bits outside the mask
// are the revision.
struct CpuType {
    std::string_view name;
    std::uint8_t bootId;
    std::uint32_t idValue;
    std::uint32_t idMask;
    std::uint32_t ramStart;  // internal RAM from here to 0xFDFF (assumed for the C161 parts)
};

// In the order they are tried: the first row that matches wins.
inline constexpr std::array<CpuType, 4> CpuTable = {{
    {"Infineon C167CR/C167SR", 0xC5, 0x00000000, 0xFFFFFF00, 0xF600},
    {"Infineon C167CS", 0xD5, 0x18200C00, 0xFFFFFF00, 0xF200},
    {"Infineon C161PI", 0xD5, 0x18201300, 0xFFFFFF00, 0xFA00},
    {"Infineon C161RI", 0xD5, 0x18200900, 0xFFFFFF00, 0xFA00},
}};

// True when the byte is the loader identification of some row.
bool IsBootId(std::uint8_t b, std::span<const CpuType> table = CpuTable);
// The first row whose masked value matches the identification word, or null.
const CpuType* FindCpu(std::uint32_t id, std::span<const CpuType> table = CpuTable);
// The revision printed for the CPU: the bits outside the mask, counted from 1.
int CpuRevision(const CpuType& cpu, std::uint32_t id);

}  // namespace halvard
