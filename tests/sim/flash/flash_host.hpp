#pragma once

#include <cstdint>

#include "sim/flash/flash_chip.hpp"

namespace halvard::sim::testing {

// Drives a chip the way the host's command sets and the flash algorithm do: each access takes a
// little simulated time, command words repeat the command byte on 16-bit buses.
class FlashHost {
  public:
    static constexpr std::uint64_t kAccessNs = 250;

    explicit FlashHost(const ChipModel& model, FlashTiming timing = fastTiming())
        : chip(model, timing) {}

    std::uint8_t read8(std::uint32_t offset) { return chip.read8(offset, tick()); }
    std::uint16_t read16(std::uint32_t offset) { return chip.read16(offset, tick()); }
    void write8(std::uint32_t offset, std::uint8_t value) { chip.write8(offset, value, tick()); }
    void write16(std::uint32_t offset, std::uint16_t value) { chip.write16(offset, value, tick()); }
    void wait(std::uint64_t ns) { now += ns; }

    // A command byte on the chip's own bus width.
    void put(std::uint32_t offset, std::uint8_t code) {
        if (chip.model().busWidth == 8) {
            write8(offset, code);
        } else {
            write16(offset, static_cast<std::uint16_t>(code * 0x0101));
        }
    }
    void unlock() {
        put(chip.model().unlock1, 0xAA);
        put(chip.model().unlock2, 0x55);
    }
    void command(std::uint8_t code) {
        unlock();
        put(chip.model().unlock1, code);
    }
    void reset() { command(0xF0); }
    void autoselect() { command(0x90); }
    void program8(std::uint32_t offset, std::uint8_t value) {
        command(0xA0);
        write8(offset, value);
    }
    void program16(std::uint32_t offset, std::uint16_t value) {
        command(0xA0);
        write16(offset, value);
    }
    void sectorErase(std::uint32_t offset) {
        command(0x80);
        unlock();
        put(offset, 0x30);
    }
    void chipErase() {
        command(0x80);
        command(0x10);
    }

    struct Poll {
        bool matched;
        std::uint8_t last;
        unsigned reads;
    };
    // The flash algorithm's poll: a match wins; DQ5 on a mismatching read earns one more read.
    Poll poll8(std::uint32_t offset, std::uint8_t expected, unsigned limit = 1'000'000) {
        for (unsigned reads = 1; reads <= limit; ++reads) {
            const std::uint8_t value = read8(offset);
            if (value == expected) {
                return {true, value, reads};
            }
            if ((value & 0x20) != 0) {
                const std::uint8_t again = read8(offset);
                return {again == expected, again, reads + 1};
            }
        }
        return {false, 0, limit};
    }

    FlashChip chip;
    std::uint64_t now = 0;

  private:
    std::uint64_t tick() { return now += kAccessNs; }
};

}  // namespace halvard::sim::testing
