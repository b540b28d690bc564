#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace halvard::sim {

struct FlashTiming;
struct SectorSpan;

// Faults shared by every command decoder of one device, in bus offsets and sector numbers.
struct UnitFaults {
    std::vector<std::uint32_t> stuckCells;
    std::vector<unsigned> failingSectors;
    std::optional<std::uint64_t> eraseNsPerSector;
};

// Where one command decoder finds its cells on the device's bus: cell i occupies the bytes from
// i * stride + lane on, one byte or a little-endian word.
struct UnitWiring {
    std::uint32_t stride;  // 1 byte-wide chip, 2 word-wide chip or one lane of a pair
    std::uint32_t lane;    // 0, or 1 for the odd lane of a pair
    bool wordCells;
    std::uint32_t unlock1, unlock2;  // cell indices
    std::uint16_t manufacturer, device;
    // Command cycles compare only these address bits (a part decodes A10-A0, say).
    std::uint32_t decodeMask = ~std::uint32_t{0};
    // Identifier and query reads use the cell index shifted right by this much: 1 for an x8/x16
    // part in byte mode, whose lowest address line A-1 they ignore.
    unsigned idShift = 0;
    std::uint32_t queryCell = 0x55;     // where 0x98 enters the CFI query
    std::span<const std::uint8_t> cfi;  // the query table by index; empty: no CFI
    bool intelCommands = false;         // 0x90, 0x98 and 0xFF anywhere; no unlock cycles
};

// The AMD command decoder and embedded program/erase algorithm of one chip (or of one lane of a
// paired device). Values are cell-wide: a byte unit uses the low 8 bits.
class CommandUnit {
  public:
    CommandUnit(UnitWiring wiring, std::span<std::uint8_t> bus, std::span<const SectorSpan> sectors,
                const FlashTiming& timing, const UnitFaults& faults);

    std::uint16_t read(std::uint32_t cell, std::uint64_t nowNs);
    void write(std::uint32_t cell, std::uint16_t value, std::uint64_t nowNs);
    // When the running program or erase ends (nothing when idle, in a mode or failed).
    std::optional<std::uint64_t> busyUntil(std::uint64_t nowNs);

  private:
    enum class Mode {
        Read,
        Unlocked1,  // 0xAA seen at unlock cell 1
        Unlocked2,  // then 0x55 at unlock cell 2: the next write is the command
        ProgramSetup,
        EraseSetup,
        EraseUnlocked1,
        EraseUnlocked2,
        Busy,
        Failed,
    };
    enum class Operation { Program, Erase };

    void writeIntel(std::uint8_t code);
    bool isCell(std::uint32_t cell, std::uint32_t wanted) const {
        return ((cell ^ wanted) & wiring_.decodeMask) == 0;
    }
    void bareReset();
    void settle(std::uint64_t nowNs);
    void finishOperation();
    void command(std::uint32_t cell, std::uint8_t code);
    void eraseCommand(std::uint32_t cell, std::uint8_t code, std::uint64_t nowNs);
    void startProgram(std::uint32_t cell, std::uint16_t value, std::uint64_t nowNs);
    void startErase(unsigned firstSector, unsigned lastSector, std::uint64_t duration,
                    std::uint64_t nowNs);

    std::uint16_t status();
    std::uint16_t identifier(std::uint32_t cell) const;
    std::uint16_t queryByte(std::uint32_t cell) const;
    std::uint16_t cellValue(std::uint32_t cell) const;
    void storeCell(std::uint32_t cell, std::uint16_t value);
    bool cellIsStuck(std::uint32_t cell) const;
    unsigned sectorOf(std::uint32_t cell) const;
    void eraseSector(unsigned sector);
    std::uint16_t cellMask() const { return wiring_.wordCells ? 0xFFFF : 0xFF; }

    UnitWiring wiring_;
    std::span<std::uint8_t> bus_;
    std::span<const SectorSpan> sectors_;
    const FlashTiming& timing_;
    const UnitFaults& faults_;

    Mode mode_ = Mode::Read;
    bool autoselect_ = false;  // reads answer the IDs until a reset
    bool query_ = false;       // reads answer the CFI table; a reset returns to the mode before
    bool toggle_ = false;      // DQ6
    Operation operation_ = Operation::Program;
    std::uint64_t endNs_ = 0;
    bool willFail_ = false;
    std::uint32_t programCell_ = 0;
    std::uint16_t programValue_ = 0;
    unsigned firstSector_ = 0, lastSector_ = 0;
};

}  // namespace halvard::sim
