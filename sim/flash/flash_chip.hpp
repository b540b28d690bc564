#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/flash/command_unit.hpp"

namespace halvard::sim {

// `count` equal sectors of `bytes` each, as the bus sees them (a paired device's sector spans
// both chips, so it counts twice the bytes of one chip's sector).
struct SectorGroup {
    unsigned count;
    std::uint32_t bytes;
};

// What a part answers to the CFI query; the geometry comes from the model's layout. Top-boot
// parts list their erase-block regions in bottom-boot order, as many real ones do.
struct CfiFacts {
    std::uint16_t commandSet;  // 0x0002 AMD/Fujitsu, 0x0003 Intel standard, ...
    std::uint16_t interface;   // 0 x8 only, 2 x8/x16
    std::uint8_t bootFlag;     // in the AMD extended table: 2 bottom, 3 top, 0 none
};

// One flash part the board can carry. The IDs are what autoselect answers per chip: a paired
// device is two byte-wide chips with these codes on the even and the odd lane.
struct ChipModel {
    std::string_view key;            // short lookup name, e.g. "psd813f"
    std::string_view name;           // the name the host's device table prints
    std::uint8_t manufacturer;       // manufacturer code (word-wide: low byte of the word, high 0)
    std::uint16_t device;            // device code (byte-wide and paired: 8 bits; byte mode: the
                                     // word-mode code, of which the part answers the low byte)
    unsigned busWidth;               // 8 or 16
    bool paired;                     // two byte-wide chips side by side on a 16-bit bus
    std::uint32_t unlock1, unlock2;  // byte offsets of the unlock cells as the host addresses them
    std::span<const SectorGroup> layout;
    // An x8/x16 part in byte mode on an 8-bit bus: A-1 is its lowest address line, so its codes
    // and its query table sit at even byte offsets, and its query cell is 0xAA.
    bool byteMode = false;
    // The address bits of a command cycle the part decodes, on its own address lines (word
    // addresses in word mode): others are don't-care.
    std::uint32_t decodeMask = ~std::uint32_t{0};
    const CfiFacts* cfi = nullptr;  // nothing: the part does not answer the query
    bool intelCommands = false;     // the Intel command set (identifier and query only)
};

// All parts, in catalog order (for help texts).
std::span<const ChipModel> chipCatalog();
// By key or alias (case-insensitive: "psd813f", "psd913f", "word-d", ...) or by the identifier
// the host reads ("0xE320", "e320" for byte-wide; manufacturer word + device word << 16 for
// word-wide and paired, e.g. "0xE3E32020"). nullptr when nothing matches.
const ChipModel* findChipModel(std::string_view nameOrId);
// "none" means an empty bus, which the board answers itself (every read 0xFF).
bool isEmptyBusName(std::string_view name);
// The identifier as the host assembles it from its autoselect reads.
std::uint32_t hostIdentifier(const ChipModel& model);
std::uint32_t modelSize(const ChipModel& model);

// Busy times in simulated nanoseconds. A failing program (a 0 that should become 1, a stuck
// cell) stays busy for programFailNs, the part's maximum program time, before it shows DQ5.
struct FlashTiming {
    std::uint64_t programNs;
    std::uint64_t sectorEraseNs;
    std::uint64_t chipEraseNs;
    std::uint64_t programFailNs;
};
FlashTiming fastTiming();       // 1 us per cell, 2 ms per sector, 10 ms per chip
FlashTiming datasheetTiming();  // 14 us per byte, 1 s per sector, 3 s per chip, 1.2 ms max

struct SectorSpan {
    std::uint32_t offset;
    std::uint32_t bytes;
};

class FlashChip {
  public:
    FlashChip(const ChipModel& model, FlashTiming timing);
    FlashChip(const FlashChip&) = delete;
    FlashChip& operator=(const FlashChip&) = delete;

    const ChipModel& model() const { return model_; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(cells_.size()); }
    unsigned sectorCount() const { return static_cast<unsigned>(sectors_.size()); }
    SectorSpan sector(unsigned number) const { return sectors_.at(number); }

    // Bus accesses at a byte offset from the device base (offsets beyond the chip wrap, as the
    // unconnected address lines do); nowNs is the board's simulated time and never goes back.
    // Word accesses use the even offset at or below `offset`, little-endian.
    std::uint8_t read8(std::uint32_t offset, std::uint64_t nowNs);
    void write8(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs);
    std::uint16_t read16(std::uint32_t offset, std::uint64_t nowNs);
    void write16(std::uint32_t offset, std::uint16_t value, std::uint64_t nowNs);

    // True while a program or erase runs on any chip of the device (a failed one counts as
    // finished: it waits for the reset but costs no time).
    bool busy(std::uint64_t nowNs);
    // The simulated time at which the running operation ends, if one runs.
    std::optional<std::uint64_t> busyUntil(std::uint64_t nowNs);

    // The cells in bus order, as the host reads them (for images and tests). An operation
    // lands in them at the first access or busy() call at or after its end.
    std::span<std::uint8_t> array() { return cells_; }
    std::span<const std::uint8_t> array() const { return cells_; }

    // Faults. A stuck cell keeps its value against programming (the attempt ends with DQ5) but
    // is erased normally; an erase that covers a failing sector ends with DQ5 and leaves that
    // sector as it was; a per-sector erase time replaces the timing's sector and chip erase times.
    void addStuckCell(std::uint32_t offset);
    void failErase(unsigned sector);
    void setEraseTimePerSector(std::uint64_t ns);

  private:
    std::uint32_t wrap(std::uint32_t offset) const { return offset % size(); }

    ChipModel model_;
    std::vector<std::uint8_t> cells_;
    std::vector<SectorSpan> sectors_;
    FlashTiming timing_;
    UnitFaults faults_;
    std::vector<std::uint8_t> cfiTable_;  // the CFI query table, by index (every chip answers it)
    std::vector<CommandUnit> units_;      // one per command decoder: two for a paired device
};

}  // namespace halvard::sim
