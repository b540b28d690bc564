#include <cstdint>
#include <optional>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "monitor/monitor.hpp"
#include "run/run.hpp"

namespace halvard {

namespace {

bool hasFlag(const FlashDevice& device, std::uint16_t flag) {
    return (device.flags & flag) != 0;
}

std::uint16_t busOf(const FlashDevice& device) {
    return device.flags & kFlashBusMask;
}

std::optional<std::uint32_t> probeWordRow(Run& run, const FlashDevice& device) {
    const std::uint32_t base = run.settings.deviceBase;
    resetAMD16(run);
    autoselectAMD16(run);
    if (device.idSize == 4) {
        const std::uint32_t manufacturer = targetWordRead(run, base);
        const std::uint32_t code = targetWordRead(run, base + 2);
        return manufacturer + (code << 16);
    }
    if (device.idSize == 2)
        run.console.print("Not Supported yet!!\n");
    return std::nullopt;
}

std::optional<std::uint32_t> probeByteRow(Run& run, const FlashDevice& device) {
    const std::uint32_t base = run.settings.deviceBase;
    resetAMD8(run);
    autoselectAMD8(run);
    if (device.idSize == 2) {
        const std::uint32_t manufacturer = targetByteRead(run, base);
        const std::uint32_t code = targetByteRead(run, base + 1);
        return manufacturer + (code << 8);
    }
    if (device.idSize == 4)
        run.console.print("Not Supported yet!!\n");
    return std::nullopt;
}

// Reads the identifier of a row through its bus width; nothing when the row is not probed.
std::optional<std::uint32_t> probeRow(Run& run, const FlashDevice& device) {
    if (!hasFlag(device, kFlashAmd))
        return std::nullopt;
    if (busOf(device) == kFlashBus16 && !run.settings.only8Bit)
        return probeWordRow(run, device);
    if (busOf(device) == kFlashBus8 && !run.settings.only16Bit)
        return probeByteRow(run, device);
    return std::nullopt;
}

}  // namespace

const FlashDevice& CurrentFlashDevice(const Run& run) {
    return run.flash.devices[static_cast<std::size_t>(run.flash.flashIndex)];
}

// Every row gets its own reset and autoselect with its own layout's unlock cells; a match
// leaves the device in autoselect mode until SelectFlashOps resets it.
bool FindFlashDevice(Run& run) {
    run.console.print("Looking for a known flash device. Please wait..\n");
    FlashState& flash = run.flash;
    std::optional<std::uint32_t> id;
    for (flash.flashIndex = 0; !CurrentFlashDevice(run).name.empty(); ++flash.flashIndex) {
        const FlashDevice& device = CurrentFlashDevice(run);
        id = probeRow(run, device);
        if (id == device.id)
            return true;
    }
    run.console.print("ID: 0x%lx. ", static_cast<unsigned long>(id.value_or(0)));
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
