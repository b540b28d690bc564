#include "sim/flash/flash_chip.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string>

namespace halvard::sim {

namespace {

constexpr std::uint32_t kKb = 1024;

// The four layouts the host knows for these parts, in bus bytes. C is A on a 16-bit bus; a pair
// of byte-wide chips over C spans twice the bytes per sector.
constexpr std::array kLayoutA{SectorGroup{8, 16 * kKb}};
constexpr std::array kLayoutB{SectorGroup{8, 64 * kKb}};
constexpr std::array kLayoutC{SectorGroup{8, 16 * kKb}};
constexpr std::array kLayoutCPaired{SectorGroup{8, 32 * kKb}};
constexpr std::array kLayoutD{SectorGroup{1, 16 * kKb}, SectorGroup{2, 8 * kKb},
                              SectorGroup{1, 32 * kKb}, SectorGroup{7, 64 * kKb}};
constexpr std::array kLayoutE{SectorGroup{1, 16 * kKb}, SectorGroup{2, 8 * kKb},
                              SectorGroup{1, 32 * kKb}, SectorGroup{15, 64 * kKb}};

// The boot-block maps of the x8/x16 parts (4, 8 and 16 Mbit), the paired byte-wide parts and
// the two parts that only their CFI query describes.
constexpr std::array k4Bottom{SectorGroup{1, 16 * kKb}, SectorGroup{2, 8 * kKb},
                              SectorGroup{1, 32 * kKb}, SectorGroup{7, 64 * kKb}};
constexpr std::array k4Top{SectorGroup{7, 64 * kKb}, SectorGroup{1, 32 * kKb},
                           SectorGroup{2, 8 * kKb}, SectorGroup{1, 16 * kKb}};
constexpr std::array k8Top{SectorGroup{15, 64 * kKb}, SectorGroup{1, 32 * kKb},
                           SectorGroup{2, 8 * kKb}, SectorGroup{1, 16 * kKb}};
constexpr std::array k16Bottom{SectorGroup{1, 16 * kKb}, SectorGroup{2, 8 * kKb},
                               SectorGroup{1, 32 * kKb}, SectorGroup{31, 64 * kKb}};
constexpr std::array k16Top{SectorGroup{31, 64 * kKb}, SectorGroup{1, 32 * kKb},
                            SectorGroup{2, 8 * kKb}, SectorGroup{1, 16 * kKb}};
constexpr std::array kPaired040{SectorGroup{8, 128 * kKb}};
constexpr std::array k32Top8k{SectorGroup{63, 64 * kKb}, SectorGroup{8, 8 * kKb}};
constexpr std::array k8Bottom8k{SectorGroup{8, 8 * kKb}, SectorGroup{15, 64 * kKb}};

constexpr std::uint8_t kMaker = 0x20;
constexpr std::uint8_t kAmd = 0x01;
constexpr std::uint8_t kFujitsu = 0x04;
constexpr std::uint8_t kMacronix = 0xC2;
constexpr std::uint8_t kIntel = 0x89;

// Command cycles: the 29F010 decodes A14-A0, the 29F040 A10-A0, the x8/x16 parts A10-A0 of the
// word address (A10-A-1 in byte mode).
constexpr std::uint32_t kDecode010 = 0x7FFF;
constexpr std::uint32_t kDecode11Bits = 0x7FF;
constexpr std::uint32_t kDecodeByteMode = 0xFFF;

constexpr CfiFacts kCfiX8{0x0002, 0x0000, 0};
constexpr CfiFacts kCfiTop{0x0002, 0x0002, 3};
constexpr CfiFacts kCfiBottom{0x0002, 0x0002, 2};
constexpr CfiFacts kCfiIntel{0x0003, 0x0002, 0};

constexpr ChipModel byteWide(std::string_view key, std::string_view name, std::uint8_t device,
                             std::span<const SectorGroup> layout) {
    return {key, name, kMaker, device, 8, false, 0x5555, 0x2AAA, layout};
}
constexpr ChipModel wordWide(std::string_view key, std::string_view name, std::uint16_t device,
                             std::span<const SectorGroup> layout) {
    return {key, name, kMaker, device, 16, false, 0xAAAA, 0x5554, layout};
}

// A part with its command decoding and its CFI answer.
constexpr ChipModel decoding(ChipModel model, std::uint32_t decode, const CfiFacts& cfi) {
    model.decodeMask = decode;
    model.cfi = &cfi;
    return model;
}

// A byte-wide 29F010/29F040-class part alone on an 8-bit bus, or two of them on a 16-bit bus.
constexpr ChipModel single(std::string_view key, std::string_view name, std::uint8_t maker,
                           std::uint8_t device, std::span<const SectorGroup> layout,
                           std::uint32_t decode) {
    return decoding({key, name, maker, device, 8, false, 0x5555, 0x2AAA, layout}, decode, kCfiX8);
}
constexpr ChipModel pair(std::string_view key, std::string_view name, std::uint8_t maker,
                         std::uint8_t device, std::span<const SectorGroup> layout,
                         std::uint32_t decode) {
    return decoding({key, name, maker, device, 16, true, 0xAAAA, 0x5554, layout}, decode, kCfiX8);
}

// An x8/x16 boot-block part in word mode on a 16-bit bus, or in byte mode on an 8-bit bus.
constexpr ChipModel wordMode(std::string_view key, std::string_view name, std::uint8_t maker,
                             std::uint16_t device, std::span<const SectorGroup> layout,
                             const CfiFacts& cfi) {
    return decoding({key, name, maker, device, 16, false, 0xAAAA, 0x5554, layout}, kDecode11Bits,
                    cfi);
}
constexpr ChipModel byteMode(std::string_view key, std::string_view name, std::uint8_t maker,
                             std::uint16_t device, std::span<const SectorGroup> layout,
                             const CfiFacts& cfi) {
    ChipModel model = decoding({key, name, maker, device, 8, false, 0x0AAA, 0x0555, layout},
                               kDecodeByteMode, cfi);
    model.byteMode = true;
    return model;
}

const std::array kCatalog{
    byteWide("psd813f", "WSI PSD813Fx", 0xE3, kLayoutA),
    byteWide("psd813f-a", "WSI PSD813Fx-A/913Fx", 0xE4, kLayoutA),
    byteWide("psd833f2", "WSI PSD833F2/853F2", 0xE7, kLayoutA),
    byteWide("psd835g2", "WSI PSD835G2/935G2", 0xE8, kLayoutB),
    byteWide("unknown", "unknown PSD (device 0xE5)", 0xE5, kLayoutA),
    wordWide("word-c", "16-bit flash over layout C", 0x22C0, kLayoutC),
    wordWide("word-d", "16-bit flash over layout D", 0x22D0, kLayoutD),
    wordWide("word-e", "16-bit flash over layout E", 0x22E0, kLayoutE),
    ChipModel{"paired-c", "2 x PSD813Fx over layout C", kMaker, 0xE3, 16, true, 0xAAAA, 0x5554,
              kLayoutCPaired},
    single("am29f010", "AMD Am29F010", kAmd, 0x20, kLayoutA, kDecode010),
    pair("am29f010-pair", "2x AMD Am29F010", kAmd, 0x20, kLayoutCPaired, kDecode010),
    single("am29f040b", "AMD Am29F040B", kAmd, 0xA4, kLayoutB, kDecode11Bits),
    pair("am29f040b-pair", "2x AMD Am29F040B", kAmd, 0xA4, kPaired040, kDecode11Bits),
    pair("m29f040b-pair", "2x ST M29F040B", kMaker, 0xE2, kPaired040, kDecode11Bits),
    wordMode("am29f400bt", "AMD Am29F400BT", kAmd, 0x2223, k4Top, kCfiTop),
    wordMode("am29f400bb", "AMD Am29F400BB", kAmd, 0x22AB, k4Bottom, kCfiBottom),
    byteMode("am29f400bt-x8", "AMD Am29F400BT", kAmd, 0x2223, k4Top, kCfiTop),
    byteMode("am29f400bb-x8", "AMD Am29F400BB", kAmd, 0x22AB, k4Bottom, kCfiBottom),
    wordMode("m29f400bb", "ST M29F400BB", kMaker, 0x00D6, k4Bottom, kCfiBottom),
    wordMode("am29f800bt", "AMD Am29F800BT", kAmd, 0x22D6, k8Top, kCfiTop),
    wordMode("am29f800bb", "AMD Am29F800BB", kAmd, 0x2258, kLayoutE, kCfiBottom),
    byteMode("am29f800bt-x8", "AMD Am29F800BT", kAmd, 0x22D6, k8Top, kCfiTop),
    byteMode("am29f800bb-x8", "AMD Am29F800BB", kAmd, 0x2258, kLayoutE, kCfiBottom),
    wordMode("am29f160dt", "AMD Am29F160DT", kAmd, 0x22D2, k16Top, kCfiTop),
    wordMode("am29f160db", "AMD Am29F160DB", kAmd, 0x22D8, k16Bottom, kCfiBottom),
    byteMode("am29f160dt-x8", "AMD Am29F160DT", kAmd, 0x22D2, k16Top, kCfiTop),
    byteMode("am29f160db-x8", "AMD Am29F160DB", kAmd, 0x22D8, k16Bottom, kCfiBottom),
    wordMode("am29lv400bt", "AMD Am29LV400BT", kAmd, 0x22B9, k4Top, kCfiTop),
    wordMode("am29lv400bb", "AMD Am29LV400BB", kAmd, 0x22BA, k4Bottom, kCfiBottom),
    byteMode("am29lv400bt-x8", "AMD Am29LV400BT", kAmd, 0x22B9, k4Top, kCfiTop),
    byteMode("am29lv400bb-x8", "AMD Am29LV400BB", kAmd, 0x22BA, k4Bottom, kCfiBottom),
    wordMode("am29lv800bt", "AMD Am29LV800BT", kAmd, 0x22DA, k8Top, kCfiTop),
    wordMode("am29lv800bb", "AMD Am29LV800BB", kAmd, 0x225B, kLayoutE, kCfiBottom),
    byteMode("am29lv800bt-x8", "AMD Am29LV800BT", kAmd, 0x22DA, k8Top, kCfiTop),
    byteMode("am29lv800bb-x8", "AMD Am29LV800BB", kAmd, 0x225B, kLayoutE, kCfiBottom),
    byteMode("mbm29lv800ta-x8", "Fujitsu MBM29LV800TA", kFujitsu, 0x22DA, k8Top, kCfiTop),
    wordMode("am29lv160dt", "AMD Am29LV160DT", kAmd, 0x22C4, k16Top, kCfiTop),
    wordMode("am29lv160db", "AMD Am29LV160DB", kAmd, 0x2249, k16Bottom, kCfiBottom),
    byteMode("am29lv160dt-x8", "AMD Am29LV160DT", kAmd, 0x22C4, k16Top, kCfiTop),
    byteMode("am29lv160db-x8", "AMD Am29LV160DB", kAmd, 0x2249, k16Bottom, kCfiBottom),
    wordMode("mx29lv160cb", "Macronix MX29LV160CB", kMacronix, 0x2249, k16Bottom, kCfiBottom),
    // In no row of the host's table: found by its CFI query alone.
    wordMode("am29lv320dt", "AMD Am29LV320DT", kAmd, 0x22F6, k32Top8k, kCfiTop),
    // Answers the query with the Intel standard command set.
    [] {
        ChipModel model =
            wordMode("28f800b3b", "Intel 28F800B3B", kIntel, 0x8893, k8Bottom8k, kCfiIntel);
        model.intelCommands = true;
        return model;
    }(),
};

struct Alias {
    std::string_view alias;
    std::string_view key;
};
constexpr std::array kAliases{
    Alias{"psd913f", "psd813f-a"},
    Alias{"psd853f2", "psd833f2"},
    Alias{"psd935g2", "psd835g2"},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

const ChipModel* findByKey(std::string_view key) {
    for (const Alias& alias : kAliases) {
        if (equalsIgnoringCase(key, alias.alias)) {
            key = alias.key;
        }
    }
    const auto found = std::ranges::find_if(
        kCatalog, [&](const ChipModel& model) { return equalsIgnoringCase(key, model.key); });
    return found == kCatalog.end() ? nullptr : &*found;
}

std::optional<std::uint32_t> parseHex(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<SectorSpan> sectorsOf(const ChipModel& model) {
    std::vector<SectorSpan> sectors;
    std::uint32_t offset = 0;
    for (const SectorGroup& group : model.layout) {
        for (unsigned n = 0; n < group.count; ++n) {
            sectors.push_back({offset, group.bytes});
            offset += group.bytes;
        }
    }
    return sectors;
}

void put16(std::vector<std::uint8_t>& table, std::size_t at, std::uint32_t value) {
    table[at] = static_cast<std::uint8_t>(value);
    table[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The JEDEC CFI table one chip answers: identification string, command set and extended table
// address, voltages and times, geometry (size, interface, erase-block regions) and, for the AMD
// command set, the extended table "PRI" at 0x40 with the boot-block flag.
std::vector<std::uint8_t> cfiTableOf(const ChipModel& model, std::span<const SectorSpan> sectors) {
    const CfiFacts& facts = *model.cfi;
    const std::uint32_t lanes = model.paired ? 2 : 1;
    std::vector<SectorGroup> regions;
    for (const SectorSpan& sector : sectors) {
        const std::uint32_t bytes = sector.bytes / lanes;
        if (regions.empty() || regions.back().bytes != bytes)
            regions.push_back({0, bytes});
        ++regions.back().count;
    }
    if (facts.bootFlag == 3)
        std::ranges::reverse(regions);
    std::vector<std::uint8_t> table(0x50, 0);
    table[0x10] = 'Q';
    table[0x11] = 'R';
    table[0x12] = 'Y';
    put16(table, 0x13, facts.commandSet);
    const bool amd = facts.commandSet == 0x0002;
    put16(table, 0x15, amd ? 0x40 : 0);
    table[0x1B] = 0x45;  // Vcc 4.5-5.5 V
    table[0x1C] = 0x55;
    table[0x1F] = 0x04;  // typical program 16 us, sector erase 1 s
    table[0x21] = 0x0A;
    table[0x23] = 0x05;
    table[0x25] = 0x04;
    table[0x27] = static_cast<std::uint8_t>(std::countr_zero(modelSize(model) / lanes));
    put16(table, 0x28, facts.interface);
    table[0x2C] = static_cast<std::uint8_t>(regions.size());
    for (std::size_t r = 0; r < regions.size(); ++r) {
        put16(table, 0x2D + 4 * r, regions[r].count - 1);
        put16(table, 0x2F + 4 * r, regions[r].bytes / 256);
    }
    if (amd) {
        const std::array<std::uint8_t, 16> pri{'P', 'R', 'I', '1', '1', 0, 2, 1,
                                               1,   4,   0,   0,   0,   0, 0, facts.bootFlag};
        std::ranges::copy(pri, table.begin() + 0x40);
    }
    return table;
}

void checkModel(const ChipModel& model) {
    const bool widthOk = model.busWidth == 8 || (model.busWidth == 16);
    if (!widthOk || (model.paired && model.busWidth != 16) || modelSize(model) == 0) {
        throw std::invalid_argument("flash model " + std::string(model.key) +
                                    ": needs a bus width of 8 or 16 bits and at least one sector");
    }
}

}  // namespace

std::span<const ChipModel> chipCatalog() {
    return kCatalog;
}

const ChipModel* findChipModel(std::string_view nameOrId) {
    if (const ChipModel* model = findByKey(nameOrId)) {
        return model;
    }
    const auto id = parseHex(nameOrId);
    if (!id) {
        return nullptr;
    }
    const auto found = std::ranges::find_if(
        kCatalog, [&](const ChipModel& model) { return hostIdentifier(model) == *id; });
    return found == kCatalog.end() ? nullptr : &*found;
}

bool isEmptyBusName(std::string_view name) {
    return equalsIgnoringCase(name, "none");
}

std::uint32_t hostIdentifier(const ChipModel& model) {
    if (model.busWidth == 8) {
        return model.manufacturer | static_cast<std::uint32_t>(model.device & 0xFFu) << 8;
    }
    if (model.paired) {
        // Each lane answers its own code: the word carries it twice.
        const std::uint32_t maker = model.manufacturer * 0x0101u;
        const std::uint32_t device = (model.device & 0xFFu) * 0x0101u;
        return maker | device << 16;
    }
    return model.manufacturer | static_cast<std::uint32_t>(model.device) << 16;
}

std::uint32_t modelSize(const ChipModel& model) {
    std::uint32_t size = 0;
    for (const SectorGroup& group : model.layout) {
        size += group.count * group.bytes;
    }
    return size;
}

FlashTiming fastTiming() {
    return {.programNs = 1'000,
            .sectorEraseNs = 2'000'000,
            .chipEraseNs = 10'000'000,
            .programFailNs = 20'000};
}

FlashTiming datasheetTiming() {
    return {.programNs = 14'000,
            .sectorEraseNs = 1'000'000'000,
            .chipEraseNs = 3'000'000'000,
            .programFailNs = 1'200'000};
}

FlashChip::FlashChip(const ChipModel& model, FlashTiming timing) : model_(model), timing_(timing) {
    checkModel(model);
    cells_.assign(modelSize(model), 0xFF);
    sectors_ = sectorsOf(model);
    if (model.cfi != nullptr)
        cfiTable_ = cfiTableOf(model, sectors_);
    UnitWiring wiring{.stride = 1,
                      .lane = 0,
                      .wordCells = false,
                      .unlock1 = model.unlock1,
                      .unlock2 = model.unlock2,
                      .manufacturer = model.manufacturer,
                      .device = model.device,
                      .decodeMask = model.decodeMask,
                      .idShift = 0,
                      .queryCell = 0x55,
                      .cfi = cfiTable_,
                      .intelCommands = model.intelCommands};
    if (model.busWidth == 8) {
        if (model.byteMode) {
            wiring.idShift = 1;
            wiring.queryCell = 0xAA;
            wiring.device &= 0xFF;
        }
        units_.emplace_back(wiring, cells_, sectors_, timing_, faults_);
        return;
    }
    // On a 16-bit bus the chips see word addresses: A1 of the bus is their A0.
    wiring.stride = 2;
    wiring.unlock1 = model.unlock1 / 2;
    wiring.unlock2 = model.unlock2 / 2;
    if (!model.paired) {
        wiring.wordCells = true;
        units_.emplace_back(wiring, cells_, sectors_, timing_, faults_);
        return;
    }
    units_.reserve(2);
    for (std::uint32_t lane = 0; lane < 2; ++lane) {
        wiring.lane = lane;
        units_.emplace_back(wiring, cells_, sectors_, timing_, faults_);
    }
}

std::uint8_t FlashChip::read8(std::uint32_t offset, std::uint64_t nowNs) {
    offset = wrap(offset);
    if (model_.busWidth == 8) {
        return static_cast<std::uint8_t>(units_[0].read(offset, nowNs));
    }
    if (model_.paired) {
        return static_cast<std::uint8_t>(units_[offset & 1].read(offset / 2, nowNs));
    }
    const std::uint16_t word = units_[0].read(offset / 2, nowNs);
    return static_cast<std::uint8_t>((offset & 1) != 0 ? word >> 8 : word);
}

void FlashChip::write8(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs) {
    offset = wrap(offset);
    if (model_.busWidth == 8) {
        units_[0].write(offset, value, nowNs);
    } else if (model_.paired) {
        units_[offset & 1].write(offset / 2, value, nowNs);
    } else {
        // A word-wide part has no byte strobes: the other byte reads as all ones.
        const auto word = (offset & 1) != 0 ? static_cast<std::uint16_t>(value << 8 | 0xFF)
                                            : static_cast<std::uint16_t>(0xFF00 | value);
        units_[0].write(offset / 2, word, nowNs);
    }
}

std::uint16_t FlashChip::read16(std::uint32_t offset, std::uint64_t nowNs) {
    offset = wrap(offset) & ~1u;
    if (model_.busWidth == 8) {
        // The bus controller splits a word access to an 8-bit bus, low byte first.
        const std::uint16_t low = units_[0].read(offset, nowNs);
        return static_cast<std::uint16_t>(low | units_[0].read(offset + 1, nowNs) << 8);
    }
    if (model_.paired) {
        const std::uint16_t low = units_[0].read(offset / 2, nowNs);
        return static_cast<std::uint16_t>(low | units_[1].read(offset / 2, nowNs) << 8);
    }
    return units_[0].read(offset / 2, nowNs);
}

void FlashChip::write16(std::uint32_t offset, std::uint16_t value, std::uint64_t nowNs) {
    offset = wrap(offset) & ~1u;
    const auto low = static_cast<std::uint8_t>(value);
    const auto high = static_cast<std::uint8_t>(value >> 8);
    if (model_.busWidth == 8) {
        units_[0].write(offset, low, nowNs);
        units_[0].write(offset + 1, high, nowNs);
    } else if (model_.paired) {
        units_[0].write(offset / 2, low, nowNs);
        units_[1].write(offset / 2, high, nowNs);
    } else {
        units_[0].write(offset / 2, value, nowNs);
    }
}

bool FlashChip::busy(std::uint64_t nowNs) {
    return busyUntil(nowNs).has_value();
}

std::optional<std::uint64_t> FlashChip::busyUntil(std::uint64_t nowNs) {
    std::optional<std::uint64_t> latest;
    for (CommandUnit& unit : units_) {
        if (const auto end = unit.busyUntil(nowNs)) {
            latest = std::max(latest.value_or(0), *end);
        }
    }
    return latest;
}

void FlashChip::addStuckCell(std::uint32_t offset) {
    faults_.stuckCells.push_back(wrap(offset));
}

void FlashChip::failErase(unsigned sector) {
    if (sector >= sectorCount()) {
        throw std::out_of_range("flash model " + std::string(model_.key) + " has no sector " +
                                std::to_string(sector));
    }
    faults_.failingSectors.push_back(sector);
}

void FlashChip::setEraseTimePerSector(std::uint64_t ns) {
    faults_.eraseNsPerSector = ns;
}

}  // namespace halvard::sim
