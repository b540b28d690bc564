// The assembler against the core's own opcode table and disassembler.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "assembled_crc_routine.hpp"
#include "sim/c166/assembler.hpp"
#include "sim/c166/core.hpp"
#include "sim/c166/opcode_table.hpp"
#include "source_check.hpp"
#include "target/crc_routine.hpp"
#include "target/loader.hpp"

namespace halvard::sim::test {
namespace {

constexpr std::uint32_t kImageBase = 0xFA40;

std::vector<std::uint8_t> bytesOf(const AssemblyResult& result) {
    if (const auto* error = std::get_if<AssemblyError>(&result)) {
        ADD_FAILURE() << "line " << error->line << ": " << error->message;
        return {};
    }
    return std::get<Assembly>(result).bytes;
}

// Every row the core executes, with operand fields that reach each operand kind (GPRs, named and
// unnamed SFRs, bit-addressable RAM, both jump directions): its disassembly assembles back to the
// same instruction. Catches a form the assembler lacks or encodes differently, and a new row whose
// syntax picks a shorter row of the same mnemonic.
TEST(AssemblerRoundTrip, EveryTableRowAssemblesBackFromItsDisassembly) {
    constexpr std::uint8_t kFirstFields[] = {0x00, 0x03, 0x12, 0x3C, 0x40,
                                             0x4B, 0x70, 0xB6, 0xE5, 0xF1};
    constexpr std::array<std::uint8_t, 2> kHighFields[] = {
        {0x70, 0xFD}, {0x34, 0x12}, {0xF8, 0x70}, {0x23, 0x00}};
    for (const Opcode& row : opcodeRows()) {
        if (!row.handler)
            continue;
        const unsigned opcode = row.opcode;
        std::set<std::uint32_t> codes;
        if (row.form == Form::Fixed)
            codes.insert(row.fixedCode);
        for (const std::uint8_t b1 : kFirstFields)
            for (const auto& high : kHighFields)
                codes.insert(opcode | b1 << 8 |
                             (row.length == 4 ? high[0] << 16 | high[1] << 24 : 0));
        int checked = 0;
        for (const std::uint32_t code : codes) {
            if (decode(code) != &row)
                continue;
            const std::array<std::uint8_t, 4> bytes = {
                static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 24)};
            const std::string text = disassemble(bytes, kImageBase).text;
            SCOPED_TRACE(text);
            // Bytes the core ignores (the last of MOVB reg,#data8) are not printed, so they are
            // compared as the disassembler reads them.
            std::vector<std::uint8_t> again = bytesOf(Assemble(" " + text, kImageBase));
            EXPECT_EQ(again.size(), row.length);
            again.resize(4);
            EXPECT_EQ(disassemble(again, kImageBase).text, text);
            ++checked;
        }
        EXPECT_GT(checked, 0) << "no operand fields reach the form of " << row.mnemonic
                              << " at opcode " << opcode;
    }
}

// Numbers in three notations, labels before and after their use as branch targets, immediates
// and addresses, NAME + n, and the data directives. Catches a misread number, a forward label
// that the first pass sized too small, and data laid out at the wrong address.
TEST(AssemblerSyntax, LabelsNumbersAndDataAssembleToWhatTheyMean) {
    constexpr std::string_view kSource = R"(
        .equ    BUF, 0xFD10
START:  mov     r0, #5                  ; the short #data4 form
        MOV     R1, #DATA + 2           ; a label ahead, as an immediate
        MOV     R2, #65535
        MOVB    RL3, #0FFh
        ADD     R1, #3
        MOV     R4, BUF + 0x10
        MOV     BUF, R4
        BSET    BUF.15
        BMOV    R3.0, PSW.1
        JB      R2.5, START
        JMPR    cc_UC, AHEAD
        MOV     R5, [R6+#2]
        CALLI   cc_Z, [R7]
AHEAD:  RET
DATA:   .byte   1, 0x2, 3h
        .align  2
        .word   DATA, -1
        .space  3
END:    .byte   0FFh
)";
    constexpr std::uint32_t kOrigin = 0xF600;
    EXPECT_TRUE(DisassemblesToSource(kSource, kOrigin));
    const AssemblyResult result = Assemble(kSource, kOrigin);
    ASSERT_TRUE(std::holds_alternative<Assembly>(result));
    const Assembly& a = std::get<Assembly>(result);
    const std::int64_t data = a.symbols.at("DATA");
    EXPECT_EQ(a.symbols.at("AHEAD") + 2, data);
    // MOV R1,#DATA+2 took the #data16 form though DATA lay ahead.
    EXPECT_EQ(a.bytes[2], 0xE6);
    EXPECT_EQ(a.bytes[4] | a.bytes[5] << 8, data + 2);
    const std::size_t d = static_cast<std::size_t>(data - kOrigin);
    EXPECT_EQ(std::vector<std::uint8_t>(a.bytes.begin() + d, a.bytes.end()),
              (std::vector<std::uint8_t>{1, 2, 3, 0, static_cast<std::uint8_t>(data),
                                         static_cast<std::uint8_t>(data >> 8), 0xFF, 0xFF, 0, 0, 0,
                                         0xFF}));
    EXPECT_EQ(a.symbols.at("END"), kOrigin + static_cast<std::int64_t>(a.bytes.size()) - 1);
}

// Each fault names its line and what is wrong.
TEST(AssemblerErrors, NameTheLineAndTheFault) {
    struct Case {
        std::string_view source;
        std::size_t line;
        std::string_view message;
    };
    const Case cases[] = {
        {" NOP\n FROB R1\n", 2, "unknown mnemonic 'FROB'"},
        {" MOV [R2+], R1\n", 1, "no form of MOV takes '[R2+], R1'"},
        {" MOV R16, R1\n", 1, "'R16' is not a register"},
        {" SHL R1, #16\n", 1, "10h does not fit the #data4 field of SHL"},
        {" JMPR cc_UC, FAR\n .space 300\nFAR: RET\n", 1, "out of its reach"},
        {" JB R1.3, 205h\n", 1, "an odd distance"},
        {" CALLR NOWHERE\n", 1, "undefined symbol 'NOWHERE'"},
        {" .byte 1\n NOP\n", 2, "odd address"},
        {"X: NOP\nX: NOP\n", 2, "'X' is defined twice"},
        {"R3: NOP\n", 1, "register or condition name"},
        {" BSET 0FE00h.1\n", 1, "not a bit-addressable word"},
        {" .word 10000h\n", 1, "does not fit in a word"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        const AssemblyResult result = Assemble(c.source, 0x200);
        ASSERT_TRUE(std::holds_alternative<AssemblyError>(result));
        const AssemblyError& error = std::get<AssemblyError>(result);
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    }
}

// The CRC routine, written out as source and assembled by the build into a header, is the
// image's routine byte for byte, at the routine's address, and reads as its source.
TEST(AssembledCrcRoutine, IsTheRoutineTheHostLoads) {
    EXPECT_EQ(std::vector<std::uint8_t>(kAssembledCrcRoutine.begin(), kAssembledCrcRoutine.end()),
              std::vector<std::uint8_t>(kCrcRoutine.begin(), kCrcRoutine.end()));
    EXPECT_EQ(kAssembledCrcRoutineOrigin, kImageBase + kCrcRoutineOffset);
    EXPECT_EQ(kAssembledCrcRoutineLoop, kImageBase + 332);  // LOOP and SEND in the listing
    EXPECT_EQ(kAssembledCrcRoutineSend, kImageBase + 400);
    std::ifstream in(HALVARD_CRC_ROUTINE_SOURCE);
    ASSERT_TRUE(in.good());
    const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(DisassemblesToSource(source, 0));
}

// The loader the host uploads is its source, read back instruction by instruction: catches a
// build that assembled something else, and an encoding the disassembler reads differently.
TEST(AssembledLoader, IsItsSourceReadBack) {
    std::ifstream in(HALVARD_LOADER_SOURCE);
    ASSERT_TRUE(in.good());
    const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(DisassemblesToSource(source, 0));
    const auto loader = LoaderCode();
    EXPECT_EQ(bytesOf(Assemble(source, 0)),
              std::vector<std::uint8_t>(loader.begin(), loader.end()));
}

}  // namespace
}  // namespace halvard::sim::test
