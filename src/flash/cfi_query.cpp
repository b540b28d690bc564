// The CFI query (JEDEC JESD68) for devices that no row of the table knows.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

// 0x98 to word address 0x55 on a 16-bit bus, to byte address 0xAA on a part in byte mode; the
// table then reads one byte per word address from 0x10 on (byte address 2n in byte mode).
constexpr std::uint32_t kQueryOffset = 0xAA;
constexpr std::array<std::uint8_t, 3> kQry{'Q', 'R', 'Y'};
constexpr std::array<std::uint8_t, 3> kPri{'P', 'R', 'I'};
constexpr std::uint16_t kAmdCommandSet = 0x0002;
constexpr std::uint16_t kInterfaceX8 = 0x0000;
constexpr std::uint8_t kBootBottom = 2;
constexpr std::uint8_t kBootTop = 3;
constexpr std::size_t kMaxRegions = 8;
constexpr std::uint8_t kMaxSizeLog2 = 24;  // the C16x addresses 16 MB

// What answers the query: one device on the low byte lane (or on an 8-bit bus), or one device on
// each byte lane of a 16-bit bus (which an x8/x16 part in byte mode on an 8-bit bus also looks
// like, since it ignores A-1 in query mode).
enum class Lanes { none, one, both };

struct Region {
    std::uint32_t blocks;
    std::uint16_t units;  // block size in units of 256 bytes
};

struct Geometry {
    std::uint8_t sizeLog2 = 0;
    std::uint16_t interface = 0;
    std::vector<Region> regions;
    std::uint8_t bootFlag = 0;
};

class QueryBus {
  public:
    QueryBus(Flash& flash, bool wordBus) : flash_(flash), wordBus_(wordBus) {}

    // From read or autoselect mode into the query.
    void enter() {
        command(0, 0xF0);
        command(kQueryOffset, 0x98);
    }
    // Back to read mode; a device with another command set also gets its read-array command.
    void leave(bool foreign) {
        command(0, 0xF0);
        if (foreign)
            command(0, 0xFF);
    }

    Lanes qry() {
        Lanes lanes = wordBus_ ? Lanes::none : Lanes::one;
        for (std::size_t i = 0; i < kQry.size(); ++i) {
            const std::uint32_t address = tableAddress(0x10 + i);
            if (!wordBus_) {
                if (targetByteRead(flash_.link, address) != kQry[i])
                    return Lanes::none;
                continue;
            }
            const std::uint16_t word = targetWordRead(flash_.link, address);
            const auto low = static_cast<std::uint8_t>(word);
            const auto high = static_cast<std::uint8_t>(word >> 8);
            const Lanes seen = high == low ? Lanes::both : high == 0 ? Lanes::one : Lanes::none;
            if (low != kQry[i] || seen == Lanes::none || (i > 0 && seen != lanes))
                return Lanes::none;
            lanes = seen;
        }
        return lanes;
    }

    std::uint8_t byteAt(std::uint32_t index) {
        const std::uint32_t address = tableAddress(index);
        if (wordBus_)
            return static_cast<std::uint8_t>(targetWordRead(flash_.link, address));
        return targetByteRead(flash_.link, address);
    }
    std::uint16_t wordAt(std::uint32_t index) {
        const std::uint16_t low = byteAt(index);
        return static_cast<std::uint16_t>(low | byteAt(index + 1) << 8);
    }

    Geometry geometry() {
        Geometry g;
        g.sizeLog2 = byteAt(0x27);
        g.interface = wordAt(0x28);
        const std::uint8_t count = byteAt(0x2C);
        for (std::uint32_t r = 0; count <= kMaxRegions && r < count; ++r) {
            g.regions.push_back({wordAt(0x2D + 4 * r) + 1U, wordAt(0x2F + 4 * r)});
        }
        const std::uint16_t extended = wordAt(0x15);
        if (extended != 0 && byteAt(extended) == kPri[0] && byteAt(extended + 1) == kPri[1] &&
            byteAt(extended + 2) == kPri[2]) {
            g.bootFlag = byteAt(extended + 0x0F);
        }
        return g;
    }

  private:
    std::uint32_t tableAddress(std::uint32_t index) const {
        return flash_.settings.deviceBase + 2 * index;
    }
    void command(std::uint32_t offset, std::uint8_t code) {
        const std::uint32_t address = flash_.settings.deviceBase + offset;
        if (wordBus_)
            targetWordWrite(flash_.link, address, static_cast<std::uint16_t>(code * 0x0101));
        else
            targetByteWrite(flash_.link, address, code);
    }

    Flash& flash_;
    bool wordBus_;
};

std::string_view commandSetName(std::uint16_t set) {
    switch (set) {
        case 0x0001:
            return "Intel/Sharp extended";
        case 0x0003:
            return "Intel standard";
        case 0x0004:
            return "AMD/Fujitsu extended";
        case 0x0100:
            return "Mitsubishi standard";
        case 0x0101:
            return "Mitsubishi extended";
        case 0x0102:
            return "SST page write";
        default:
            return "unknown";
    }
}

// The regions in address order as sector groups of at most 255 sectors. Many AMD-command-set
// top-boot parts list their regions in bottom-boot order, so a top-boot list is turned round.
std::optional<SectorLayout> layoutOf(const Geometry& g) {
    if (g.regions.empty() || g.sizeLog2 > kMaxSizeLog2)
        return std::nullopt;
    std::vector<Region> regions = g.regions;
    if (g.bootFlag == kBootTop)
        std::ranges::reverse(regions);
    SectorLayout layout;
    std::uint64_t bytes = 0;
    for (const Region& region : regions) {
        if (region.units == 0)
            return std::nullopt;  // blocks of 128 bytes
        bytes += std::uint64_t{region.blocks} * region.units * 256;
        for (std::uint32_t left = region.blocks; left > 0;) {
            if (layout.groupCount == layout.groups.size())
                return std::nullopt;
            const auto count = static_cast<std::uint8_t>(std::min<std::uint32_t>(left, 255));
            layout.groups[layout.groupCount++] = {count, region.units};
            left -= count;
        }
    }
    if (bytes != std::uint64_t{1} << g.sizeLog2)
        return std::nullopt;
    return layout;
}

std::uint16_t bootFlags(const Geometry& g) {
    if (g.bootFlag == kBootTop)
        return kFlashBootTop;
    if (g.bootFlag == kBootBottom)
        return kFlashBootBottom;
    return 0;
}

struct Wiring {
    std::uint16_t flags;
    std::uint16_t unlockAddr1;
    std::uint16_t unlockAddr2;
    bool evenCodes;
    const char* text;
};

// How the answering device sits on the bus, from the lanes that answered and the interface
// the device reports; nothing when the settings exclude that bus.
std::optional<Wiring> wiringOf(const Flash& flash, bool wordQuery, Lanes lanes,
                               std::uint16_t face) {
    constexpr Wiring kWord{kFlashBus16, 0xAAAA, 0x5554, false, "16-bit bus"};
    constexpr Wiring kPair{kFlashBus16 | kFlashPaired, 0xAAAA, 0x5554, false,
                           "two chips on a 16-bit bus"};
    constexpr Wiring kByteMode{kFlashBus8, 0x0AAA, 0x0555, true, "8-bit bus"};
    constexpr Wiring kByteWide{kFlashBus8, 0x5555, 0x2AAA, false, "8-bit bus"};
    if (wordQuery && lanes == Lanes::one)
        return kWord;
    if (wordQuery && face == kInterfaceX8)
        return kPair;
    if (flash.settings.only16Bit)
        return std::nullopt;
    return face == kInterfaceX8 ? kByteWide : kByteMode;
}

void describe(Flash& flash, QueriedDevice& device, const char* wiring) {
    const std::uint32_t id = readIdentifier(flash, probeKindOf(device.row));
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(), "Flash found by its CFI query, ID 0x%lx, %lu KB, %s",
                  static_cast<unsigned long>(id),
                  static_cast<unsigned long>(FlashSize(flash) / 1024), wiring);
    device.name = text.data();
    device.row.name = device.name;
}

QueryResult queryOn(Flash& flash, bool wordBus) {
    QueryBus bus(flash, wordBus);
    bus.enter();
    const Lanes lanes = bus.qry();
    if (lanes == Lanes::none) {
        bus.leave(false);
        return QueryResult::none;
    }
    const std::uint16_t commandSet = bus.wordAt(0x13);
    if (commandSet != kAmdCommandSet) {
        bus.leave(true);
        flash.console.print(
            "Flash answers its CFI query with command set 0x%04x (%s), not the AMD command set "
            "0x0002\n",
            static_cast<unsigned>(commandSet), commandSetName(commandSet).data());
        return QueryResult::refused;
    }
    const Geometry geometry = bus.geometry();
    bus.leave(false);
    const std::optional<Wiring> wiring = wiringOf(flash, wordBus, lanes, geometry.interface);
    if (!wiring)
        return QueryResult::none;
    std::optional<SectorLayout> layout = layoutOf(geometry);
    if (!layout) {
        flash.console.print("Flash answers its CFI query with a geometry that cannot be used\n");
        return QueryResult::refused;
    }
    layout->unlockAddr1 = wiring->unlockAddr1;
    layout->unlockAddr2 = wiring->unlockAddr2;
    layout->evenCodes = wiring->evenCodes;
    QueriedDevice& device = flash.state.queried.emplace(
        *layout, static_cast<std::uint16_t>(kFlashAmd | wiring->flags | bootFlags(geometry)));
    describe(flash, device, wiring->text);
    return QueryResult::found;
}

}  // namespace

QueryResult QueryFlashDevice(Flash& flash) {
    if (!flash.settings.only8Bit) {
        const QueryResult word = queryOn(flash, true);
        if (word != QueryResult::none)
            return word;
    }
    if (!flash.settings.only16Bit)
        return queryOn(flash, false);
    return QueryResult::none;
}

}  // namespace halvard
