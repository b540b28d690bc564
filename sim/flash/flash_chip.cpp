#include "sim/flash/flash_chip.hpp"

#include <algorithm>
#include <array>
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

constexpr std::uint8_t kMaker = 0x20;

constexpr ChipModel byteWide(std::string_view key, std::string_view name, std::uint8_t device,
                             std::span<const SectorGroup> layout) {
    return {key, name, kMaker, device, 8, false, 0x5555, 0x2AAA, layout};
}
constexpr ChipModel wordWide(std::string_view key, std::string_view name, std::uint16_t device,
                             std::span<const SectorGroup> layout) {
    return {key, name, kMaker, device, 16, false, 0xAAAA, 0x5554, layout};
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
        return model.manufacturer | static_cast<std::uint32_t>(model.device) << 8;
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
    const std::uint16_t maker = model.manufacturer;
    if (model.busWidth == 8) {
        units_.emplace_back(
            UnitWiring{1, 0, false, model.unlock1, model.unlock2, maker, model.device}, cells_,
            sectors_, timing_, faults_);
        return;
    }
    // On a 16-bit bus the chips see word addresses: A1 of the bus is their A0.
    const std::uint32_t unlock1 = model.unlock1 / 2;
    const std::uint32_t unlock2 = model.unlock2 / 2;
    if (!model.paired) {
        units_.emplace_back(UnitWiring{2, 0, true, unlock1, unlock2, maker, model.device}, cells_,
                            sectors_, timing_, faults_);
        return;
    }
    units_.reserve(2);
    for (std::uint32_t lane = 0; lane < 2; ++lane) {
        units_.emplace_back(UnitWiring{2, lane, false, unlock1, unlock2, maker, model.device},
                            cells_, sectors_, timing_, faults_);
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
