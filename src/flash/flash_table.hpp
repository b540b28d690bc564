#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace halvard {

// Bits of FlashDevice::flags. The whole word also goes to the flash algorithm (R4).
inline constexpr std::uint16_t kFlashBusMask = 0x0003;
inline constexpr std::uint16_t kFlashBus8 = 0x0000;
inline constexpr std::uint16_t kFlashBus16 = 0x0001;
inline constexpr std::uint16_t kFlashAmd = 0x0004;
inline constexpr std::uint16_t kFlashCmd40 = 0x0008;
// Two byte-wide devices side by side on a 16-bit bus: every sector counts twice.
inline constexpr std::uint16_t kFlashPaired = 0x0010;
inline constexpr std::uint16_t kFlashBootMask = 0x00C0;
inline constexpr std::uint16_t kFlashBootTop = 0x00C0;
inline constexpr std::uint16_t kFlashBootBottom = 0x0040;

struct SectorGroup {
    std::uint8_t sectorCount = 0;
    std::uint16_t sectorSize = 0;  // in units of 256 bytes
};

// Sector geometry from offset 0 of the device upwards, and the unlock cells (offsets from the
// device base).
struct SectorLayout {
    std::uint16_t unlockAddr1 = 0;
    std::uint16_t unlockAddr2 = 0;
    std::uint8_t groupCount = 0;
    std::array<SectorGroup, 20> groups{};
};

struct FlashDevice {
    std::string_view name;    // empty: end of the table
    std::uint8_t idSize = 0;  // 2: two byte reads; 4: two word reads
    std::uint32_t id = 0;
    std::uint16_t flags = 0;
    const SectorLayout* layout = nullptr;
};

inline constexpr SectorLayout kLayoutA{0x5555, 0x2AAA, 1, {{{8, 0x0040}}}};
inline constexpr SectorLayout kLayoutB{0x5555, 0x2AAA, 1, {{{8, 0x0100}}}};
// C, D and E address word-wide devices: their unlock offsets are the byte-wide ones doubled.
inline constexpr SectorLayout kLayoutC{0xAAAA, 0x5554, 1, {{{8, 0x0040}}}};
inline constexpr SectorLayout kLayoutD{
    0xAAAA, 0x5554, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {7, 0x0100}}}};
inline constexpr SectorLayout kLayoutE{
    0xAAAA, 0x5554, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {15, 0x0100}}}};

// The known devices, probed in this order; the row with the empty name ends the table.
inline constexpr std::array<FlashDevice, 5> kFlashDevices{{
    {"WSI PSD813Fx", 2, 0xE320, kFlashAmd, &kLayoutA},
    {"WSI PSD813Fx-A/913Fx", 2, 0xE420, kFlashAmd, &kLayoutA},
    {"WSI PSD833F2/853F2", 2, 0xE720, kFlashAmd, &kLayoutA},
    {"WSI PSD835G2/935G2", 2, 0xE820, kFlashAmd, &kLayoutB},
    {},
}};

}  // namespace halvard
