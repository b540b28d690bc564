#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
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
    // An x8/x16 part in byte mode: its lowest address line is A-1, so autoselect answers the
    // device code at offset 2, not 1.
    bool evenCodes = false;
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

// Two 29F040-class chips side by side: eight 64 KB sectors each.
inline constexpr SectorLayout kLayoutF{0xAAAA, 0x5554, 1, {{{8, 0x0100}}}};
// Word mode, boot sectors at the top: 4, 8 and 16 Mbit (D and E are the bottom-boot 4 and 8 Mbit
// maps, I the bottom-boot 16 Mbit one). The parts decode only A10-A0 of a command cycle's word
// address, so the doubled byte-wide cells reach their cells 0x555 and 0x2AA.
inline constexpr SectorLayout kLayoutG{
    0xAAAA, 0x5554, 4, {{{7, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}};
inline constexpr SectorLayout kLayoutH{
    0xAAAA, 0x5554, 4, {{{15, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}};
inline constexpr SectorLayout kLayoutI{
    0xAAAA, 0x5554, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {31, 0x0100}}}};
inline constexpr SectorLayout kLayoutJ{
    0xAAAA, 0x5554, 4, {{{31, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}};
// The same parts in byte mode on an 8-bit bus: cells 0xAAA and 0x555, codes at even offsets.
// K/L: 4 Mbit bottom/top, M/N: 8 Mbit, O/P: 16 Mbit.
inline constexpr SectorLayout kLayoutK{
    0x0AAA, 0x0555, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {7, 0x0100}}}, true};
inline constexpr SectorLayout kLayoutL{
    0x0AAA, 0x0555, 4, {{{7, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}, true};
inline constexpr SectorLayout kLayoutM{
    0x0AAA, 0x0555, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {15, 0x0100}}}, true};
inline constexpr SectorLayout kLayoutN{
    0x0AAA, 0x0555, 4, {{{15, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}, true};
inline constexpr SectorLayout kLayoutO{
    0x0AAA, 0x0555, 4, {{{1, 0x0040}, {2, 0x0020}, {1, 0x0080}, {31, 0x0100}}}, true};
inline constexpr SectorLayout kLayoutP{
    0x0AAA, 0x0555, 4, {{{31, 0x0100}, {1, 0x0080}, {2, 0x0020}, {1, 0x0040}}}, true};

namespace flash_table_detail {

// The four layouts of one density of x8/x16 boot-block parts.
struct BootLayouts {
    const SectorLayout* wordTop;
    const SectorLayout* wordBottom;
    const SectorLayout* byteTop;
    const SectorLayout* byteBottom;
};
inline constexpr BootLayouts k4Mbit{&kLayoutG, &kLayoutD, &kLayoutL, &kLayoutK};
inline constexpr BootLayouts k8Mbit{&kLayoutH, &kLayoutE, &kLayoutN, &kLayoutM};
inline constexpr BootLayouts k16Mbit{&kLayoutJ, &kLayoutI, &kLayoutP, &kLayoutO};

// A top- and bottom-boot pair as marked, with its manufacturer code and word-mode device codes
// (byte mode answers the low byte).
struct BootPair {
    std::string_view top;
    std::string_view bottom;
    std::uint8_t maker;
    std::uint16_t topCode;
    std::uint16_t bottomCode;
    const BootLayouts* layouts;
};

inline constexpr std::uint8_t kAmd = 0x01;
inline constexpr std::uint8_t kFujitsu = 0x04;
inline constexpr std::uint8_t kSt = 0x20;
inline constexpr std::uint8_t kMacronix = 0xC2;

inline constexpr std::array kBootPairs{
    BootPair{"AMD Am29F400BT", "AMD Am29F400BB", kAmd, 0x2223, 0x22AB, &k4Mbit},
    BootPair{"Fujitsu MBM29F400TC", "Fujitsu MBM29F400BC", kFujitsu, 0x2223, 0x22AB, &k4Mbit},
    BootPair{"ST M29F400BT", "ST M29F400BB", kSt, 0x00D5, 0x00D6, &k4Mbit},
    BootPair{"Macronix MX29F400CT", "Macronix MX29F400CB", kMacronix, 0x2223, 0x22AB, &k4Mbit},
    BootPair{"AMD Am29F800BT", "AMD Am29F800BB", kAmd, 0x22D6, 0x2258, &k8Mbit},
    BootPair{"Fujitsu MBM29F800TA", "Fujitsu MBM29F800BA", kFujitsu, 0x22D6, 0x2258, &k8Mbit},
    BootPair{"ST M29F800AT", "ST M29F800AB", kSt, 0x00EC, 0x0058, &k8Mbit},
    BootPair{"Macronix MX29F800CT", "Macronix MX29F800CB", kMacronix, 0x22D6, 0x2258, &k8Mbit},
    BootPair{"AMD Am29F160DT", "AMD Am29F160DB", kAmd, 0x22D2, 0x22D8, &k16Mbit},
    BootPair{"Fujitsu MBM29F160TE", "Fujitsu MBM29F160BE", kFujitsu, 0x22D2, 0x22D8, &k16Mbit},
    BootPair{"AMD Am29LV400BT", "AMD Am29LV400BB", kAmd, 0x22B9, 0x22BA, &k4Mbit},
    BootPair{"Fujitsu MBM29LV400TC", "Fujitsu MBM29LV400BC", kFujitsu, 0x22B9, 0x22BA, &k4Mbit},
    BootPair{"ST M29W400BT", "ST M29W400BB", kSt, 0x00EE, 0x00EF, &k4Mbit},
    BootPair{"Macronix MX29LV400CT", "Macronix MX29LV400CB", kMacronix, 0x22B9, 0x22BA, &k4Mbit},
    BootPair{"AMD Am29LV800BT", "AMD Am29LV800BB", kAmd, 0x22DA, 0x225B, &k8Mbit},
    BootPair{"Fujitsu MBM29LV800TA", "Fujitsu MBM29LV800BA", kFujitsu, 0x22DA, 0x225B, &k8Mbit},
    BootPair{"ST M29W800AT", "ST M29W800AB", kSt, 0x00D7, 0x005B, &k8Mbit},
    BootPair{"Macronix MX29LV800CT", "Macronix MX29LV800CB", kMacronix, 0x22DA, 0x225B, &k8Mbit},
    BootPair{"AMD Am29LV160DT", "AMD Am29LV160DB", kAmd, 0x22C4, 0x2249, &k16Mbit},
    BootPair{"Fujitsu MBM29LV160TE", "Fujitsu MBM29LV160BE", kFujitsu, 0x22C4, 0x2249, &k16Mbit},
    BootPair{"ST M29W160ET", "ST M29W160EB", kSt, 0x22C4, 0x2249, &k16Mbit},
    BootPair{"Macronix MX29LV160CT", "Macronix MX29LV160CB", kMacronix, 0x22C4, 0x2249, &k16Mbit},
};

inline constexpr std::uint16_t kWordTop = kFlashAmd | kFlashBus16 | kFlashBootTop;
inline constexpr std::uint16_t kWordBottom = kFlashAmd | kFlashBus16 | kFlashBootBottom;
inline constexpr std::uint16_t kByteTop = kFlashAmd | kFlashBus8 | kFlashBootTop;
inline constexpr std::uint16_t kByteBottom = kFlashAmd | kFlashBus8 | kFlashBootBottom;
inline constexpr std::uint16_t kPaired = kFlashAmd | kFlashBus16 | kFlashPaired;

// Word mode on a 16-bit bus: the manufacturer word, then the device word.
consteval std::array<FlashDevice, 2 * kBootPairs.size()> wordModeRows() {
    std::array<FlashDevice, 2 * kBootPairs.size()> rows{};
    std::size_t i = 0;
    for (const BootPair& part : kBootPairs) {
        rows[i++] = {part.top, 4, part.maker | std::uint32_t{part.topCode} << 16, kWordTop,
                     part.layouts->wordTop};
        rows[i++] = {part.bottom, 4, part.maker | std::uint32_t{part.bottomCode} << 16, kWordBottom,
                     part.layouts->wordBottom};
    }
    return rows;
}

// Byte mode on an 8-bit bus: the manufacturer byte, then the low byte of the device code.
consteval std::array<FlashDevice, 2 * kBootPairs.size()> byteModeRows() {
    std::array<FlashDevice, 2 * kBootPairs.size()> rows{};
    std::size_t i = 0;
    for (const BootPair& part : kBootPairs) {
        rows[i++] = {part.top, 2, part.maker | std::uint32_t{part.topCode & 0xFFu} << 8, kByteTop,
                     part.layouts->byteTop};
        rows[i++] = {part.bottom, 2, part.maker | std::uint32_t{part.bottomCode & 0xFFu} << 8,
                     kByteBottom, part.layouts->byteBottom};
    }
    return rows;
}

// The byte-wide parts alone on an 8-bit bus, and in pairs on a 16-bit bus, where each lane
// answers its own code: the words carry every code twice.
inline constexpr std::array<FlashDevice, 12> kByteWideRows{{
    {"AMD Am29F010", 2, 0x2001, kFlashAmd, &kLayoutA},
    {"ST M29F010B", 2, 0x2020, kFlashAmd, &kLayoutA},
    {"AMD Am29F040B", 2, 0xA401, kFlashAmd, &kLayoutB},
    {"Fujitsu MBM29F040C", 2, 0xA404, kFlashAmd, &kLayoutB},
    {"ST M29F040B", 2, 0xE220, kFlashAmd, &kLayoutB},
    {"Macronix MX29F040", 2, 0xA4C2, kFlashAmd, &kLayoutB},
    {"2x AMD Am29F010", 4, 0x20200101, kPaired, &kLayoutC},
    {"2x ST M29F010B", 4, 0x20202020, kPaired, &kLayoutC},
    {"2x AMD Am29F040B", 4, 0xA4A40101, kPaired, &kLayoutF},
    {"2x Fujitsu MBM29F040C", 4, 0xA4A40404, kPaired, &kLayoutF},
    {"2x ST M29F040B", 4, 0xE2E22020, kPaired, &kLayoutF},
    {"2x Macronix MX29F040", 4, 0xA4A4C2C2, kPaired, &kLayoutF},
}};

inline constexpr std::array<FlashDevice, 4> kPsdRows{{
    {"WSI PSD813Fx", 2, 0xE320, kFlashAmd, &kLayoutA},
    {"WSI PSD813Fx-A/913Fx", 2, 0xE420, kFlashAmd, &kLayoutA},
    {"WSI PSD833F2/853F2", 2, 0xE720, kFlashAmd, &kLayoutA},
    {"WSI PSD835G2/935G2", 2, 0xE820, kFlashAmd, &kLayoutB},
}};

template <std::size_t... N>
consteval auto joinRows(const std::array<FlashDevice, N>&... parts) {
    std::array<FlashDevice, (N + ...) + 1> all{};  // the last row stays empty: end of the table
    std::size_t i = 0;
    ((std::ranges::copy(parts, all.begin() + static_cast<std::ptrdiff_t>(i)), i += N), ...);
    return all;
}

}  // namespace flash_table_detail

// The known devices. Rows that are probed the same way (bus width, unlock cells) stand together,
// so that identification reads each kind of identifier once: the byte-wide parts after the PSD
// rows share their probe, the word-mode and paired rows share one, the byte-mode rows another.
inline constexpr auto kFlashDevices = flash_table_detail::joinRows(
    flash_table_detail::kPsdRows, flash_table_detail::kByteWideRows,
    flash_table_detail::wordModeRows(), flash_table_detail::byteModeRows());

}  // namespace halvard
