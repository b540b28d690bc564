#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

bool hasFlag(const FlashDevice& device, std::uint16_t flag) {
    return (device.flags & flag) != 0;
}

std::uint16_t busOf(const FlashDevice& device) {
    return device.flags & kFlashBusMask;
}

// Reset, autoselect and the two identifier reads, through the current row's unlock cells.
std::uint32_t probe(Flash& flash, const ProbeKind& kind) {
    const std::uint32_t base = flash.settings.deviceBase;
    if (kind.wordBus) {
        resetAMD16(flash);
        autoselectAMD16(flash);
        const std::uint32_t manufacturer = targetWordRead(flash.link, base);
        const std::uint32_t code = targetWordRead(flash.link, base + 2);
        return manufacturer + (code << 16);
    }
    resetAMD8(flash);
    autoselectAMD8(flash);
    const std::uint32_t manufacturer = targetByteRead(flash.link, base);
    const std::uint32_t code = targetByteRead(flash.link, base + (kind.evenCodes ? 2 : 1));
    return manufacturer + (code << 8);
}

bool idSizeFits(Flash& flash, const FlashDevice& device, std::uint8_t idSize) {
    if (device.idSize == idSize)
        return true;
    if (device.idSize == 2 || device.idSize == 4)
        flash.console.print("Not Supported yet!!\n");
    return false;
}

// The identifier of a row, read through its bus width; nothing when the row is not probed.
std::optional<std::uint32_t> probeRow(Flash& flash, const FlashDevice& device) {
    if (!hasFlag(device, kFlashAmd))
        return std::nullopt;
    const std::uint16_t bus = busOf(device);
    if (bus == kFlashBus16 && !flash.settings.only8Bit && idSizeFits(flash, device, 4))
        return readIdentifier(flash, probeKindOf(device));
    if (bus == kFlashBus8 && !flash.settings.only16Bit && idSizeFits(flash, device, 2))
        return readIdentifier(flash, probeKindOf(device));
    return std::nullopt;
}

constexpr std::uint8_t kToggleBit = 0x40;  // DQ6
// The longest sector or bulk erase of the parts in the table (PSD8xx: 30 s).
constexpr std::uint32_t kLongestEraseMs = 30000;
constexpr std::uint32_t kBusyPollMs = 10;

// One access a read: a word read on an 8-bit bus would toggle DQ6 twice. A byte read reaches a
// word-wide chip as well, unless the bus is known to be 16 bits wide.
std::uint16_t statusRead(Flash& flash) {
    const std::uint32_t base = flash.settings.deviceBase;
    return flash.settings.only16Bit ? targetWordRead(flash.link, base)
                                    : targetByteRead(flash.link, base);
}

bool toggles(Flash& flash) {
    return ((statusRead(flash) ^ statusRead(flash)) & kToggleBit) != 0;
}

// A run cut short during an erase or a program leaves the chip at it: it answers every read,
// the identification included, with status bits whose DQ6 toggles until the operation ends.
// Only a walk that found nothing looks, so that a found chip costs no read more.
// True when the chip was busy.
bool awaitChipIdle(Flash& flash) {
    if (!toggles(flash))
        return false;
    flash.console.print("Flash busy with an erase or a program, waiting until it is done\n");
    const std::uint32_t start = flash.link.clock.tickMs();
    while (toggles(flash) && flash.link.clock.tickMs() - start < kLongestEraseMs)
        flash.link.clock.sleepMs(kBusyPollMs);
    return true;
}

// An erase may also have ended between the identifier reads and the look at DQ6. A chip that
// was busy then ignored the autoselect command and now reads its array; an idle chip that no row
// knows still answers its manufacturer code.
bool endedSinceProbe(Flash& flash) {
    const std::vector<ProbeReading>& probes = flash.state.probes;
    return !probes.empty() && (statusRead(flash) & 0xFF) != (probes.front().id & 0xFF);
}

}  // namespace

ProbeKind probeKindOf(const FlashDevice& device) {
    return {busOf(device) == kFlashBus16, device.layout->unlockAddr1, device.layout->unlockAddr2,
            device.layout->evenCodes};
}

std::uint32_t readIdentifier(Flash& flash, const ProbeKind& kind) {
    std::vector<ProbeReading>& probes = flash.state.probes;
    const auto known = std::ranges::find(probes, kind, &ProbeReading::kind);
    if (known != probes.end())
        return known->id;
    const std::uint32_t id = probe(flash, kind);
    probes.push_back({kind, id});
    return id;
}

const FlashDevice& CurrentFlashDevice(const Flash& flash) {
    if (flash.state.queried)
        return flash.state.queried->row;
    return flash.state.devices[static_cast<std::size_t>(flash.state.flashIndex)];
}

namespace {

bool matchesARow(Flash& flash) {
    FlashState& state = flash.state;
    state.probes.clear();
    state.queried.reset();
    for (state.flashIndex = 0; !CurrentFlashDevice(flash).name.empty(); ++state.flashIndex) {
        const FlashDevice& device = CurrentFlashDevice(flash);
        if (probeRow(flash, device) == device.id)
            return true;
    }
    return false;
}

}  // namespace

// Rows are walked in table order, but each kind of probe (bus width, unlock cells) runs once and
// every row of that kind is compared with its reading. A match leaves the device in autoselect
// mode until SelectFlashOps resets it. Without a match the CFI query may still describe the
// device; otherwise the identifier of the first probe (the byte-wide one) is shown.
bool FindFlashDevice(Flash& flash) {
    flash.console.print("Looking for a known flash device. Please wait..\n");
    if (matchesARow(flash))
        return true;
    if ((awaitChipIdle(flash) || endedSinceProbe(flash)) && matchesARow(flash))
        return true;
    FlashState& state = flash.state;
    switch (QueryFlashDevice(flash)) {
        case QueryResult::found:
            return true;
        case QueryResult::refused:
            return false;
        case QueryResult::none:
            break;
    }
    const std::uint32_t shown = state.probes.empty() ? 0 : state.probes.front().id;
    flash.console.print("ID: 0x%lx. ", static_cast<unsigned long>(shown));
    return false;
}

void PrintFlashDevice(Flash& flash) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    flash.console.print("%.*s", static_cast<int>(device.name.size()), device.name.data());
    const std::uint16_t boot = device.flags & kFlashBootMask;
    if (boot == kFlashBootTop)
        flash.console.print(", Boot Block Top");
    if (boot == kFlashBootBottom)
        flash.console.print(", Boot Block Bottom");
    flash.console.print(" detected\n");
}

std::uint32_t FlashSize(const Flash& flash) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    const SectorLayout& layout = *device.layout;
    std::uint32_t size = 0;
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        size += std::uint32_t{layout.groups[g].sectorCount} * layout.groups[g].sectorSize * 256;
    }
    return hasFlag(device, kFlashPaired) ? size * 2 : size;
}

}  // namespace halvard
