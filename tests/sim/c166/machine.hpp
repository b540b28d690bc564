#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/c166/bus.hpp"
#include "sim/c166/core.hpp"

namespace halvard::sim::test {

// Plain RAM over the whole 16 MB space, allocated per segment on first touch. The SFR area
// 0xFE00-0xFFFF never takes the direct path and every bus access there is logged, so tests can
// see what reached the bus and what the core kept for itself.
class RamBus : public Bus {
  public:
    explicit RamBus(bool direct = true) : direct_(direct) {}

    std::uint8_t read8(std::uint32_t address) override {
        log(address);
        return byte(address);
    }
    void write8(std::uint32_t address, std::uint8_t value) override {
        log(address);
        byte(address) = value;
    }
    std::uint16_t read16(std::uint32_t address) override {
        log(address);
        return word(address);
    }
    void write16(std::uint32_t address, std::uint16_t value) override {
        log(address);
        setWord(address, value);
    }
    std::uint8_t* directBlock(std::uint32_t address) override {
        return direct_ && !isSfr(address) ? &byte(address) : nullptr;
    }

    std::uint8_t& byte(std::uint32_t address) {
        auto& segment = segments_[(address >> 16) & 0xFF];
        if (!segment) {
            segment = std::make_unique<Segment>();
        }
        return (*segment)[address & 0xFFFF];
    }
    std::uint16_t word(std::uint32_t address) {
        return static_cast<std::uint16_t>(byte(address) | byte(address + 1) << 8);
    }
    void setWord(std::uint32_t address, std::uint16_t value) {
        byte(address) = static_cast<std::uint8_t>(value);
        byte(address + 1) = static_cast<std::uint8_t>(value >> 8);
    }
    void load(std::uint32_t address, std::span<const std::uint8_t> bytes) {
        for (std::uint8_t value : bytes) {
            byte(address++) = value;
        }
    }
    const std::vector<std::uint32_t>& sfrAccesses() const { return sfrAccesses_; }

  protected:
    static bool isSfr(std::uint32_t address) { return (address & 0xFFFE00) == 0xFE00; }

  private:
    using Segment = std::array<std::uint8_t, 0x10000>;
    void log(std::uint32_t address) {
        if (isSfr(address)) {
            sfrAccesses_.push_back(address);
        }
    }
    bool direct_;
    std::array<std::unique_ptr<Segment>, 256> segments_;
    std::vector<std::uint32_t> sfrAccesses_;
};

// A core on a RamBus with the monitor's register layout: GPRs at 0xFA00, stack below 0xFA40,
// DPP0-3 = 0-3, code at 0x00F600.
struct Machine {
    static constexpr std::uint32_t kCode = 0xF600;
    static constexpr std::uint16_t kCp = 0xFA00;

    explicit Machine(bool direct = true) : bus(direct), core(bus) {
        core.setCp(kCp);
        core.setSp(0xFA40);
        core.setIp(kCode);
    }
    // Places `code` at the current IP and executes one instruction.
    unsigned exec(std::initializer_list<std::uint8_t> code) {
        bus.load((std::uint32_t{core.csp()} << 16) | core.ip(), std::vector<std::uint8_t>(code));
        return core.step();
    }
    std::uint16_t flags() const { return core.psw() & 0x1F; }

    RamBus bus;
    Core core;
};

// A case's name: with (true) or without (false) the bus's direct RAM pointers.
inline std::string busPathName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "direct_ram_pointers" : "every_access_through_the_bus";
}

// PSW flag bits.
inline constexpr std::uint16_t N = 1, C = 2, V = 4, Z = 8, E = 16;

}  // namespace halvard::sim::test
