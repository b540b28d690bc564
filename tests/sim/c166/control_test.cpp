// Stack, jumps and calls, condition codes, and how the core stops on what it does not know.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "machine.hpp"
#include "sim/c166/opcode_table.hpp"

namespace halvard::sim::test {
namespace {

TEST(Stack, PushAndPopMoveSpByAWordInSegmentZero) {
    Machine m;
    m.core.setDpp(3, 0x0100);  // the stack ignores the DPPs
    m.core.setGpr(0, 0x8000);
    m.exec({0xEC, 0xF0});  // PUSH R0
    EXPECT_EQ(m.core.sp(), 0xFA3E);
    EXPECT_EQ(m.bus.word(0xFA3E), 0x8000);
    EXPECT_EQ(m.flags(), E | N);
    m.exec({0xFC, 0x03});              // POP DPP3
    EXPECT_EQ(m.core.dpp(3), 0x0000);  // a DPP has no bits above the 10 of the page
    EXPECT_EQ(m.core.sp(), 0xFA40);
}

TEST(Stack, PopIntoPswKeepsThePoppedValueRatherThanTheMoveFlags) {
    Machine m;
    m.bus.setWord(0xFA3E, 0x0000);
    m.core.setSp(0xFA3E);
    m.exec({0xFC, 0x88});  // POP PSW
    EXPECT_EQ(m.core.psw(), 0x0000);
}

TEST(Calls, CallRelativePushesTheNextIpAndReturnComesBack) {
    Machine m;
    const std::uint16_t start = m.core.ip();
    EXPECT_EQ(m.exec({0xBB, 0x00}), 6U);  // CALLR +0: the monitor's "where am I"
    EXPECT_EQ(m.core.ip(), start + 2);
    EXPECT_EQ(m.bus.word(0xFA3E), start + 2);
    m.exec({0xFC, 0xF1});  // POP R1
    EXPECT_EQ(m.core.gpr(1), start + 2);

    m.core.setIp(start);
    m.exec({0xBB, 0xFC});  // CALLR -4 words
    EXPECT_EQ(m.core.ip(), start + 2 - 8);
    m.exec({0xCB, 0x00});  // RET
    EXPECT_EQ(m.core.ip(), start + 2);
    EXPECT_EQ(m.core.sp(), 0xFA40);
}

TEST(Calls, IndirectCallAndJumpHonourTheCondition) {
    Machine m;
    const std::uint16_t start = m.core.ip();
    m.core.setGpr(4, 0xF700);
    m.core.setPsw(0);
    m.exec({0xAB, 0x24});  // CALLI cc_Z, [R4]: not taken
    EXPECT_EQ(m.core.ip(), start + 2);
    EXPECT_EQ(m.core.sp(), 0xFA40);
    m.exec({0xAB, 0x04});  // CALLI cc_UC, [R4]
    EXPECT_EQ(m.core.ip(), 0xF700);
    EXPECT_EQ(m.bus.word(0xFA3E), start + 4);
    m.exec({0x9C, 0x34});  // JMPI cc_NZ, [R4] to itself
    EXPECT_EQ(m.core.ip(), 0xF700);
    EXPECT_EQ(m.core.sp(), 0xFA3E);
}

TEST(Calls, ReturnFromInterruptPopsCspOnlyWhenSegmented) {
    for (const bool segmented : {true, false}) {
        SCOPED_TRACE(segmented);
        Machine m;
        m.core.setSyscon(segmented ? 0x0000 : 0x0800);
        m.core.setSp(0xFA3A);
        m.bus.setWord(0xFA3A, 0x1234);  // IP
        m.bus.setWord(0xFA3C, 0x0002);  // CSP, or PSW when not segmented
        m.bus.setWord(0xFA3E, 0x0009);  // PSW
        m.exec({0xFB, 0x88});
        EXPECT_EQ(m.core.ip(), 0x1234);
        EXPECT_EQ(m.core.csp(), segmented ? 2 : 0);
        EXPECT_EQ(m.core.psw(), segmented ? 0x0009 : 0x0002);
        EXPECT_EQ(m.core.sp(), segmented ? 0xFA40 : 0xFA3E);
    }
}

// Absolute and segmented jumps and calls, RETS, with their costs: 4 cycles for the bytes, 2 more
// for the stack and 2 for a taken branch.
TEST(Calls, LongJumpsAndCallsReachOtherSegmentsAndReturnsComeBack) {
    Machine m;
    m.core.setPsw(0);
    EXPECT_EQ(m.exec({0xEA, 0x20, 0x00, 0xF7}), 4U);  // JMPA cc_Z, 0F700h: not taken
    EXPECT_EQ(m.core.ip(), Machine::kCode + 4);
    EXPECT_EQ(m.exec({0xEA, 0x00, 0x00, 0xF7}), 6U);  // JMPA cc_UC, 0F700h
    EXPECT_EQ(m.core.ip(), 0xF700);
    EXPECT_EQ(m.exec({0xCA, 0x00, 0x00, 0xF8}), 8U);  // CALLA cc_UC, 0F800h
    EXPECT_EQ(m.core.ip(), 0xF800);
    EXPECT_EQ(m.bus.word(0xFA3E), 0xF704);
    EXPECT_EQ(m.exec({0xCA, 0x20, 0x00, 0xF0}), 6U);  // CALLA cc_Z: not taken, nothing pushed
    EXPECT_EQ(m.core.sp(), 0xFA3E);

    EXPECT_EQ(m.exec({0xDA, 0x02, 0x00, 0x12}), 8U);  // CALLS 2, 1200h: CSP pushed, then IP
    EXPECT_EQ(m.core.csp(), 2);
    EXPECT_EQ(m.core.ip(), 0x1200);
    EXPECT_EQ(m.bus.word(0xFA3C), 0x0000);
    EXPECT_EQ(m.bus.word(0xFA3A), 0xF808);
    EXPECT_EQ(m.exec({0xFA, 0x05, 0x00, 0x34}), 6U);  // JMPS 5, 3400h (fetched from 2:1200)
    EXPECT_EQ(m.core.csp(), 5);
    EXPECT_EQ(m.core.ip(), 0x3400);
    EXPECT_EQ(m.exec({0xDB, 0x00}), 4U);  // RETS
    EXPECT_EQ(m.core.csp(), 0);
    EXPECT_EQ(m.core.ip(), 0xF808);
    EXPECT_EQ(m.core.sp(), 0xFA3E);
}

// JBC jumps on a set bit and clears it, JNBS on a clear bit and sets it; both set the flags of a
// bit instruction from the bit as tested.
TEST(Jumps, BitJumpsThatFlipTheBitOnlyWhenTheyJump) {
    struct Case {
        const char* fault;
        std::uint8_t opcode;
        std::uint16_t before, after;  // R2
        bool jumps;
        std::uint16_t flags;
    };
    const Case cases[] = {
        {"JBC misses a set bit", 0xAA, 0x0020, 0x0000, true, N},
        {"JBC clears without jumping", 0xAA, 0x0001, 0x0001, false, Z},
        {"JNBS misses a clear bit", 0xBA, 0x0001, 0x0021, true, Z},
        {"JNBS sets without jumping", 0xBA, 0x0021, 0x0021, false, N},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Machine m;
        m.core.setGpr(2, c.before);
        m.core.setPsw(C | V | E);
        EXPECT_EQ(m.exec({c.opcode, 0xF2, 0x03, 0x50}), c.jumps ? 6U : 4U);  // R2.5, +3 words
        EXPECT_EQ(m.core.ip(), Machine::kCode + 4 + (c.jumps ? 6 : 0));
        EXPECT_EQ(m.core.gpr(2), c.after);
        EXPECT_EQ(m.flags(), c.flags);
    }
}

TEST(Jumps, ConditionCodesFollowTheFlagTable) {
    struct Case {
        std::uint8_t cc;
        std::uint16_t takenWith, notTakenWith;
    };
    const Case cases[] = {
        {0x0, 0, 0},  // cc_UC: always (second column unused)
        {0x1, C, Z},     {0x1, 0, E},     {0x2, Z, 0},     {0x3, 0, Z},
        {0x4, V, 0},     {0x5, 0, V},     {0x6, N, 0},     {0x7, 0, N},
        {0x8, C, 0},     {0x9, 0, C},     {0xA, N | V, Z}, {0xB, N, N | V},
        {0xC, V, N | V}, {0xD, N | V, N}, {0xE, 0, C},     {0xF, Z, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.cc});
        const auto opcode = static_cast<std::uint8_t>(c.cc << 4 | 0x0D);
        Machine taken;
        taken.core.setPsw(c.takenWith);
        EXPECT_EQ(taken.exec({opcode, 0x03}), 4U);
        EXPECT_EQ(taken.core.ip(), Machine::kCode + 2 + 6);
        if (c.cc == 0) {
            continue;
        }
        Machine notTaken;
        notTaken.core.setPsw(c.notTakenWith);
        EXPECT_EQ(notTaken.exec({opcode, 0x03}), 2U);
        EXPECT_EQ(notTaken.core.ip(), Machine::kCode + 2);
    }
}

TEST(Jumps, RelativeDisplacementsAreSignedWordsFromTheNextInstruction) {
    Machine m;
    m.exec({0x0D, 0x80});  // JMPR cc_UC, -128 words
    EXPECT_EQ(m.core.ip(), Machine::kCode + 2 - 256);
    m.core.setIp(0xFFFE);  // wraps inside the segment
    m.exec({0x0D, 0x01});
    EXPECT_EQ(m.core.ip(), 0x0002);
}

TEST(Jumps, BitJumpsTestTheBitNamedInTheLastByte) {
    Machine m;
    m.bus.setWord(0xFF6E, 0x0080);     // S0RIC.7 set
    m.exec({0x9A, 0xB7, 0xFE, 0x70});  // JNB S0RIC.7, to itself: falls through
    EXPECT_EQ(m.core.ip(), Machine::kCode + 4);
    m.exec({0x8A, 0xB7, 0x02, 0x70});  // JB S0RIC.7, +2 words
    EXPECT_EQ(m.core.ip(), Machine::kCode + 12);
    m.core.setGpr(2, 0x0020);
    m.exec({0x9A, 0xF2, 0xFB, 0x50});  // JNB R2.5: set, falls through
    EXPECT_EQ(m.core.ip(), Machine::kCode + 16);
    m.exec({0x9A, 0xF2, 0xFB, 0x60});  // JNB R2.6: clear, back 5 words
    EXPECT_EQ(m.core.ip(), Machine::kCode + 20 - 10);
}

TEST(Stops, UnknownOpcodeStopsWithAddressAndBytes) {
    Machine m;
    EXPECT_EQ(m.exec({0x8B, 0x34}), 0U);
    EXPECT_TRUE(m.core.stopped());
    EXPECT_EQ(m.core.diagnostic(), "unknown instruction at 00F600: 8B 34");
    EXPECT_EQ(m.core.ip(), Machine::kCode);
    EXPECT_EQ(m.core.step(), 0U);  // stays stopped
    EXPECT_EQ(m.core.instructions(), 0U);
}

TEST(Stops, KnownOpcodeWithAnUnimplementedAddressingFormStops) {
    struct Case {
        std::initializer_list<std::uint8_t> code;
        const char* diagnostic;
    };
    const Case cases[] = {
        {{0x81, 0x01}, "unknown instruction at 00F600: 81 01"},                    // NEG needs n0
        {{0x86, 0x41, 0x00, 0x00}, "unknown instruction at 00F600: 86 41 00 00"},  // CMPI1 Fn
        {{0xD7, 0x80, 0x01, 0x00}, "unknown instruction at 00F600: D7 80 01 00"},  // EXTSR
        {{0xA4, 0x10, 0x00, 0x80}, "unknown instruction at 00F600: A4 10 00 80"},
        {{0xCB, 0x01}, "unknown instruction at 00F600: CB 01"},
        {{0xB5, 0x4A, 0xB5, 0xB4}, "unknown instruction at 00F600: B5 4A B5 B4"},
    };
    for (const Case& c : cases) {
        Machine m;
        m.core.setGpr(1, 0xFB00);
        m.exec(c.code);
        EXPECT_TRUE(m.core.stopped());
        EXPECT_EQ(m.core.diagnostic(), c.diagnostic);
        EXPECT_EQ(m.core.gpr(1), 0xFB00);
    }
}

TEST(Stops, OddWordAccessStopsBeforeAnythingIsWritten) {
    Machine m;
    m.core.setGpr(1, 0xFB01);
    m.core.setGpr(0, 0x7777);
    m.exec({0xB8, 0x01});  // MOV [R1], R0
    EXPECT_TRUE(m.core.stopped());
    EXPECT_EQ(m.core.diagnostic(), "odd word access to 00FB01 at 00F600: B8 01");
    EXPECT_EQ(m.bus.word(0xFB00), 0);
    EXPECT_EQ(m.bus.word(0xFB02), 0);

    Machine decrement;
    decrement.core.setGpr(1, 0xFB03);
    decrement.exec({0x88, 0x01});  // MOV [-R1], R0 to 0xFB01: the pointer stays
    EXPECT_TRUE(decrement.core.stopped());
    EXPECT_EQ(decrement.core.gpr(1), 0xFB03);

    Machine odd;
    odd.core.setGpr(3, 0xF701);
    odd.exec({0x9C, 0x03});  // JMPI cc_UC, [R3]
    EXPECT_FALSE(odd.core.stopped());
    EXPECT_EQ(odd.core.step(), 0U);
    EXPECT_EQ(odd.core.diagnostic(), "odd instruction address at 00F701");
}

TEST(Trace, PrintsOneDisassembledLinePerInstruction) {
    Machine m;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    m.core.setTrace(out);
    m.exec({0xE6, 0xF1, 0x12, 0x01});
    m.exec({0x3D, 0xF8});
    m.core.setTrace(nullptr);
    std::fclose(out);
    const std::string text(buffer, size);
    std::free(buffer);
    EXPECT_EQ(text,
              "00F600  E6 F1 12 01  MOV R1, #0112h\n"
              "00F604  3D F8        JMPR cc_NZ, 0F5F6h\n");
}

// The assembler reads back what the disassembler prints, so each form has one regular syntax.
TEST(Disassembler, AddedFormsPrintTheStandardSyntax) {
    struct Case {
        std::initializer_list<std::uint8_t> code;
        const char* text;
    };
    const Case cases[] = {
        {{0x08, 0x1A}, "ADD R1, [R2]"},
        {{0x39, 0x2F}, "SUBCB RL1, [R3+]"},
        {{0x75, 0xF4, 0x00, 0xFB}, "ORB 0FB00h, RL2"},
        {{0x88, 0x10}, "MOV [-R0], R1"},
        {{0xC8, 0x23}, "MOV [R2], [R3]"},
        {{0xD9, 0x23}, "MOVB [R2+], [R3]"},
        {{0xE8, 0x23}, "MOV [R2], [R3+]"},
        {{0xC4, 0x21, 0x10, 0x00}, "MOV [R1+#0010h], R2"},
        {{0x94, 0x03, 0x00, 0xFB}, "MOV 0FB00h, [R3]"},
        {{0xD2, 0xF4, 0x00, 0xFB}, "MOVBS R4, 0FB00h"},
        {{0xC5, 0xF4, 0x00, 0xFB}, "MOVBZ 0FB00h, RL2"},
        {{0x86, 0xF3, 0x34, 0x12}, "CMPI1 R3, #1234h"},
        {{0xB2, 0xF3, 0x00, 0xFB}, "CMPD2 R3, 0FB00h"},
        {{0xA1, 0x30}, "NEGB RH1"},
        {{0xAC, 0x12}, "ASHR R1, R2"},
        {{0xEA, 0x00, 0x80, 0xFB}, "JMPA cc_UC, 0FB80h"},
        {{0xDA, 0x03, 0x00, 0x12}, "CALLS 3, 1200h"},
        {{0xAA, 0xF2, 0x02, 0x50}, "JBC R2.5, 0F608h"},
        {{0xDB, 0x00}, "RETS"},
        {{0xD7, 0x00, 0x03, 0x00}, "EXTS #3, #1"},
        {{0xD7, 0x50, 0x01, 0x03}, "EXTP #769, #2"},
        {{0xDC, 0x15}, "EXTS R5, #2"},
        {{0xDC, 0x75}, "EXTP R5, #4"},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> bytes(c.code);
        std::vector<std::uint8_t> padded(bytes);
        padded.resize(4);
        const Disassembly d = disassemble(padded, Machine::kCode);
        EXPECT_EQ(d.text, c.text);
        EXPECT_EQ(d.length, bytes.size()) << c.text;
    }
}

// Rows that share an opcode byte must split its codes between them: a code two rows accepted
// would run whichever comes first.
TEST(Disassembler, NoCodeMatchesTwoForms) {
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        for (unsigned byte1 = 0; byte1 < 256; ++byte1) {
            for (unsigned byte3 : {0x00U, 0x03U, 0x50U}) {
                const std::uint32_t code = opcode | byte1 << 8 | 0x01U << 16 | byte3 << 24;
                const auto matches = std::count_if(
                    opcodeRows().begin(), opcodeRows().end(),
                    [&](const Opcode& op) { return op.opcode == opcode && formAccepts(op, code); });
                ASSERT_LE(matches, 1) << std::hex << code;
            }
        }
    }
}

}  // namespace
}  // namespace halvard::sim::test
