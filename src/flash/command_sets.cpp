#include <cstdint>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kCP = 0xFE10;
constexpr std::uint32_t kDPP0 = 0xFE00;
constexpr std::uint32_t kDPP2 = 0xFE04;
constexpr std::uint16_t kDQ5 = 0x20;
constexpr std::uint32_t kPollPauseMs = 10;

std::uint32_t cellAddress(const Flash& flash, std::uint32_t offset) {
    return flash.settings.deviceBase + offset;
}
std::uint32_t unlockCell1(const Flash& flash) {
    return cellAddress(flash, CurrentFlashDevice(flash).layout->unlockAddr1);
}
std::uint32_t unlockCell2(const Flash& flash) {
    return cellAddress(flash, CurrentFlashDevice(flash).layout->unlockAddr2);
}

std::uint8_t lowByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t highByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}

struct PollCell {
    std::uint16_t (*read)(Link&, std::uint32_t);
    const char* name;  // begins the poll's error message
};

std::uint16_t readByteCell(Link& link, std::uint32_t address) {
    return targetByteRead(link, address);
}

// Reads the cell every 10 ms until it shows the expected value. DQ5 set in the latest read means
// the device gave up: one more read decides. A cell that neither settles nor sets DQ5 is given
// the same last chance once kPollLimitMs have gone by.
// A poll whose request or answer the line garbled times out: the line is brought into step and
// the cell read again, a few times, before the run ends. An erase is polled hundreds of times,
// so on a noisy line one lost answer must not end it.
std::uint16_t readPolled(Flash& flash, const PollCell& cell, std::uint32_t address) {
    constexpr int kTries = 3;
    for (int attempt = 1;; ++attempt) {
        try {
            return cell.read(flash.link, address);
        } catch (const RunError& error) {
            if (attempt == kTries || error.status() != status(ErrorCode::MonitorTimeout))
                throw;
            PortResync(flash.link);
        }
    }
}

void pollCell(Flash& flash, const PollCell& cell, std::uint32_t offset, std::uint16_t expected) {
    const std::uint32_t address = cellAddress(flash, offset);
    std::uint16_t value = readPolled(flash, cell, address);
    if (value == expected)
        return;
    const std::uint32_t start = flash.clock.tickMs();
    for (;;) {
        flash.clock.sleepMs(kPollPauseMs);
        const bool timedOut = (value & kDQ5) != 0 || flash.clock.tickMs() - start >= kPollLimitMs;
        value = readPolled(flash, cell, address);
        if (value == expected)
            return;
        if (timedOut)
            break;
    }
    ++flash.state.failedPolls;
    flash.console.print("%s Error. Addr = 0x%lx, Data = 0x%x.Read = 0x%x\n", cell.name,
                        static_cast<unsigned long>(offset), static_cast<unsigned>(expected),
                        static_cast<unsigned>(value));
}

std::uint16_t registerAddress(Flash& flash, std::uint16_t offsetFromCP) {
    return static_cast<std::uint16_t>(targetWordRead(flash.link, kCP) + offsetFromCP);
}

void writeRegister(Flash& flash, unsigned number, std::uint16_t value) {
    targetWordWrite(flash.link, registerAddress(flash, static_cast<std::uint16_t>(2 * number)),
                    value);
}

}  // namespace

void unlockAMD8(Flash& flash) {
    targetByteWrite(flash.link, unlockCell1(flash), 0xAA);
    targetByteWrite(flash.link, unlockCell2(flash), 0x55);
}

void unlockAMD16(Flash& flash) {
    targetWordWrite(flash.link, unlockCell1(flash), 0xAAAA);
    targetWordWrite(flash.link, unlockCell2(flash), 0x5555);
}

void resetAMD8(Flash& flash) {
    unlockAMD8(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0xF0);
}

void resetAMD16(Flash& flash) {
    unlockAMD16(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0xF0F0);
}

void autoselectAMD8(Flash& flash) {
    unlockAMD8(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0x90);
}

void autoselectAMD16(Flash& flash) {
    unlockAMD16(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0x9090);
}

// The program sequences do not wait: the caller polls with verifyCell.
void cellProgramAMD8(Flash& flash, std::uint32_t offset, std::uint16_t value) {
    if (lowByte(value) == 0xFF)
        return;
    flash.state.ops.unlock(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0xA0);
    targetByteWrite(flash.link, cellAddress(flash, offset), lowByte(value));
}

void cellProgramAMD16(Flash& flash, std::uint32_t offset, std::uint16_t value) {
    if (value == 0xFFFF)
        return;
    flash.state.ops.unlock(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0xA0A0);
    targetWordWrite(flash.link, cellAddress(flash, offset), value);
}

void cellVerifyAMD8(Flash& flash, std::uint32_t offset, std::uint16_t expected) {
    static constexpr PollCell cell{readByteCell, "cellVerifyAMD8"};
    pollCell(flash, cell, offset, lowByte(expected));
}

void cellVerifyAMD16(Flash& flash, std::uint32_t offset, std::uint16_t expected) {
    static constexpr PollCell cell{targetWordRead, "cellVerifyAMD16"};
    pollCell(flash, cell, offset, expected);
}

// Two byte-wide devices side by side: the one at the even address carries the low byte, and
// each is polled to its end in turn.
void cellVerifyAMD8x2(Flash& flash, std::uint32_t offset, std::uint16_t expected) {
    cellVerifyAMD8(flash, offset, lowByte(expected));
    cellVerifyAMD8(flash, offset + 1, highByte(expected));
}

// The erase sequences wait for completion and then always reset, whatever the poll found.
void sectorEraseAMD8(Flash& flash, std::uint32_t sectorOffset) {
    const FlashOps& ops = flash.state.ops;
    ops.unlock(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0x80);
    ops.unlock(flash);
    targetByteWrite(flash.link, cellAddress(flash, sectorOffset), 0x30);
    ops.verifyCell(flash, sectorOffset, 0xFF);
    ops.reset(flash);
}

void sectorEraseAMD16(Flash& flash, std::uint32_t sectorOffset) {
    const FlashOps& ops = flash.state.ops;
    ops.unlock(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0x8080);
    ops.unlock(flash);
    targetWordWrite(flash.link, cellAddress(flash, sectorOffset), 0x3030);
    ops.verifyCell(flash, sectorOffset, 0xFFFF);
    ops.reset(flash);
}

void chipEraseAMD8(Flash& flash) {
    const FlashOps& ops = flash.state.ops;
    ops.unlock(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0x80);
    ops.unlock(flash);
    targetByteWrite(flash.link, unlockCell1(flash), 0x10);
    ops.verifyCell(flash, 0, 0xFF);
    ops.reset(flash);
}

void chipEraseAMD16(Flash& flash) {
    const FlashOps& ops = flash.state.ops;
    ops.unlock(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0x8080);
    ops.unlock(flash);
    targetWordWrite(flash.link, unlockCell1(flash), 0x1010);
    ops.verifyCell(flash, 0, 0xFFFF);
    ops.reset(flash);
}

void SelectFlashOps(Flash& flash) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    if ((device.flags & kFlashAmd) == 0)
        return;
    FlashOps& ops = flash.state.ops;
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
    // Identification left the device in autoselect mode, where every read gives its identifier
    // bytes: a reset that the line garbled would have the routine read and prove those instead
    // of the array. The writes have no answer to check, so the reset goes three times.
    constexpr int kResets = 3;
    for (int i = 0; i < kResets; ++i)
        ops.reset(flash);
}

DppAddress splitDppAddress(std::uint32_t address, unsigned dpp) {
    const auto shortAddress = static_cast<std::uint16_t>(((dpp & 3U) << 14) | (address & 0x3FFF));
    return {shortAddress, static_cast<std::uint16_t>(address >> 14)};
}

// The flash algorithm finds its parameters in R4-R9 of the current register bank, and reaches
// the unlock cells through DPP0 (cell 1) and DPP2 (cell 2). CP is read afresh for every register.
void SetFlashParameters(Flash& flash) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    const std::uint32_t base = flash.settings.deviceBase;
    writeRegister(flash, 5, 0xAAAA);
    writeRegister(flash, 6, 0x5555);
    if ((device.flags & kFlashAmd) != 0) {
        writeRegister(flash, 7, 0xA0A0);
    } else if ((device.flags & kFlashCmd40) != 0) {
        writeRegister(flash, 7, 0x4040);
    }
    const DppAddress cell1 = splitDppAddress(base + device.layout->unlockAddr1, 0);
    writeRegister(flash, 8, cell1.shortAddress);
    targetWordWrite(flash.link, kDPP0, cell1.page);
    const DppAddress cell2 = splitDppAddress(base + device.layout->unlockAddr2, 2);
    writeRegister(flash, 9, cell2.shortAddress);
    targetWordWrite(flash.link, kDPP2, cell2.page);
    writeRegister(flash, 4, device.flags);
}

}  // namespace halvard
