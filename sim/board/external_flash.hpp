#pragma once

#include <cstdint>

namespace halvard::sim {

// A device on the board's external bus, seen at byte offsets from its base address. The board
// hands it the simulated time so that it can be busy for a while (program, erase).
class ExternalFlash {
  public:
    virtual ~ExternalFlash() = default;
    virtual std::uint32_t size() const = 0;
    virtual std::uint8_t read8(std::uint32_t offset, std::uint64_t nowNs) = 0;
    virtual void write8(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs) = 0;
    virtual std::uint16_t read16(std::uint32_t offset, std::uint64_t nowNs) = 0;
    virtual void write16(std::uint32_t offset, std::uint16_t value, std::uint64_t nowNs) = 0;
};

}  // namespace halvard::sim
