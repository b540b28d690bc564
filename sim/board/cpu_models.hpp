#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace halvard::sim {

// Which on-chip bootstrap loader the board carries: the C16x one (code at 0xFA40) or the
// C166SV2 one (code in the PSRAM at 0xE0'0000).
enum class LoaderKind { c16x, xc16x };

// A run of physical addresses, first up to but not including end.
struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t end = 0;

    bool holds(std::uint32_t address) const { return address >= first && address < end; }
    std::uint32_t size() const { return end - first; }
    bool empty() const { return end <= first; }
};

// What the host can tell about the CPU: the loader's identification byte and the identification
// registers IDMANUF (0xF07E) and IDCHIP (0xF07C, low byte the revision); and the RAM the chip has,
// so that code which writes where the chip has none stops the board instead of working only here.
struct CpuModel {
    std::string_view name;     // as given to --cpu, lower case
    std::string_view display;  // as messages name it
    std::uint8_t bootId;
    std::uint16_t idManuf;
    std::uint16_t idChip;
    LoaderKind loader;
    AddressRange internalRam;  // in the on-chip area of segment 0, between ESFRs and SFRs
    AddressRange psram;        // where the C166SV2 loader puts the code; empty on a C16x

    std::uint32_t idWord() const { return (std::uint32_t{idManuf} << 16) | idChip; }
};

std::span<const CpuModel> cpuModels();
// Case-insensitive lookup by name ("c167cr", "XC16x", ...).
std::optional<CpuModel> findCpuModel(std::string_view name);
// The model with its identification word replaced (IDMANUF high half, IDCHIP low half). A C167CR
// that is given a nonzero word becomes a part with identification registers, so it answers 0xD5.
CpuModel withIdWord(CpuModel model, std::uint32_t idWord);

}  // namespace halvard::sim
