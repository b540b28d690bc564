// The host's target image running on the core: bootstrap, command loop, checksum, and the
// disassembly of every instruction in it.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "machine.hpp"
#include "target/target_image.hpp"

namespace halvard::sim::test {
namespace {

constexpr std::uint32_t kImageBase = 0xFA40;
constexpr std::uint32_t kS0tbuf = 0xFEB0;
constexpr std::uint32_t kS0rbuf = 0xFEB2;
constexpr std::uint32_t kS0tic = 0xFF6C;
constexpr std::uint32_t kS0ric = 0xFF6E;
constexpr std::uint32_t kS0con = 0xFFB0;
constexpr std::uint16_t kRequest = 0x0080;     // S0RIR / S0TIR in their interrupt control words
constexpr std::uint16_t kReceiverOn = 0x0010;  // S0REN

// Just enough of ASC0 for the monitor: a byte goes out the moment S0TBUF is written; the next
// input byte is handed over when the code polls S0RIC with the receiver on and the last byte taken.
class SerialBus : public RamBus {
  public:
    using RamBus::RamBus;
    std::deque<std::uint8_t> input;
    std::vector<std::uint8_t> output;

    std::uint16_t read16(std::uint32_t address) override {
        if (address == kS0ric) {
            deliver();
        }
        return RamBus::read16(address);
    }
    void write8(std::uint32_t address, std::uint8_t value) override {
        RamBus::write8(address, value);
        if (address == kS0tbuf) {
            transmit(value);
        }
    }
    void write16(std::uint32_t address, std::uint16_t value) override {
        RamBus::write16(address, value);
        if (address == kS0tbuf) {
            transmit(static_cast<std::uint8_t>(value));
        }
    }

  private:
    void deliver() {
        if (input.empty() || (word(kS0ric) & kRequest) || !(word(kS0con) & kReceiverOn)) {
            return;
        }
        setWord(kS0rbuf, input.front());
        input.pop_front();
        setWord(kS0ric, word(kS0ric) | kRequest);
    }
    void transmit(std::uint8_t value) {
        output.push_back(value);
        setWord(kS0tic, word(kS0tic) | kRequest);
    }
};

// The C16x loader's hand-over state, with the whole image already in RAM.
class Monitor : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { start(kImageBase, 0xFA40); }

    // The monitor at `base` (CSP = base >> 16), entered at its command loop (offset 32).
    void start(std::uint32_t base, std::uint16_t sp) {
        bus.load(base, TargetImage);
        bus.setWord(kS0con, 0x8011);
        core.setCsp(static_cast<std::uint16_t>(base >> 16));
        core.setCp(0xFA00);
        core.setSp(sp);
        core.setIp(static_cast<std::uint16_t>(base + 32));
        receiveLoop = static_cast<std::uint16_t>(base + 194);
    }

    // Sends `bytes` and runs until `expected` bytes came back and the monitor waits for the next
    // command byte.
    std::vector<std::uint8_t> transact(const std::vector<std::uint8_t>& bytes,
                                       std::size_t expected) {
        bus.input.assign(bytes.begin(), bytes.end());
        bus.output.clear();
        for (int i = 0; i < 2'000'000; ++i) {
            if (bus.output.size() >= expected && bus.input.empty() && core.ip() == receiveLoop) {
                break;
            }
            if (core.step() == 0) {
                ADD_FAILURE() << core.diagnostic();
                break;
            }
        }
        EXPECT_TRUE(bus.input.empty());
        return bus.output;
    }

    SerialBus bus{GetParam()};
    Core core{bus};
    std::uint16_t receiveLoop = 0;
};

using Bytes = std::vector<std::uint8_t>;

TEST_P(Monitor, PingAnswersAa) {
    EXPECT_EQ(transact({0x00}, 1), Bytes{0xAA});
    EXPECT_EQ(transact({0x2F}, 1), Bytes{0xAA});  // codes from 10h up are served as 00h
    EXPECT_EQ(core.sp(), 0xFA3E);  // waiting inside the loop's call of the receive routine
}

TEST_P(Monitor, LocateReturnsTheImageAddressInItsSegment) {
    EXPECT_EQ(transact({0x0F}, 2), (Bytes{0x40, 0xFA}));
}

TEST_P(Monitor, ChecksumOfTheMonitorItself) {
    // Command 0Bh, address 00FA60h, count 264: the byte sum of offsets 32-295.
    EXPECT_EQ(transact({0x0B, 0x60, 0xFA, 0x00, 0x08, 0x01}, 2), (Bytes{0x96, 0x7B}));
}

TEST_P(Monitor, RunsFromAnotherCodeSegment) {
    start(0xE00000, 0xFC00);  // XC16x set-up: CSP = E0h, page windows up to 380h
    EXPECT_EQ(transact({0x0F}, 2), (Bytes{0x00, 0x00}));
    EXPECT_EQ(transact({0x0B, 0x20, 0x00, 0xE0, 0x08, 0x01}, 2), (Bytes{0x96, 0x7B}));
    EXPECT_EQ(transact({0x07, 0x08, 0xFE, 0x00}, 2), (Bytes{0xE0, 0x00}));  // CSP
}

TEST_P(Monitor, WordAccessesReachCoreRegistersThroughTheJunkyPageWindow) {
    EXPECT_EQ(transact({0x07, 0x08, 0xFE, 0x00}, 2), (Bytes{0x00, 0x00}));  // CSP
    EXPECT_EQ(transact({0x07, 0x12, 0xFE, 0x00}, 2), (Bytes{0x3E, 0xFA}));  // SP inside the call
    EXPECT_EQ(transact({0x08, 0x08, 0xFA, 0x00, 0xAA, 0xAA}, 0), Bytes{});  // R4 := AAAAh
    EXPECT_EQ(core.gpr(4), 0xAAAA);
    EXPECT_TRUE(bus.sfrAccesses().end() ==
                std::find_if(bus.sfrAccesses().begin(), bus.sfrAccesses().end(),
                             [](std::uint32_t a) { return a < 0xFE18 || a == 0xFF10; }));
}

TEST_P(Monitor, BlockWriteThenReadBackInAnotherSegment) {
    Bytes command = {0x0A, 0x00, 0xC0, 0x04, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(transact(command, 1), Bytes{0xAA});
    EXPECT_EQ(bus.word(0x04C002), 0x4433);
    EXPECT_EQ(transact({0x09, 0x01, 0xC0, 0x04, 0x03, 0x00}, 3), (Bytes{0x22, 0x33, 0x44}));
}

TEST_P(Monitor, BootstrapSendsVAndLoadsTheMonitor) {
    bus.load(kImageBase + 32, std::vector<std::uint8_t>(274, 0));  // nothing there yet
    core.setIp(kImageBase);
    core.setGpr(0, kImageBase + 32);
    Bytes upload(TargetImage.begin() + 32, TargetImage.begin() + 306);
    EXPECT_EQ(transact(upload, 1), Bytes{'V'});
    EXPECT_EQ(transact({0x00}, 1), Bytes{0xAA});
    EXPECT_EQ(bus.byte(kImageBase + 305), TargetImage[305]);
}

INSTANTIATE_TEST_SUITE_P(DirectAndBusPaths, Monitor, ::testing::Bool(), busPathName);

// Every instruction of the image decodes, and the lengths chain through each code range.
TEST(Disassembler, DecodesTheWholeImageWithTheListingsForms) {
    struct Range {
        unsigned begin, end;
    };
    std::vector<std::string> listing(TargetImage.size());
    for (const Range r : {Range{0, 74}, Range{96, 434}}) {
        unsigned offset = r.begin;
        while (offset < r.end) {
            std::array<std::uint8_t, 4> bytes{};
            for (unsigned i = 0; i < 4 && offset + i < TargetImage.size(); ++i) {
                bytes[i] = TargetImage[offset + i];
            }
            const Disassembly d = disassemble(bytes, kImageBase + offset);
            ASSERT_NE(d.text, "???") << "offset " << offset;
            listing[offset] = d.text;
            offset += d.length;
        }
        EXPECT_EQ(offset, r.end);
    }
    struct Line {
        unsigned offset;
        const char* text;
    };
    const Line lines[] = {
        {4, "MOV S0TBUF, #0056h"},
        {16, "JNB S0RIC.7, 0FA50h"},
        {20, "MOVB [R0], 0FEB2h"},
        {32, "CALLR 0FA62h"},
        {42, "MOV R0, 0FE08h"},
        {50, "MOVBZ R0, RL0"},
        {56, "JMPR cc_C, 0FA7Ch"},
        {64, "MOVB RH0, #0"},
        {70, "CALLI cc_UC, [R0]"},
        {120, "POP DPP3"},
        {128, "RETI"},
        {160, "MOVB RL0, [R1+]"},
        {164, "CMPD1 R2, #1"},
        {186, "ROR R0, #8"},
        {194, "BMOVN PSW.0, PSW.0"},
        {214, "ADDB RL0, [R1+]"},
        {216, "ADDCB RH0, #0"},
        {228, "BCLR S0CON.4"},
        {254, "SHL R0, #2"},
        {256, "BMOV R0.1, R1.15"},
        {264, "MOV 0FE02h, R0"},
        {282, "MOVB RL0, #0AAh"},
        {292, "PUSH R0"},
        {294, "JMPI cc_UC, [R1]"},
        {296, "EINIT"},
        {334, "CMPB RL0, [R1]"},
        {338, "MOVB [R8], RL5"},
        {350, "CMP R0, [R1]"},
        {364, "CMPB RL2, RL0"},
        {378, "MOVB RH2, [R1+#0001h]"},
        {390, "JNB R2.13, 0FBBAh"},
    };
    for (const Line& line : lines) {
        EXPECT_EQ(listing[line.offset], line.text) << "offset " << line.offset;
    }
}

}  // namespace
}  // namespace halvard::sim::test
