// Results and flags of each instruction form, family by family.

#include <gtest/gtest.h>

#include "machine.hpp"

namespace halvard::sim::test {
namespace {

constexpr std::uint16_t kAllFlags = N | C | V | Z | E;

// ------------------------------------------------------------------ MOV class
TEST(MoveFlags, ZeroLowestNegativeAndSignFromTheMovedValueWhileVAndCStay) {
    struct Case {
        std::uint8_t data4;
        std::uint16_t imm16;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {0, 0x0000, Z}, {0, 0x8000, E | N}, {0, 0x8001, N}, {0, 0x7FFF, 0}, {0, 0x0080, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.imm16);
        for (std::uint16_t before : {std::uint16_t{0}, kAllFlags}) {
            Machine m;
            m.core.setPsw(before);
            m.exec({0xE6, 0xF3, static_cast<std::uint8_t>(c.imm16),
                    static_cast<std::uint8_t>(c.imm16 >> 8)});
            EXPECT_EQ(m.core.gpr(3), c.imm16);
            EXPECT_EQ(m.flags(), c.expected | (before & (V | C)));
        }
    }
}

TEST(MoveFlags, ByteMovesJudgeTheByte) {
    Machine m;
    m.exec({0xE7, 0xF1, 0x80, 0x55});  // MOVB RH0, #80h (byte 3 ignored)
    EXPECT_EQ(m.flags(), E | N);
    EXPECT_EQ(m.core.gpr(0), 0x8000);
    m.exec({0xE7, 0xF0, 0x00, 0xFF});  // MOVB RL0, #0
    EXPECT_EQ(m.flags(), Z);
    EXPECT_EQ(m.core.gpr(0), 0x8000);
}

TEST(MoveForms, RegisterAndImmediateForms) {
    Machine m;
    m.exec({0xE0, 0xF5});  // MOV R5, #15
    EXPECT_EQ(m.core.gpr(5), 15);
    m.core.setGpr(0, 0x1234);
    m.exec({0xE1, 0x71});  // MOVB RH0, #7
    EXPECT_EQ(m.core.gpr(0), 0x0734);
    m.exec({0xF0, 0x25});  // MOV R2, R5
    EXPECT_EQ(m.core.gpr(2), 15);
    m.exec({0xF1, 0x30});  // MOVB RH1, RL0
    EXPECT_EQ(m.core.gpr(1), 0x3400);
    m.core.setGpr(7, 0xFF80);
    m.exec({0xC0, 0xE9});  // MOVBZ R9, RL7: source high nibble, destination low nibble
    EXPECT_EQ(m.core.gpr(9), 0x0080);
    EXPECT_EQ(m.flags(), 0);  // N and E cleared although the byte is 80h
}

TEST(MoveForms, MemoryFormsGoThroughTheDataPagePointers) {
    Machine m;
    m.core.setDpp(2, 0x0009);  // 0x8000-0xBFFF -> 0x024000
    m.bus.setWord(0x024010, 0xBEEF);
    m.exec({0xF2, 0xF4, 0x10, 0x80});  // MOV R4, 8010h
    EXPECT_EQ(m.core.gpr(4), 0xBEEF);
    m.exec({0xF3, 0xF7, 0x11, 0x80});  // MOVB RH3, 8011h
    EXPECT_EQ(m.core.gpr(3), 0xBE00);
    m.exec({0xF6, 0xF4, 0x20, 0x80});  // MOV 8020h, R4
    EXPECT_EQ(m.bus.word(0x024020), 0xBEEF);
    m.exec({0xF7, 0xF7, 0x23, 0x80});  // MOVB 8023h, RH3
    EXPECT_EQ(m.bus.byte(0x024023), 0xBE);
    m.core.setGpr(0, 0xFB00);
    m.exec({0xA4, 0x00, 0x10, 0x80});  // MOVB [R0], 8010h
    EXPECT_EQ(m.bus.byte(0xFB00), 0xEF);
}

TEST(MoveForms, IndirectFormsAndPointerUpdates) {
    Machine m;
    m.bus.setWord(0xFB00, 0xA55A);
    m.core.setGpr(1, 0xFB00);
    m.exec({0xA8, 0x01});  // MOV R0, [R1]
    EXPECT_EQ(m.core.gpr(0), 0xA55A);
    m.exec({0xA9, 0x31});  // MOVB RH1, [R1]: the pointer's own high byte is the destination
    EXPECT_EQ(m.core.gpr(1), 0x5A00);
    m.core.setGpr(1, 0xFB01);
    m.exec({0x99, 0x41});  // MOVB RL2, [R1+]
    EXPECT_EQ(m.core.gpr(2) & 0xFF, 0xA5);
    EXPECT_EQ(m.core.gpr(1), 0xFB02);
    m.core.setGpr(6, 0xFB04);
    m.exec({0xB8, 0x06});  // MOV [R6], R0: low nibble is the pointer
    EXPECT_EQ(m.bus.word(0xFB04), 0xA55A);
    m.exec({0xB9, 0x46});  // MOVB [R6], RL2
    EXPECT_EQ(m.bus.word(0xFB04), 0xA5A5);
    m.core.setGpr(1, 0xFFFF);
    m.exec({0xF4, 0x51, 0x06, 0xFB});  // MOVB RH2, [R1+#0FB06h]: wraps to 0xFB05
    EXPECT_EQ(m.core.gpr(2) >> 8, 0xA5);
}

// ------------------------------------------------------------------ ADD / SUB / CMP
struct ArithmeticCase {
    const char* name;
    std::initializer_list<std::uint8_t> code;  // operates on R1 (first) and R2 / immediates
    std::uint16_t r1, r2;
    std::uint16_t result;  // new R1 (or unchanged for compares)
    std::uint16_t flags;
};

TEST(Arithmetic, WordAddSubtractCompareResultsAndFlags) {
    const ArithmeticCase cases[] = {
        {"ADD plain", {0x00, 0x12}, 0x1000, 0x0234, 0x1234, 0},
        {"ADD carry and zero", {0x00, 0x12}, 0xFFFF, 0x0001, 0x0000, C | Z},
        {"ADD signed overflow", {0x00, 0x12}, 0x7FFF, 0x0001, 0x8000, V | N},
        {"ADD lowest negative operand", {0x00, 0x12}, 0x0001, 0x8000, 0x8001, E | N},
        {"ADD #data3", {0x08, 0x17}, 0xFFFA, 0, 0x0001, C},
        {"ADD reg,#data16", {0x06, 0xF1, 0x28, 0x00}, 0xFA62, 0, 0xFA8A, N},
        {"SUB #data3 borrow", {0x28, 0x11}, 0x0000, 0, 0xFFFF, C | N},
        {"SUB #data3 to zero", {0x28, 0x11}, 0x0001, 0, 0x0000, Z},
        {"SUB signed overflow", {0x26, 0xF1, 0x01, 0x00}, 0x8000, 0, 0x7FFF, V},
        {"CMP below", {0x46, 0xF1, 0x10, 0x00}, 0x000F, 0, 0x000F, C | N},
        {"CMP equal", {0x46, 0xF1, 0x10, 0x00}, 0x0010, 0, 0x0010, Z},
        {"CMP above", {0x46, 0xF1, 0x10, 0x00}, 0x0011, 0, 0x0011, 0},
    };
    for (const ArithmeticCase& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.core.setGpr(1, c.r1);
        m.core.setGpr(2, c.r2);
        m.exec(c.code);
        ASSERT_FALSE(m.core.stopped()) << m.core.diagnostic();
        EXPECT_EQ(m.core.gpr(1), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

TEST(Arithmetic, ByteFormsLeaveTheOtherByteAlone) {
    Machine m;
    m.core.setGpr(0, 0x12F0);
    m.core.setGpr(1, 0xFB00);
    m.bus.byte(0xFB00) = 0x20;
    m.exec({0x09, 0x0D});  // ADDB RL0, [R1+]
    EXPECT_EQ(m.core.gpr(0), 0x1210);
    EXPECT_EQ(m.core.gpr(1), 0xFB01);
    EXPECT_EQ(m.flags(), C);

    m.core.setGpr(2, 0x0540);
    m.exec({0x41, 0x14});  // CMPB RH0, RL2: 12h - 40h
    EXPECT_EQ(m.flags(), C | N);
    m.bus.byte(0xFB00) = 0x12;
    m.core.setGpr(1, 0xFB00);
    m.exec({0x49, 0x19});  // CMPB RH0, [R1]
    EXPECT_EQ(m.flags(), Z);
    m.bus.setWord(0xFB02, 0x1210);
    m.core.setGpr(3, 0xFB02);
    m.exec({0x48, 0x0B});  // CMP R0, [R3]
    EXPECT_EQ(m.flags(), Z);
    EXPECT_EQ(m.core.gpr(0), 0x1210);
}

TEST(Arithmetic, AddWithCarryKeepsZeroOnlyIfItWasAlreadySet) {
    struct Case {
        std::uint16_t psw;
        std::uint16_t rh0;
        std::uint16_t resultHigh;
        std::uint16_t flags;
    };
    const Case cases[] = {
        {C | Z, 0xFF, 0x00, C | Z},  // carry in, wraps to zero, Z was set: stays
        {C, 0xFF, 0x00, C},          // same sum but Z was clear: stays clear
        {Z, 0x00, 0x00, Z},         {0, 0x00, 0x00, 0}, {C, 0x7F, 0x80, V | N},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.psw * 256 + c.rh0);
        Machine m;
        m.core.setGpr(0, static_cast<std::uint16_t>(c.rh0 << 8 | 0x33));
        m.core.setPsw(c.psw);
        m.exec({0x19, 0x10});  // ADDCB RH0, #0
        EXPECT_EQ(m.core.gpr(0), c.resultHigh << 8 | 0x33);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

TEST(Arithmetic, CompareThenDecrementUsesTheOldValueForFlags) {
    struct Case {
        std::uint16_t before;
        std::uint16_t flags;
    };
    for (const Case& c : {Case{1, Z}, Case{2, 0}, Case{0, C | N}}) {
        SCOPED_TRACE(c.before);
        Machine m;
        m.core.setGpr(2, c.before);
        m.exec({0xA0, 0x12});  // CMPD1 R2, #1
        EXPECT_EQ(m.core.gpr(2), static_cast<std::uint16_t>(c.before - 1));
        EXPECT_EQ(m.flags(), c.flags);
    }
}

// One row per operation and width, on R1/RL1 (first) and R2/RL2 through the Rn,Rm forms and the
// one-operand forms; `psw` is set before. Each row names the fault it catches.
TEST(Arithmetic, EveryFamilyAndWidthSetsResultAndFlags) {
    struct Case {
        const char* fault;
        std::initializer_list<std::uint8_t> code;
        std::uint16_t r1, r2, psw;
        std::uint16_t result;  // new R1
        std::uint16_t flags;
    };
    const Case cases[] = {
        {"ADDC ignores the carry in", {0x10, 0x12}, 0x7FFF, 0, C | Z, 0x8000, V | N},
        {"ADDC sets Z when Z was clear", {0x10, 0x12}, 0xFFFE, 1, C, 0x0000, C},
        {"SUBC ignores the borrow in", {0x30, 0x12}, 0x0000, 0, C | Z, 0xFFFF, C | N},
        {"SUBC clears a kept Z", {0x30, 0x12}, 0x0001, 0, C | Z, 0x0000, Z},
        {"SUB Rn,Rm misses the borrow", {0x20, 0x12}, 0x0001, 2, 0, 0xFFFF, C | N},
        {"CMP writes back or misjudges E/V",
         {0x40, 0x12},
         0x0005,
         0x8000,
         0,
         0x0005,
         E | V | C | N},
        {"AND keeps C and V", {0x60, 0x12}, 0xF0F0, 0x8000, C | V, 0x8000, E | N},
        {"OR misses zero", {0x70, 0x12}, 0x0000, 0x0000, N, 0x0000, Z},
        {"ADDB carries into the high byte", {0x01, 0x24}, 0x12FF, 0x3401, 0, 0x1200, C | Z},
        {"SUBCB judges overflow on words", {0x31, 0x24}, 0x5500, 0x0080, C, 0x557F, E | C},
        {"ANDB misses a zero byte", {0x61, 0x24}, 0xAA0F, 0x00F0, 0, 0xAA00, Z},
        {"ORB judges E on the word", {0x71, 0x24}, 0x0001, 0x0080, 0, 0x0081, E | N},
        {"XORB takes the high byte", {0x51, 0x24}, 0x00F0, 0xFF0F, 0, 0x00FF, N},
        {"NEG misses the overflow of 8000h", {0x81, 0x10}, 0x8000, 0, 0, 0x8000, E | V | C | N},
        {"NEG borrows from zero", {0x81, 0x10}, 0x0000, 0, C, 0x0000, Z},
        {"NEGB negates the word", {0xA1, 0x20}, 0x5501, 0, 0, 0x55FF, C | N},
        {"CPL judges E on the result", {0x91, 0x10}, 0x8000, 0, C | V, 0x7FFF, E},
        {"CPLB complements the word", {0xB1, 0x20}, 0x12F0, 0, 0, 0x120F, 0},
        {"CMPI1 judges the stepped value", {0x80, 0x71}, 0x0007, 0, 0, 0x0008, Z},
        {"CMPI2 #data16 reads the wrong bytes",
         {0x96, 0xF1, 0x00, 0x80},
         0,
         0,
         0,
         2,
         E | V | C | N},
        {"CMPD2 steps by one", {0xB0, 0x31}, 0x0001, 0, 0, 0xFFFF, C | N},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Machine m;
        m.core.setGpr(1, c.r1);
        m.core.setGpr(2, c.r2);
        m.core.setPsw(c.psw);
        m.exec(c.code);
        ASSERT_FALSE(m.core.stopped()) << m.core.diagnostic();
        EXPECT_EQ(m.core.gpr(1), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

// SUB/SUBB through the addressing forms the Rn,Rm rows above do not reach: where each operand
// comes from, where the result goes, how far the pointer moves.
TEST(Arithmetic, EveryAddressingFormFindsItsOperandsAndDestination) {
    Machine m;
    m.bus.setWord(0xFB00, 0x0010);
    m.bus.setWord(0xFB02, 0x0003);
    m.core.setGpr(2, 0xFB00);
    m.core.setGpr(1, 0x0100);
    m.exec({0x28, 0x1A});  // SUB R1, [R2]
    EXPECT_EQ(m.core.gpr(1), 0x00F0);
    m.exec({0x28, 0x1E});  // SUB R1, [R2+]
    EXPECT_EQ(m.core.gpr(1), 0x00E0);
    EXPECT_EQ(m.core.gpr(2), 0xFB02);
    m.exec({0x29, 0x2E});  // SUBB RL1, [R2+]: 0E0h - 03h, pointer by one byte
    EXPECT_EQ(m.core.gpr(1), 0x00DD);
    EXPECT_EQ(m.core.gpr(2), 0xFB03);
    m.exec({0x22, 0xF1, 0x02, 0xFB});  // SUB R1, 0FB02h
    EXPECT_EQ(m.core.gpr(1), 0x00DA);
    m.exec({0x24, 0xF1, 0x00, 0xFB});  // SUB 0FB00h, R1: memory is the destination
    EXPECT_EQ(m.bus.word(0xFB00), 0xFF36);
    EXPECT_EQ(m.core.gpr(1), 0x00DA);
    EXPECT_EQ(m.flags(), C | N);
    m.exec({0x25, 0xF2, 0x01, 0xFB});  // SUBB 0FB01h, RL1
    EXPECT_EQ(m.bus.word(0xFB00), 0x2536);
    m.exec({0x47, 0xF2, 0xDA, 0xFF});  // CMPB RL1, #0DAh (byte 3 ignored)
    EXPECT_EQ(m.flags(), Z);
    m.exec({0x67, 0x88, 0xF7, 0xFF});  // ANDB PSW, #0F7h: the explicit write wins over Z
    EXPECT_EQ(m.flags(), 0);
}

// ------------------------------------------------------------------ shifts
TEST(Shifts, ShiftLeftCarriesTheLastBitOut) {
    struct Case {
        std::uint8_t count;
        std::uint16_t value, result, flags;
    };
    const Case cases[] = {
        {2, 0x40FA, 0x03E8, C},  // bit 14 leaves last
        {2, 0x80FA, 0x03E8, 0},  // bit 15 left first, bit 14 (0) last
        {0, 0x8001, 0x8001, N},  // no shift: C cleared
        {15, 0x0003, 0x8000, C | N}, {1, 0x8000, 0x0000, C | Z},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Machine m;
        m.core.setGpr(0, c.value);
        m.core.setPsw(V | E);
        m.exec({0x5C, static_cast<std::uint8_t>(c.count << 4)});
        EXPECT_EQ(m.core.gpr(0), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

TEST(Shifts, RotateRightSetsCarryAndOverflowFromTheBitsThatLeft) {
    struct Case {
        std::uint8_t count;
        std::uint16_t value, result, flags;
    };
    const Case cases[] = {
        {8, 0x12AB, 0xAB12, C | N | V},  // last out bit 7 = 1; bits 0-6 hold ones
        {8, 0x1280, 0x8012, C | N},      // only the last bit out is 1
        {8, 0x1201, 0x0112, V},          // a 1 went through C earlier
        {0, 0x1234, 0x1234, 0},         {1, 0x0001, 0x8000, C | N},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Machine m;
        m.core.setGpr(0, c.value);
        m.exec({0x3C, static_cast<std::uint8_t>(c.count << 4)});
        EXPECT_EQ(m.core.gpr(0), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

TEST(Shifts, ShiftRightBringsZerosInAndCarriesTheLastBitOut) {
    struct Case {
        std::uint8_t count;
        std::uint16_t value, result, flags;
    };
    const Case cases[] = {
        {4, 0x1238, 0x0123, C},   // bit 3 leaves last
        {4, 0x1237, 0x0123, V},   // bits 0-2 left through C before it
        {10, 0xF000, 0x003C, 0},  // nothing but zeros left
        {0, 0x8001, 0x8001, N},   // no shift: C and V cleared
        {1, 0x0001, 0x0000, C | Z},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Machine m;
        m.core.setGpr(0, c.value);
        m.core.setPsw(E);
        m.exec({0x7C, static_cast<std::uint8_t>(c.count << 4)});
        EXPECT_EQ(m.core.gpr(0), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

// Forms and operations the data4 rows above do not reach. Each row names its fault.
TEST(Shifts, RegisterCountsRotateLeftAndArithmeticRight) {
    struct Case {
        const char* fault;
        std::initializer_list<std::uint8_t> code;  // on R1, count in R2 where a register
        std::uint16_t value, r2, result, flags;
    };
    const Case cases[] = {
        {"ROL sets V from the bits out", {0x1C, 0x41}, 0x9421, 0, 0x4219, C},
        {"ROL keeps C for a count of 0", {0x1C, 0x01}, 0x8001, 0, 0x8001, N},
        {"ASHR brings zeros in", {0xBC, 0x41}, 0x8018, 0, 0xF801, C | N},
        {"ASHR misses the rounding V", {0xBC, 0x41}, 0x8017, 0, 0xF801, V | N},
        {"SHL Rn,Rm counts more than 4 bits", {0x4C, 0x12}, 0x1234, 0xFFF4, 0x2340, C},
        {"SHR Rn,Rm swaps the nibbles", {0x6C, 0x12}, 0x0003, 0x0011, 0x0001, C},
        {"ROL Rn,Rm", {0x0C, 0x12}, 0x8000, 0x0001, 0x0001, C},
        {"ROR Rn,Rm", {0x2C, 0x12}, 0x0003, 0x0002, 0xC000, C | V | N},
        {"ASHR Rn,Rm", {0xAC, 0x12}, 0x4000, 0x000E, 0x0001, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Machine m;
        m.core.setGpr(1, c.value);
        m.core.setGpr(2, c.r2);
        m.core.setPsw(E);
        m.exec(c.code);
        EXPECT_EQ(m.core.gpr(1), c.result);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

// ------------------------------------------------------------------ logical
TEST(Logical, ExclusiveOrClearsCarryAndOverflow) {
    Machine m;
    m.core.setGpr(0, 0x8F0F);
    m.core.setGpr(12, 0x0F0F);
    m.core.setPsw(C | V);
    m.exec({0x50, 0x0C});  // XOR R0, R12
    EXPECT_EQ(m.core.gpr(0), 0x8000);
    EXPECT_EQ(m.flags(), N);
    m.core.setGpr(3, 0x8000);
    m.exec({0x50, 0x03});  // XOR R0, R3: E judges the second operand
    EXPECT_EQ(m.core.gpr(0), 0x0000);
    EXPECT_EQ(m.flags(), Z | E);
}

TEST(Logical, ExclusiveOrByteFromMemoryAdvancesThePointer) {
    Machine m;
    m.bus.byte(0xF300) = 0x3C;
    m.core.setGpr(1, 0xF300);
    m.core.setGpr(0, 0x12FF);
    m.exec({0x59, 0x0D});  // XORB RL0, [R1+]
    EXPECT_EQ(m.core.gpr(0), 0x12C3);
    EXPECT_EQ(m.core.gpr(1), 0xF301);
    EXPECT_EQ(m.flags(), N);
}

TEST(MoveForms, WordWithDisplacementThroughTheDataPagePointers) {
    Machine m;
    m.bus.setWord(0x00FD74, 0xBEEF);
    m.core.setGpr(10, 4);
    m.exec({0xD4, 0xCA, 0x70, 0xFD});  // MOV R12, [R10+#FD70h]
    EXPECT_EQ(m.core.gpr(12), 0xBEEF);
    EXPECT_EQ(m.flags(), N);
}

// ------------------------------------------------------------------ bits
TEST(Bits, SetAndClearReportTheOldBitInEveryBitAddressableArea) {
    struct Case {
        std::uint8_t bitoff;
        std::uint32_t word;  // physical address of the bit word (0: GPR R1)
    };
    const Case cases[] = {{0x05, 0xFD0A}, {0x7F, 0xFDFE}, {0xB7, 0xFF6E}, {0xF1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitoff);
        Machine m;
        auto read = [&] { return c.word ? m.bus.word(c.word) : m.core.gpr(1); };
        m.core.setPsw(C | V | E);
        m.exec({0x7F, c.bitoff});  // BSET .7
        EXPECT_EQ(read(), 0x0080);
        EXPECT_EQ(m.flags(), Z);   // bit was 0: Z = 1, N = 0, the rest cleared
        m.exec({0x7E, c.bitoff});  // BCLR .7
        EXPECT_EQ(read(), 0x0000);
        EXPECT_EQ(m.flags(), N);
    }
}

TEST(Bits, BitMoveTakesItsSourceFromByteOne) {
    Machine m;
    m.core.setGpr(1, 0x8000);
    m.core.setGpr(0, 0x0000);
    m.exec({0x4A, 0xF1, 0xF0, 0xF1});  // BMOV R0.1, R1.15
    m.exec({0x4A, 0xF1, 0xF0, 0xE0});  // BMOV R0.0, R1.14
    EXPECT_EQ(m.core.gpr(0), 0x0002);
    EXPECT_EQ(m.core.gpr(1), 0x8000);
    EXPECT_EQ(m.flags(), Z);           // last source bit (R1.14) was 0
    m.exec({0x3A, 0xF1, 0xF0, 0xE3});  // BMOVN R0.3, R1.14
    EXPECT_EQ(m.core.gpr(0), 0x000A);
}

TEST(Bits, BitMoveInvertedOntoPswInvertsOnlyThatBit) {
    for (std::uint16_t before : {std::uint16_t{0}, std::uint16_t{N | C | V}, std::uint16_t{Z}}) {
        SCOPED_TRACE(before);
        Machine m;
        m.core.setPsw(before);
        m.exec({0x3A, 0x88, 0x88, 0x00});  // BMOVN PSW.0, PSW.0
        EXPECT_EQ(m.core.psw(), before ^ N);
    }
}

}  // namespace
}  // namespace halvard::sim::test
