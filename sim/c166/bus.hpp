#pragma once

#include <cstdint>

namespace halvard::sim {

// Granularity of Bus::directBlock. 256 bytes keeps the internal RAM of segment 0 (0xF200-0xFDFF)
// on the fast path although the ESFRs and SFRs share its 4 KB block. A pointer that is valid for a
// whole 4 KB block is of course also valid for each 256-byte block inside it.
inline constexpr std::uint32_t kDirectBlockBytes = 0x100;

// What the core sees outside itself: 24-bit physical addresses, little-endian words.
class Bus {
  public:
    virtual ~Bus() = default;
    virtual std::uint8_t read8(std::uint32_t address) = 0;
    virtual void write8(std::uint32_t address, std::uint8_t value) = 0;
    virtual std::uint16_t read16(std::uint32_t address) = 0;  // even address
    virtual void write16(std::uint32_t address, std::uint16_t value) = 0;
    // Optional fast path for plain RAM (GPRs, stack and code live there): a pointer to the byte at
    // `address`, valid for the whole kDirectBlockBytes-aligned block that holds it, or nullptr when
    // that block has side effects (SFRs, flash) and must go through read/write. The core caches the
    // answer; a bus whose mapping changes must have the core's flushDirectBlocks() called.
    virtual std::uint8_t* directBlock(std::uint32_t address) {
        (void)address;
        return nullptr;
    }
};

}  // namespace halvard::sim
