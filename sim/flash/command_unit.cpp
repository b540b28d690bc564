#include "sim/flash/command_unit.hpp"

#include <algorithm>

#include "sim/flash/flash_chip.hpp"

namespace halvard::sim {

namespace {

constexpr std::uint8_t kUnlockData1 = 0xAA;
constexpr std::uint8_t kUnlockData2 = 0x55;
constexpr std::uint8_t kReset = 0xF0;
constexpr std::uint8_t kAutoselect = 0x90;
constexpr std::uint8_t kProgram = 0xA0;
constexpr std::uint8_t kEraseSetup = 0x80;
constexpr std::uint8_t kChipErase = 0x10;
constexpr std::uint8_t kSectorErase = 0x30;
constexpr std::uint8_t kQuery = 0x98;
constexpr std::uint8_t kIntelReadArray = 0xFF;

constexpr std::uint8_t kDq7 = 0x80;
constexpr std::uint8_t kDq6 = 0x40;
constexpr std::uint8_t kDq5 = 0x20;
constexpr std::uint8_t kDq3 = 0x08;

}  // namespace

CommandUnit::CommandUnit(UnitWiring wiring, std::span<std::uint8_t> bus,
                         std::span<const SectorSpan> sectors, const FlashTiming& timing,
                         const UnitFaults& faults)
    : wiring_(wiring), bus_(bus), sectors_(sectors), timing_(timing), faults_(faults) {}

std::uint16_t CommandUnit::read(std::uint32_t cell, std::uint64_t nowNs) {
    settle(nowNs);
    if (mode_ == Mode::Busy || mode_ == Mode::Failed) {
        return status();
    }
    if (query_) {
        return queryByte(cell);
    }
    if (autoselect_) {
        return identifier(cell);
    }
    return cellValue(cell);
}

void CommandUnit::write(std::uint32_t cell, std::uint16_t value, std::uint64_t nowNs) {
    settle(nowNs);
    // Word-wide parts decode commands on the low byte; the host repeats it in the high byte.
    const auto code = static_cast<std::uint8_t>(value);
    if (wiring_.intelCommands) {
        writeIntel(code);
        return;
    }
    switch (mode_) {
        case Mode::Busy:
            return;  // the embedded algorithm ignores the bus until it is done
        case Mode::Failed:
            if (code == kReset) {
                mode_ = Mode::Read;
            }
            return;
        case Mode::Read:
            if (code == kUnlockData1 && isCell(cell, wiring_.unlock1)) {
                mode_ = Mode::Unlocked1;
            } else if (code == kReset) {
                bareReset();
            } else if (code == kQuery && !wiring_.cfi.empty() && isCell(cell, wiring_.queryCell)) {
                query_ = true;
            }
            return;
        case Mode::Unlocked1:
            mode_ = Mode::Read;
            if (code == kUnlockData2 && isCell(cell, wiring_.unlock2)) {
                mode_ = Mode::Unlocked2;
            } else if (code == kReset) {
                bareReset();
            }
            return;
        case Mode::Unlocked2:
            mode_ = Mode::Read;
            command(cell, code);
            return;
        case Mode::ProgramSetup:
            startProgram(cell, value & cellMask(), nowNs);
            return;
        case Mode::EraseSetup:
        case Mode::EraseUnlocked1:
        case Mode::EraseUnlocked2:
            eraseCommand(cell, code, nowNs);
            return;
    }
}

std::optional<std::uint64_t> CommandUnit::busyUntil(std::uint64_t nowNs) {
    settle(nowNs);
    if (mode_ == Mode::Busy) {
        return endNs_;
    }
    return std::nullopt;
}

// A bare 0xF0 leaves the query for the mode it was entered from, or the identifier mode.
void CommandUnit::bareReset() {
    if (query_) {
        query_ = false;
    } else {
        autoselect_ = false;
    }
}

// A part with the Intel command set ignores unlock cycles and takes its commands anywhere.
void CommandUnit::writeIntel(std::uint8_t code) {
    if (code == kIntelReadArray) {
        autoselect_ = false;
        query_ = false;
    } else if (code == kAutoselect) {
        autoselect_ = true;
        query_ = false;
    } else if (code == kQuery && !wiring_.cfi.empty()) {
        query_ = true;
    }
}

// After the unlock pair a reset leaves every mode at once.
void CommandUnit::command(std::uint32_t cell, std::uint8_t code) {
    if (code == kReset) {
        autoselect_ = false;
        query_ = false;
        return;
    }
    if (!isCell(cell, wiring_.unlock1)) {
        return;
    }
    if (code == kAutoselect) {
        autoselect_ = true;
        query_ = false;
    } else if (autoselect_ || query_) {
        return;  // only a reset leaves the identifier mode and the query
    } else if (code == kProgram) {
        mode_ = Mode::ProgramSetup;
    } else if (code == kEraseSetup) {
        mode_ = Mode::EraseSetup;
    }
}

// Erase takes a second unlock pair after 0x80; a wrong cycle anywhere aborts to read mode.
void CommandUnit::eraseCommand(std::uint32_t cell, std::uint8_t code, std::uint64_t nowNs) {
    const Mode step = mode_;
    mode_ = Mode::Read;
    if (step == Mode::EraseSetup && code == kUnlockData1 && isCell(cell, wiring_.unlock1)) {
        mode_ = Mode::EraseUnlocked1;
    } else if (step == Mode::EraseUnlocked1 && code == kUnlockData2 &&
               isCell(cell, wiring_.unlock2)) {
        mode_ = Mode::EraseUnlocked2;
    } else if (step == Mode::EraseUnlocked2 && code == kChipErase &&
               isCell(cell, wiring_.unlock1)) {
        startErase(0, static_cast<unsigned>(sectors_.size()) - 1, timing_.chipEraseNs, nowNs);
    } else if (step == Mode::EraseUnlocked2 && code == kSectorErase) {
        const unsigned sector = sectorOf(cell);
        startErase(sector, sector, timing_.sectorEraseNs, nowNs);
    }
}

void CommandUnit::startProgram(std::uint32_t cell, std::uint16_t value, std::uint64_t nowNs) {
    const std::uint16_t old = cellValue(cell);
    // Programming only clears bits: a 0 that should read 1 never verifies, nor does a cell
    // that does not take charge at all.
    const bool changes = (old & value) != old;
    willFail_ = (old & value) != value || (changes && cellIsStuck(cell));
    operation_ = Operation::Program;
    programCell_ = cell;
    programValue_ = value;
    endNs_ = nowNs + (willFail_ ? timing_.programFailNs : timing_.programNs);
    mode_ = Mode::Busy;
}

void CommandUnit::startErase(unsigned firstSector, unsigned lastSector, std::uint64_t duration,
                             std::uint64_t nowNs) {
    if (faults_.eraseNsPerSector) {
        duration = *faults_.eraseNsPerSector * (lastSector - firstSector + 1);
    }
    willFail_ = false;
    for (unsigned sector = firstSector; sector <= lastSector; ++sector) {
        willFail_ = willFail_ || std::ranges::find(faults_.failingSectors, sector) !=
                                     faults_.failingSectors.end();
    }
    operation_ = Operation::Erase;
    firstSector_ = firstSector;
    lastSector_ = lastSector;
    endNs_ = nowNs + duration;
    mode_ = Mode::Busy;
}

void CommandUnit::settle(std::uint64_t nowNs) {
    if (mode_ == Mode::Busy && nowNs >= endNs_) {
        finishOperation();
    }
}

void CommandUnit::finishOperation() {
    if (operation_ == Operation::Program) {
        if (!cellIsStuck(programCell_)) {
            storeCell(programCell_, cellValue(programCell_) & programValue_);
        }
    } else {
        for (unsigned sector = firstSector_; sector <= lastSector_; ++sector) {
            if (std::ranges::find(faults_.failingSectors, sector) == faults_.failingSectors.end()) {
                eraseSector(sector);
            }
        }
    }
    mode_ = willFail_ ? Mode::Failed : Mode::Read;
}

// Data polling: DQ7 shows the complement of the datum being programmed (0 while erasing), DQ6
// flips on every read, DQ5 reports the failure, DQ3 says the erase has started. A word-wide
// part shows the same bits in both bytes, DQ15 against bit 15 of the datum.
std::uint16_t CommandUnit::status() {
    toggle_ = !toggle_;
    std::uint8_t common = toggle_ ? kDq6 : 0;
    if (mode_ == Mode::Failed) {
        common |= kDq5;
    }
    if (operation_ == Operation::Erase) {
        common |= kDq3;
        return static_cast<std::uint16_t>(common | (wiring_.wordCells ? common << 8 : 0));
    }
    const auto lane = [&](unsigned datum) {
        return static_cast<std::uint16_t>(((datum & kDq7) ^ kDq7) | common);
    };
    std::uint16_t value = lane(programValue_ & 0xFF);
    if (wiring_.wordCells) {
        value |= static_cast<std::uint16_t>(lane(programValue_ >> 8) << 8);
    }
    return value;
}

// A0 picks manufacturer or device code; with A1 set the part answers its sector protection,
// which is always "unprotected" here.
std::uint16_t CommandUnit::identifier(std::uint32_t cell) const {
    cell >>= wiring_.idShift;
    if ((cell & 2) != 0) {
        return 0;
    }
    return (cell & 1) != 0 ? wiring_.device : wiring_.manufacturer;
}

// One byte of the query table per index; a word-wide part answers it in the low byte.
std::uint16_t CommandUnit::queryByte(std::uint32_t cell) const {
    const std::uint32_t index = cell >> wiring_.idShift;
    return index < wiring_.cfi.size() ? wiring_.cfi[index] : 0;
}

std::uint16_t CommandUnit::cellValue(std::uint32_t cell) const {
    const std::uint32_t at = cell * wiring_.stride + wiring_.lane;
    if (!wiring_.wordCells) {
        return bus_[at];
    }
    return static_cast<std::uint16_t>(bus_[at] | bus_[at + 1] << 8);
}

void CommandUnit::storeCell(std::uint32_t cell, std::uint16_t value) {
    const std::uint32_t at = cell * wiring_.stride + wiring_.lane;
    bus_[at] = static_cast<std::uint8_t>(value);
    if (wiring_.wordCells) {
        bus_[at + 1] = static_cast<std::uint8_t>(value >> 8);
    }
}

bool CommandUnit::cellIsStuck(std::uint32_t cell) const {
    const std::uint32_t first = cell * wiring_.stride + wiring_.lane;
    const std::uint32_t last = first + (wiring_.wordCells ? 1 : 0);
    return std::ranges::any_of(faults_.stuckCells, [&](std::uint32_t offset) {
        return offset >= first && offset <= last;
    });
}

unsigned CommandUnit::sectorOf(std::uint32_t cell) const {
    const std::uint32_t at = cell * wiring_.stride + wiring_.lane;
    const auto next = std::ranges::upper_bound(sectors_, at, {}, &SectorSpan::offset);
    return static_cast<unsigned>(next - sectors_.begin()) - 1;
}

void CommandUnit::eraseSector(unsigned sector) {
    const SectorSpan span = sectors_[sector];
    if (wiring_.stride == 1 || wiring_.wordCells) {
        std::fill_n(bus_.begin() + span.offset, span.bytes, std::uint8_t{0xFF});
        return;
    }
    for (std::uint32_t at = span.offset + wiring_.lane; at < span.offset + span.bytes;
         at += wiring_.stride) {
        bus_[at] = 0xFF;
    }
}

}  // namespace halvard::sim
