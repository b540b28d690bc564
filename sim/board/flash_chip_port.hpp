#pragma once

#include "sim/board/external_flash.hpp"
#include "sim/flash/flash_chip.hpp"

namespace halvard::sim {

// Puts a flash chip model on the board's external bus. The chip must outlive the port.
class FlashChipPort final : public ExternalFlash {
  public:
    explicit FlashChipPort(FlashChip& chip) : chip_(chip) {}

    std::uint32_t size() const override { return chip_.size(); }
    std::uint8_t read8(std::uint32_t offset, std::uint64_t nowNs) override {
        return chip_.read8(offset, nowNs);
    }
    void write8(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs) override {
        chip_.write8(offset, value, nowNs);
    }
    std::uint16_t read16(std::uint32_t offset, std::uint64_t nowNs) override {
        return chip_.read16(offset, nowNs);
    }
    void write16(std::uint32_t offset, std::uint16_t value, std::uint64_t nowNs) override {
        chip_.write16(offset, value, nowNs);
    }

  private:
    FlashChip& chip_;
};

}  // namespace halvard::sim
