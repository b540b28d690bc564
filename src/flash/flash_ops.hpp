#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/flash_table.hpp"
#include "line/port.hpp"

namespace halvard {

struct Flash;

// The command set chosen for the detected device; filled once by SelectFlashOps.
struct FlashOps {
    void (*programCell)(Flash&, std::uint32_t offset, std::uint16_t value) = nullptr;
    void (*verifyCell)(Flash&, std::uint32_t offset, std::uint16_t expected) = nullptr;
    void (*unlock)(Flash&) = nullptr;
    void (*reset)(Flash&) = nullptr;
    void (*autoselect)(Flash&) = nullptr;
    void (*sectorErase)(Flash&, std::uint32_t sectorOffset) = nullptr;
    void (*chipErase)(Flash&) = nullptr;
};

// How identification reads an identifier: over which bus, through which unlock cells, and where
// the device code sits. Rows of one kind are compared with one reading.
struct ProbeKind {
    bool wordBus = false;
    std::uint16_t unlockAddr1 = 0;
    std::uint16_t unlockAddr2 = 0;
    bool evenCodes = false;
    bool operator==(const ProbeKind&) const = default;
};

struct ProbeReading {
    ProbeKind kind;
    std::uint32_t id = 0;
};

// A device that no row knows but whose CFI query describes an AMD command set part: the row and
// layout built from the query. It stays where it was built, since the row points into it.
struct QueriedDevice {
    QueriedDevice(const SectorLayout& geometry, std::uint16_t flags)
        : layout(geometry),
          row{{}, static_cast<std::uint8_t>((flags & kFlashBus16) ? 4 : 2), 0, flags, &layout} {}
    QueriedDevice(const QueriedDevice&) = delete;
    QueriedDevice& operator=(const QueriedDevice&) = delete;

    std::string name;
    SectorLayout layout;
    FlashDevice row;
};

struct FlashState {
    // The table identification walks; tests may hand in one of their own (ending in an empty row).
    std::span<const FlashDevice> devices = kFlashDevices;
    int flashIndex = 0;  // row of the device table being probed, then the detected row
    FlashOps ops;
    std::vector<ProbeReading> probes;      // what identification read, in the order it probed
    std::optional<QueriedDevice> queried;  // the device found by its CFI query, if any
    unsigned failedPolls = 0;              // completion polls that gave up (printed as they came)
    std::vector<int> unerasedBlocks;       // sectors whose erase did not complete, by block number
    std::vector<std::uint32_t> failedCells;  // every cell the flash algorithm could not program
};

// What identification and the command sets use of the command line.
struct FlashSettings {
    std::uint32_t deviceBase = 0x20000;  // where the chip sits in the target's address space
    bool only8Bit = false;               // /8BIT: probe the byte-wide bus only
    bool only16Bit = false;              // /16BIT: probe the word-wide bus only
};

// One board's flash chip behind its monitor: the link to it, the settings, and what
// identification and the operations have learned of it.
struct Flash {
    Flash(Link& link, FlashSettings settings)
        : link(link), console(link.console), clock(link.clock), settings(settings) {}
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;

    Link& link;
    Console& console;
    Clock& clock;
    FlashSettings settings;
    FlashState state;
};

// The row flashIndex designates: the one being probed, and after identification the detected one
// (or the row built from the CFI query).
const FlashDevice& CurrentFlashDevice(const Flash& flash);

// Sequences on the unlock cells of the current row's layout (offsets are from deviceBase).
void unlockAMD8(Flash& flash);
void unlockAMD16(Flash& flash);
void resetAMD8(Flash& flash);
void resetAMD16(Flash& flash);
void autoselectAMD8(Flash& flash);
void autoselectAMD16(Flash& flash);

void cellProgramAMD8(Flash& flash, std::uint32_t offset, std::uint16_t value);
void cellProgramAMD16(Flash& flash, std::uint32_t offset, std::uint16_t value);
// Completion polls: until the cell shows the expected value, DQ5 (0x20) reports a time-out, or
// kPollLimitMs of polling have gone by.
void cellVerifyAMD8(Flash& flash, std::uint32_t offset, std::uint16_t expected);
void cellVerifyAMD16(Flash& flash, std::uint32_t offset, std::uint16_t expected);
void cellVerifyAMD8x2(Flash& flash, std::uint32_t offset, std::uint16_t expected);
void sectorEraseAMD8(Flash& flash, std::uint32_t sectorOffset);
void sectorEraseAMD16(Flash& flash, std::uint32_t sectorOffset);
void chipEraseAMD8(Flash& flash);
void chipEraseAMD16(Flash& flash);

// Longer than any sector erase in the datasheets of the supported parts (a few seconds at most).
inline constexpr std::uint32_t kPollLimitMs = 60000;

// A linear target address as a C16x data address through DPPn: the 16-bit short address (n in
// bits 15-14, the offset in the 16 KB page below) and the page DPPn has to hold.
struct DppAddress {
    std::uint16_t shortAddress;
    std::uint16_t page;
};
DppAddress splitDppAddress(std::uint32_t address, unsigned dpp);

// The identifier of this kind: read once per identification, through the current row's
// sequences (which must be of that kind), then taken from FlashState::probes.
std::uint32_t readIdentifier(Flash& flash, const ProbeKind& kind);
ProbeKind probeKindOf(const FlashDevice& device);

enum class QueryResult {
    none,     // nothing answered the query
    found,    // FlashState::queried holds the device
    refused,  // the device answered but cannot be driven; the reason is printed
};
// The CFI query, on a 16-bit bus and then on an 8-bit bus as the settings allow. The device is
// back in read mode after every query.
QueryResult QueryFlashDevice(Flash& flash);

}  // namespace halvard
