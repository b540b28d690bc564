#include <cstdint>

#include "app/run.hpp"
#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kCP = 0xFE10;
constexpr std::uint32_t kDPP0 = 0xFE00;
constexpr std::uint32_t kDPP2 = 0xFE04;
constexpr std::uint16_t kDQ5 = 0x20;
constexpr std::uint32_t kPollPauseMs = 10;

std::uint32_t cellAddress(const Run& run, std::uint32_t offset) {
    return run.settings.deviceBase + offset;
}
std::uint32_t unlockCell1(const Run& run) {
    return cellAddress(run, CurrentFlashDevice(run).layout->unlockAddr1);
}
std::uint32_t unlockCell2(const Run& run) {
    return cellAddress(run, CurrentFlashDevice(run).layout->unlockAddr2);
}

std::uint8_t lowByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t highByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}

struct PollCell {
    std::uint16_t (*read)(Run&, std::uint32_t);
    const char* name;  // begins the poll's error message
};

std::uint16_t readByteCell(Run& run, std::uint32_t address) {
    return targetByteRead(run, address);
}

// Reads the cell every 10 ms until it shows the expected value. DQ5 set in the latest read means
// the device gave up: one more read decides. A cell that neither settles nor sets DQ5 is given
// the same last chance once kPollLimitMs have gone by.
void pollCell(Run& run, const PollCell& cell, std::uint32_t offset, std::uint16_t expected) {
    const std::uint32_t address = cellAddress(run, offset);
    std::uint16_t value = cell.read(run, address);
    if (value == expected)
        return;
    const std::uint32_t start = run.clock.tickMs();
    for (;;) {
        run.clock.sleepMs(kPollPauseMs);
        const bool timedOut = (value & kDQ5) != 0 || run.clock.tickMs() - start >= kPollLimitMs;
        value = cell.read(run, address);
        if (value == expected)
            return;
        if (timedOut)
            break;
    }
    ++run.flash.failedPolls;
    run.console.print("%s Error. Addr = 0x%lx, Data = 0x%x.Read = 0x%x\n", cell.name,
                      static_cast<unsigned long>(offset), static_cast<unsigned>(expected),
                      static_cast<unsigned>(value));
}

std::uint16_t registerAddress(Run& run, std::uint16_t offsetFromCP) {
    return static_cast<std::uint16_t>(targetWordRead(run, kCP) + offsetFromCP);
}

void writeRegister(Run& run, unsigned number, std::uint16_t value) {
    targetWordWrite(run, registerAddress(run, static_cast<std::uint16_t>(2 * number)), value);
}

}  // namespace

void unlockAMD8(Run& run) {
    targetByteWrite(run, unlockCell1(run), 0xAA);
    targetByteWrite(run, unlockCell2(run), 0x55);
}

void unlockAMD16(Run& run) {
    targetWordWrite(run, unlockCell1(run), 0xAAAA);
    targetWordWrite(run, unlockCell2(run), 0x5555);
}

void resetAMD8(Run& run) {
    unlockAMD8(run);
    targetByteWrite(run, unlockCell1(run), 0xF0);
}

void resetAMD16(Run& run) {
    unlockAMD16(run);
    targetWordWrite(run, unlockCell1(run), 0xF0F0);
}

void autoselectAMD8(Run& run) {
    unlockAMD8(run);
    targetByteWrite(run, unlockCell1(run), 0x90);
}

void autoselectAMD16(Run& run) {
    unlockAMD16(run);
    targetWordWrite(run, unlockCell1(run), 0x9090);
}

// The program sequences do not wait: the caller polls with verifyCell.
void cellProgramAMD8(Run& run, std::uint32_t offset, std::uint16_t value) {
    if (lowByte(value) == 0xFF)
        return;
    run.flash.ops.unlock(run);
    targetByteWrite(run, unlockCell1(run), 0xA0);
    targetByteWrite(run, cellAddress(run, offset), lowByte(value));
}

void cellProgramAMD16(Run& run, std::uint32_t offset, std::uint16_t value) {
    if (value == 0xFFFF)
        return;
    run.flash.ops.unlock(run);
    targetWordWrite(run, unlockCell1(run), 0xA0A0);
    targetWordWrite(run, cellAddress(run, offset), value);
}

void cellVerifyAMD8(Run& run, std::uint32_t offset, std::uint16_t expected) {
    static constexpr PollCell cell{readByteCell, "cellVerifyAMD8"};
    pollCell(run, cell, offset, lowByte(expected));
}

void cellVerifyAMD16(Run& run, std::uint32_t offset, std::uint16_t expected) {
    static constexpr PollCell cell{targetWordRead, "cellVerifyAMD16"};
    pollCell(run, cell, offset, expected);
}

// Two byte-wide devices side by side: the one at the even address carries the low byte, and
// each is polled to its end in turn.
void cellVerifyAMD8x2(Run& run, std::uint32_t offset, std::uint16_t expected) {
    cellVerifyAMD8(run, offset, lowByte(expected));
    cellVerifyAMD8(run, offset + 1, highByte(expected));
}

// The erase sequences wait for completion and then always reset, whatever the poll found.
void sectorEraseAMD8(Run& run, std::uint32_t sectorOffset) {
    const FlashOps& ops = run.flash.ops;
    ops.unlock(run);
    targetByteWrite(run, unlockCell1(run), 0x80);
    ops.unlock(run);
    targetByteWrite(run, cellAddress(run, sectorOffset), 0x30);
    ops.verifyCell(run, sectorOffset, 0xFF);
    ops.reset(run);
}

void sectorEraseAMD16(Run& run, std::uint32_t sectorOffset) {
    const FlashOps& ops = run.flash.ops;
    ops.unlock(run);
    targetWordWrite(run, unlockCell1(run), 0x8080);
    ops.unlock(run);
    targetWordWrite(run, cellAddress(run, sectorOffset), 0x3030);
    ops.verifyCell(run, sectorOffset, 0xFFFF);
    ops.reset(run);
}

void chipEraseAMD8(Run& run) {
    const FlashOps& ops = run.flash.ops;
    ops.unlock(run);
    targetByteWrite(run, unlockCell1(run), 0x80);
    ops.unlock(run);
    targetByteWrite(run, unlockCell1(run), 0x10);
    ops.verifyCell(run, 0, 0xFF);
    ops.reset(run);
}

void chipEraseAMD16(Run& run) {
    const FlashOps& ops = run.flash.ops;
    ops.unlock(run);
    targetWordWrite(run, unlockCell1(run), 0x8080);
    ops.unlock(run);
    targetWordWrite(run, unlockCell1(run), 0x1010);
    ops.verifyCell(run, 0, 0xFFFF);
    ops.reset(run);
}

void SelectFlashOps(Run& run) {
    const FlashDevice& device = CurrentFlashDevice(run);
    if ((device.flags & kFlashAmd) == 0)
        return;
    FlashOps& ops = run.flash.ops;
    if ((device.flags & kFlashBusMask) == kFlashBus16) {
        const bool paired = (device.flags & kFlashPaired) != 0;
        ops = FlashOps{cellProgramAMD16, paired ? cellVerifyAMD8x2 : cellVerifyAMD16,
                       unlockAMD16,      resetAMD16,
                       autoselectAMD16,  sectorEraseAMD16,
                       chipEraseAMD16};
    } else {
        ops = FlashOps{cellProgramAMD8, cellVerifyAMD8,  unlockAMD8,   resetAMD8,
                       autoselectAMD8,  sectorEraseAMD8, chipEraseAMD8};
    }
    // Identification left the device in autoselect mode.
    ops.reset(run);
}

DppAddress splitDppAddress(std::uint32_t address, unsigned dpp) {
    const auto shortAddress = static_cast<std::uint16_t>(((dpp & 3U) << 14) | (address & 0x3FFF));
    return {shortAddress, static_cast<std::uint16_t>(address >> 14)};
}

// The flash algorithm finds its parameters in R4-R9 of the current register bank, and reaches
// the unlock cells through DPP0 (cell 1) and DPP2 (cell 2). CP is read afresh for every register.
void SetFlashParameters(Run& run) {
    const FlashDevice& device = CurrentFlashDevice(run);
    const std::uint32_t base = run.settings.deviceBase;
    writeRegister(run, 5, 0xAAAA);
    writeRegister(run, 6, 0x5555);
    if ((device.flags & kFlashAmd) != 0) {
        writeRegister(run, 7, 0xA0A0);
    } else if ((device.flags & kFlashCmd40) != 0) {
        writeRegister(run, 7, 0x4040);
    }
    const DppAddress cell1 = splitDppAddress(base + device.layout->unlockAddr1, 0);
    writeRegister(run, 8, cell1.shortAddress);
    targetWordWrite(run, kDPP0, cell1.page);
    const DppAddress cell2 = splitDppAddress(base + device.layout->unlockAddr2, 2);
    writeRegister(run, 9, cell2.shortAddress);
    targetWordWrite(run, kDPP2, cell2.page);
    writeRegister(run, 4, device.flags);
}

}  // namespace halvard
