#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "app/run.hpp"
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
std::uint32_t probe(Run& run, const ProbeKind& kind) {
    const std::uint32_t base = run.settings.deviceBase;
    if (kind.wordBus) {
        resetAMD16(run);
        autoselectAMD16(run);
        const std::uint32_t manufacturer = targetWordRead(run, base);
        const std::uint32_t code = targetWordRead(run, base + 2);
        return manufacturer + (code << 16);
    }
    resetAMD8(run);
    autoselectAMD8(run);
    const std::uint32_t manufacturer = targetByteRead(run, base);
    const std::uint32_t code = targetByteRead(run, base + (kind.evenCodes ? 2 : 1));
    return manufacturer + (code << 8);
}

bool idSizeFits(Run& run, const FlashDevice& device, std::uint8_t idSize) {
    if (device.idSize == idSize)
        return true;
    if (device.idSize == 2 || device.idSize == 4)
        run.console.print("Not Supported yet!!\n");
    return false;
}

// The identifier of a row, read through its bus width; nothing when the row is not probed.
std::optional<std::uint32_t> probeRow(Run& run, const FlashDevice& device) {
    if (!hasFlag(device, kFlashAmd))
        return std::nullopt;
    const std::uint16_t bus = busOf(device);
    if (bus == kFlashBus16 && !run.settings.only8Bit && idSizeFits(run, device, 4))
        return readIdentifier(run, probeKindOf(device));
    if (bus == kFlashBus8 && !run.settings.only16Bit && idSizeFits(run, device, 2))
        return readIdentifier(run, probeKindOf(device));
    return std::nullopt;
}

}  // namespace

ProbeKind probeKindOf(const FlashDevice& device) {
    return {busOf(device) == kFlashBus16, device.layout->unlockAddr1, device.layout->unlockAddr2,
            device.layout->evenCodes};
}

std::uint32_t readIdentifier(Run& run, const ProbeKind& kind) {
    std::vector<ProbeReading>& probes = run.flash.probes;
    const auto known = std::ranges::find(probes, kind, &ProbeReading::kind);
    if (known != probes.end())
        return known->id;
    const std::uint32_t id = probe(run, kind);
    probes.push_back({kind, id});
    return id;
}

const FlashDevice& CurrentFlashDevice(const Run& run) {
    if (run.flash.queried)
        return run.flash.queried->row;
    return run.flash.devices[static_cast<std::size_t>(run.flash.flashIndex)];
}

// Rows are walked in table order, but each kind of probe (bus width, unlock cells) runs once and
// every row of that kind is compared with its reading. A match leaves the device in autoselect
// mode until SelectFlashOps resets it. Without a match the CFI query may still describe the
// device; otherwise the identifier of the first probe (the byte-wide one) is shown.
bool FindFlashDevice(Run& run) {
    run.console.print("Looking for a known flash device. Please wait..\n");
    FlashState& flash = run.flash;
    flash.probes.clear();
    flash.queried.reset();
    for (flash.flashIndex = 0; !CurrentFlashDevice(run).name.empty(); ++flash.flashIndex) {
        const FlashDevice& device = CurrentFlashDevice(run);
        if (probeRow(run, device) == device.id)
            return true;
    }
    switch (QueryFlashDevice(run)) {
        case QueryResult::found:
            return true;
        case QueryResult::refused:
            return false;
        case QueryResult::none:
            break;
    }
    const std::uint32_t shown = flash.probes.empty() ? 0 : flash.probes.front().id;
    run.console.print("ID: 0x%lx. ", static_cast<unsigned long>(shown));
    return false;
}

void PrintFlashDevice(Run& run) {
    const FlashDevice& device = CurrentFlashDevice(run);
    run.console.print("%.*s", static_cast<int>(device.name.size()), device.name.data());
    const std::uint16_t boot = device.flags & kFlashBootMask;
    if (boot == kFlashBootTop)
        run.console.print(", Boot Block Top");
    if (boot == kFlashBootBottom)
        run.console.print(", Boot Block Bottom");
    run.console.print(" detected\n");
}

std::uint32_t FlashSize(const Run& run) {
    const FlashDevice& device = CurrentFlashDevice(run);
    const SectorLayout& layout = *device.layout;
    std::uint32_t size = 0;
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        size += std::uint32_t{layout.groups[g].sectorCount} * layout.groups[g].sectorSize * 256;
    }
    return hasFlag(device, kFlashPaired) ? size * 2 : size;
}

}  // namespace halvard
