// Where operands live: GPRs at CP, DPP paging, short 'reg' addresses and the core registers.

#include <gtest/gtest.h>

#include "machine.hpp"

namespace halvard::sim::test {
namespace {

// Everything here must behave the same with and without the bus's direct RAM pointers.
class Addressing : public ::testing::TestWithParam<bool> {
  protected:
    Machine m{GetParam()};
};

TEST_P(Addressing, GprsAreMemoryAtTheContextPointer) {
    m.bus.setWord(Machine::kCp + 2 * 9, 0x5555);  // as the host sets R9 through a word write
    EXPECT_EQ(m.core.gpr(9), 0x5555);
    m.exec({0xE6, 0xF4, 0x34, 0x12});  // MOV R4, #1234h
    EXPECT_EQ(m.bus.word(Machine::kCp + 8), 0x1234);
    m.exec({0xE7, 0xF9, 0xAB, 0x00});  // MOVB RH4, #0ABh lands at CP + 9
    EXPECT_EQ(m.bus.byte(Machine::kCp + 9), 0xAB);
    EXPECT_EQ(m.core.gpr(4), 0xAB34);
}

TEST_P(Addressing, WritingCpThroughMemorySwitchesTheBankForTheNextInstruction) {
    m.bus.setWord(0xFB00 + 2, 0x0777);  // R1 of the new bank
    m.core.setGpr(0, 0xFB00);
    m.exec({0xF6, 0xF0, 0x10, 0xFE});  // MOV CP (0FE10h via DPP3), R0
    EXPECT_EQ(m.core.cp(), 0xFB00);
    m.exec({0xF0, 0x21});  // MOV R2, R1 in the new bank
    EXPECT_EQ(m.bus.word(0xFB04), 0x0777);
    EXPECT_EQ(m.bus.word(Machine::kCp + 4), 0x0000);
}

TEST_P(Addressing, DataPagesUseTenBitsAndIgnoreTheJunkAbove) {
    // The monitor's page window: address bits 13-8 end up in DPP1 bits 15-10.
    m.core.setDpp(1, 0xFC00 | 0x0013);  // page 13h = 0x04C000
    m.bus.setWord(0x04C124, 0x4321);
    m.core.setGpr(1, 0x4124);
    m.exec({0xA8, 0x01});  // MOV R0, [R1]
    EXPECT_EQ(m.core.gpr(0), 0x4321);

    m.core.setDpp(0, 0x0380);  // XC16x header: 0x0000-0x3FFF -> 0xE00000
    m.bus.setWord(0xE00020, 0x00E6);
    m.exec({0xF2, 0xF5, 0x20, 0x00});  // MOV R5, 0020h
    EXPECT_EQ(m.core.gpr(5), 0x00E6);
}

TEST_P(Addressing, DisplacementWrapsInSixteenBitsBeforeThePageIsChosen) {
    m.core.setDpp(0, 0x0005);
    m.bus.byte(0x014001) = 0x77;  // DPP0 page 5, offset 1
    m.bus.byte(0x00C001) = 0x11;  // what a 17-bit sum through DPP3 would wrongly reach
    m.core.setGpr(1, 0xC000);
    m.exec({0xF4, 0x51, 0x01, 0x40});  // MOVB RH2, [R1+#4001h] = 0x0001 after wrap
    EXPECT_EQ(m.core.gpr(2) >> 8, 0x77);
}

TEST_P(Addressing, ShortRegAddressesSfrsAndGprs) {
    m.exec({0xE6, 0x58, 0x56, 0x00});  // MOV S0TBUF, #0056h
    EXPECT_EQ(m.bus.word(0xFEB0), 0x0056);
    m.bus.setWord(0xFE48, 0x0123);  // T6
    m.exec({0xEC, 0x24});           // PUSH T6 (reg 24h)
    EXPECT_EQ(m.bus.word(0xFA3E), 0x0123);
    m.exec({0xE7, 0x24, 0xFF, 0xEE});  // MOVB T6, #0FFh writes only the low byte
    EXPECT_EQ(m.bus.word(0xFE48), 0x01FF);
}

TEST_P(Addressing, CoreRegistersNeverReachTheBus) {
    m.core.setCsp(0);
    m.core.setGpr(0, 0x4567);
    m.exec({0xF6, 0xF0, 0x02, 0xFE});  // MOV DPP1 (0FE02h), R0
    EXPECT_EQ(m.core.dpp(1), 0x0167);  // only the 10 page bits exist
    m.exec({0xF6, 0xF0, 0x08, 0xFE});  // MOV CSP, R0: read-only, ignored
    EXPECT_EQ(m.core.csp(), 0);
    m.exec({0xF2, 0xF3, 0x08, 0xFE});  // MOV R3, CSP
    EXPECT_EQ(m.core.gpr(3), 0x0000);
    m.exec({0xF2, 0xF3, 0x12, 0xFE});  // MOV R3, SP
    EXPECT_EQ(m.core.gpr(3), 0xFA40);
    m.exec({0xE6, 0x08, 0x80, 0x00});  // MOV CP (reg 08h), #0080h
    EXPECT_EQ(m.core.cp(), 0x0080);
    m.core.setCp(Machine::kCp);
    m.exec({0xF2, 0xF3, 0x1E, 0xFF});  // MOV R3, ONES
    EXPECT_EQ(m.core.gpr(3), 0xFFFF);
    m.exec({0xF2, 0xF3, 0x1C, 0xFF});  // MOV R3, ZEROS
    EXPECT_EQ(m.core.gpr(3), 0x0000);
    m.exec({0xF7, 0xF7, 0x13, 0xFE});  // MOVB SP high byte, RH3 (= 00h)
    EXPECT_EQ(m.core.sp(), 0x0040);
    m.exec({0xE6, 0x89, 0x00, 0x08});  // MOV SYSCON (reg 89h), #0800h
    EXPECT_EQ(m.core.syscon(), 0x0800);
    EXPECT_TRUE(m.bus.sfrAccesses().empty());
    EXPECT_EQ(m.bus.word(0xFE02), 0);
}

TEST_P(Addressing, PreDecrementMemoryToMemoryAndDisplacementMoves) {
    m.core.setGpr(1, 0xFB04);
    m.core.setGpr(2, 0x8081);
    m.exec({0x88, 0x21});  // MOV [-R1], R2: the pointer moves first
    EXPECT_EQ(m.bus.word(0xFB02), 0x8081);
    EXPECT_EQ(m.core.gpr(1), 0xFB02);
    m.exec({0x89, 0x41});  // MOVB [-R1], RL2: by one byte
    EXPECT_EQ(m.bus.byte(0xFB01), 0x81);
    EXPECT_EQ(m.core.gpr(1), 0xFB01);

    m.core.setGpr(1, 0xFB02);
    m.core.setGpr(3, 0xFB10);
    EXPECT_EQ(m.exec({0xC8, 0x31}), 4U);  // MOV [R3], [R1]: two data accesses
    EXPECT_EQ(m.bus.word(0xFB10), 0x8081);
    EXPECT_EQ(m.flags(), N);
    m.exec({0xD8, 0x31});  // MOV [R3+], [R1]: only the destination pointer moves
    EXPECT_EQ(m.core.gpr(3), 0xFB12);
    EXPECT_EQ(m.core.gpr(1), 0xFB02);
    m.exec({0xE9, 0x31});  // MOVB [R3], [R1+]: only the source pointer moves, by one
    EXPECT_EQ(m.bus.byte(0xFB12), 0x81);
    EXPECT_EQ(m.core.gpr(1), 0xFB03);
    EXPECT_EQ(m.core.gpr(3), 0xFB12);

    m.core.setDpp(1, 0x0005);  // 0x4000-0x7FFF -> 0x014000
    m.core.setGpr(4, 0x4000);
    m.exec({0xC4, 0x24, 0x10, 0x00});  // MOV [R4+#0010h], R2: the low nibble is the pointer
    EXPECT_EQ(m.bus.word(0x014010), 0x8081);
    m.exec({0xE4, 0x54, 0x13, 0x00});  // MOVB [R4+#0013h], RH2
    EXPECT_EQ(m.bus.byte(0x014013), 0x80);
    m.exec({0x94, 0x03, 0x20, 0x40});  // MOV 4020h, [R3]
    EXPECT_EQ(m.bus.word(0x014020), 0x0081);
    m.exec({0x84, 0x01, 0x10, 0x40});  // MOV [R1], 4010h: R1 is odd
    EXPECT_TRUE(m.core.stopped());
}

TEST_P(Addressing, ByteToWordMovesExtendAndFlagTheByte) {
    m.bus.setWord(0xFB00, 0x7F80);
    m.exec({0xD2, 0xF1, 0x00, 0xFB});  // MOVBS R1, 0FB00h
    EXPECT_EQ(m.core.gpr(1), 0xFF80);
    EXPECT_EQ(m.flags(), N);           // E cleared although the byte is the lowest negative
    m.exec({0xC2, 0xF2, 0x00, 0xFB});  // MOVBZ R2, 0FB00h
    EXPECT_EQ(m.core.gpr(2), 0x0080);
    EXPECT_EQ(m.flags(), 0);
    m.exec({0xD0, 0x23});  // MOVBS R3, RL1: the source in the high nibble
    EXPECT_EQ(m.core.gpr(3), 0xFF80);
    m.exec({0xD5, 0xF3, 0x04, 0xFB});  // MOVBS 0FB04h, RH1: a whole word is written
    EXPECT_EQ(m.bus.word(0xFB04), 0xFFFF);
    m.exec({0xC5, 0xF3, 0x06, 0xFB});  // MOVBZ 0FB06h, RH1
    EXPECT_EQ(m.bus.word(0xFB06), 0x00FF);
}

// EXTS/EXTP replace the DPPs for the data operands of exactly the next n instructions, here
// each a MOV R1, [R2] with R2 = 4010h (DPP1 gives 0x004010); the GPRs stay at CP in segment 0.
TEST_P(Addressing, ExtendedSegmentsAndPagesLastTheirRangeAndSpareTheGprs) {
    struct Case {
        const char* fault;
        std::initializer_list<std::uint8_t> code;
        std::uint16_t r5;
        std::uint32_t target;  // where MOV R1, [R2] reads inside the range
        unsigned range;
    };
    const Case cases[] = {
        {"EXTS #3, #1 lasts longer than one", {0xD7, 0x00, 0x03, 0x00}, 0, 0x034010, 1},
        {"EXTS #3, #4 misreads the range", {0xD7, 0x30, 0x03, 0x00}, 0, 0x034010, 4},
        {"EXTP keeps 16 offset bits", {0xD7, 0x50, 0x40, 0x00}, 0, 0x100010, 2},
        {"EXTP drops the page bits in byte 3", {0xD7, 0x40, 0x01, 0x03}, 0, 0xC04010, 1},
        {"EXTS R5 takes the wrong register", {0xDC, 0x15}, 0x0007, 0x074010, 2},
        {"EXTP R5 keeps more than 10 bits", {0xDC, 0x65}, 0xFC41, 0x104010, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Machine mm{GetParam()};
        mm.bus.setWord(0x004010, 0x5555);
        mm.bus.setWord(c.target, 0xAAAA);
        mm.core.setGpr(2, 0x4010);
        mm.core.setGpr(5, c.r5);
        mm.exec(c.code);
        for (unsigned i = 0; i <= c.range; ++i) {
            mm.core.setGpr(1, 0);
            mm.exec({0xA8, 0x12});  // MOV R1, [R2]
            EXPECT_EQ(mm.bus.word(Machine::kCp + 2), i < c.range ? 0xAAAA : 0x5555) << i;
        }
        EXPECT_FALSE(mm.core.stopped()) << mm.core.diagnostic();
    }
}

INSTANTIATE_TEST_SUITE_P(DirectAndBusPaths, Addressing, ::testing::Bool(), busPathName);

}  // namespace
}  // namespace halvard::sim::test
