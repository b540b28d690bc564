#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "support/fakes.hpp"

namespace halvard::testing {

enum class AccessKind {
    byteRead,
    byteWrite,
    wordRead,
    wordWrite,
    blockRead,
    checksum,
    flashWrite,
    blockWrite,
    crc,
    crcRead,  // the routine's send mode: the bytes, then their CRC
};

// One monitor command as the target served it. value: the byte or word read or written; for
// block reads, checksums and flash writes the byte count.
struct Access {
    AccessKind kind;
    std::uint32_t address;
    std::uint32_t value;
    bool operator==(const Access&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Access& access);

// A monitor on a ScriptedLine: decodes the host's frames (05-0B, 0E and pings) against an
// in-memory target and records every command. Memory that was never written reads 0xFF, like
// erased flash. The monitor's bytes lie at address 0 (the run's imageBase). Command 0x0E runs the
// flash algorithm, or the CRC-32 routine once its bytes have been loaded and its mode set (in
// the send mode the routine's answers suffer the faults of block reads). Writes
// into the flash window [flashBase, flashBase + flashSize) are commands to the chip and change
// nothing; a byte or word write of 0x90 puts the chip into autoselect mode, where the window starts
// with the identifier bytes, and 0xF0 takes it back to read mode.
class FakeTarget {
  public:
    explicit FakeTarget(ScriptedLine& line);

    void setByte(std::uint32_t address, std::uint8_t value) { memory_[address] = value; }
    void setWord(std::uint32_t address, std::uint16_t value);
    void load(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::uint8_t byteAt(std::uint32_t address) const;
    std::vector<std::uint8_t> bytesAt(std::uint32_t address, std::size_t count) const;

    // The next single-cell reads of this address answer these values, in order.
    void scriptReads(std::uint32_t address, std::vector<std::uint16_t> values);

    std::vector<Access> accessesOf(AccessKind kind) const;
    std::vector<Access> accesses;

    std::uint32_t flashBase = 0x20000;
    std::uint32_t flashSize = 0x100000;
    std::vector<std::uint8_t> autoselectId;
    bool autoselect = false;
    // When set, only a 0x90 written to this address starts the autoselect mode (a device that
    // answers one way of probing only).
    std::optional<std::uint32_t> autoselectAt;
    // A write of 0x98 shows these bytes in the window (the CFI query) until a write of 0xF0.
    std::vector<std::uint8_t> queryWindow;
    bool query = false;

    // Faults: block reads that get no answer; block reads at these addresses whose first byte
    // arrives changed (once per entry), both also for the routine's send mode; an amount added to
    // every checksum reply; and how long the flash algorithm takes per block.
    int silentBlockReads = 0;
    std::multiset<std::uint32_t> corruptBlockReadsAt;
    std::uint16_t checksumBias = 0;
    std::uint32_t flashWriteMs = 0;
    // Added to every CRC-32 the routine answers: a routine that computes wrongly.
    std::uint32_t crcBias = 0;
    // The first CRC-32 answers that are off by one, as from a routine garbled on its way.
    int wrongCrcAnswers = 0;
    // CRC-32 questions about the flash (not page reads) that get no answer, as on a line that
    // garbles them; the routine's self-test on the monitor is answered.
    int silentCrcAnswers = 0;
    // Cells the flash algorithm cannot program: a block over one is answered 5A and its offset.
    std::set<std::uint32_t> failingCells;

  private:
    void receive(ScriptedLine& line, std::span<const std::uint8_t> bytes);
    std::size_t frameLength() const;
    void serve(ScriptedLine& line, std::span<const std::uint8_t> frame);
    std::uint16_t readCell(std::uint32_t address, bool word);
    void writeCell(std::uint32_t address, std::uint16_t value, bool word);
    bool inFlash(std::uint32_t address) const;
    bool crcRoutineReady() const;
    std::uint16_t crcMode() const;
    // The bytes of a block read, after its faults; nothing when it gets no answer.
    std::optional<std::vector<std::uint8_t>> blockReadAnswer(std::uint32_t address,
                                                             std::uint16_t count);

    std::map<std::uint32_t, std::uint8_t> memory_;
    std::map<std::uint32_t, std::deque<std::uint16_t>> scripted_;
    std::vector<std::uint8_t> pending_;
    bool crcRoutineLoaded_ = false;
};

// A board session whose port is open on a FakeTarget, its flash chip and a job on it.
struct TargetBench {
    std::string output() { return scripted.output.text(); }

    ScriptedRun scripted;
    FakeTarget target{*scripted.line};
    Flash& flash = scripted.session.flash;
    Job& job = scripted.job;
};

}  // namespace halvard::testing
