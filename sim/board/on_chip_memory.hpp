#pragma once

#include <array>
#include <cstdint>

namespace halvard::sim {

// Addresses of the on-chip registers the board models (segment 0).
namespace reg {
inline constexpr std::uint32_t kIdChip = 0xF07C;
inline constexpr std::uint32_t kIdManuf = 0xF07E;
inline constexpr std::uint32_t kT6 = 0xFE48;
inline constexpr std::uint32_t kS0Tbuf = 0xFEB0;
inline constexpr std::uint32_t kS0Rbuf = 0xFEB2;
inline constexpr std::uint32_t kS0Bg = 0xFEB4;
inline constexpr std::uint32_t kS0Tic = 0xFF6C;
inline constexpr std::uint32_t kS0Ric = 0xFF6E;
inline constexpr std::uint32_t kS0Con = 0xFFB0;

inline constexpr std::uint16_t kRequestFlag = 0x0080;  // xxIR in an interrupt control register
inline constexpr std::uint16_t kS0Ren = 0x0010;        // S0CON: receiver enabled
inline constexpr std::uint16_t kS0ConAfterLoader = 0x8011;
}  // namespace reg

// The on-chip 4 KB at 0xF000-0xFFFF: ESFRs (0xF000-0xF1FF), internal RAM (at most 0xF200-0xFDFF;
// how much of it a CPU has is the board's business) and SFRs (0xFE00-0xFFFF), as plain
// little-endian storage. Side effects belong to the board.
class OnChipMemory {
  public:
    static constexpr std::uint32_t kBase = 0xF000;
    static constexpr std::uint32_t kEnd = 0x10000;
    static constexpr std::uint32_t kEsfrEnd = 0xF200;
    static constexpr std::uint32_t kSfrBase = 0xFE00;

    static bool holds(std::uint32_t address) { return address >= kBase && address < kEnd; }
    static bool isRegister(std::uint32_t address) {
        return holds(address) && (address < kEsfrEnd || address >= kSfrBase);
    }

    std::uint8_t byte(std::uint32_t address) const { return bytes_[address - kBase]; }
    void setByte(std::uint32_t address, std::uint8_t value) { bytes_[address - kBase] = value; }
    std::uint16_t word(std::uint32_t address) const {
        return static_cast<std::uint16_t>(byte(address) | (byte(address + 1) << 8));
    }
    void setWord(std::uint32_t address, std::uint16_t value) {
        setByte(address, static_cast<std::uint8_t>(value & 0xFF));
        setByte(address + 1, static_cast<std::uint8_t>(value >> 8));
    }
    bool bitsSet(std::uint32_t address, std::uint16_t mask) const {
        return (word(address) & mask) != 0;
    }
    void changeBits(std::uint32_t address, std::uint16_t mask, bool on) {
        const std::uint16_t old = word(address);
        setWord(address, static_cast<std::uint16_t>(on ? (old | mask) : (old & ~mask)));
    }
    std::uint8_t* data(std::uint32_t address) { return &bytes_[address - kBase]; }

    // A reset clears the register areas; the RAM keeps what it held, as on the chip.
    void clearRegisters() {
        for (std::uint32_t a = kBase; a < kEnd; ++a) {
            if (isRegister(a))
                setByte(a, 0);
        }
    }

  private:
    std::array<std::uint8_t, kEnd - kBase> bytes_{};
};

}  // namespace halvard::sim
