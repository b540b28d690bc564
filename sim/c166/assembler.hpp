#pragma once

// A C166 assembler for the target routines kept as source text. It reads the core's opcode
// table: a line assembles to the shortest row whose mnemonic and operand syntax match, and the
// syntax is the disassembler's, so that its output assembles back to the same bytes.
//
//   LABEL:  MNEMONIC operand, operand   ; comment
//
// Operands: R0-R15, RL0-RH7, register names (DPP1, S0RBUF, PSW ...) and addresses, #imm, [R1],
// [R1+], [R1+#0010h], bits (S0RIC.7, R2.5, 0FD10h.3), conditions (cc_NZ), branch targets. Values
// are numbers (0FE02h, 0xFE02, 65026), labels and .equ names, and sums of them (NAME + 2).
// Directives: .equ NAME, value; .byte a, ...; .word a, ...; .space n; .align n; .org address
// (before the first byte); .export NAME (for the generated header, see sim/asm).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace halvard::sim {

// One source line that produced bytes (or a label), in source order.
struct AssembledLine {
    std::size_t line;       // 1-based
    std::uint32_t address;  // where its bytes start
    std::size_t size;       // bytes it produced
    bool instruction;       // an instruction rather than a directive
};

struct Assembly {
    std::uint32_t origin = 0;  // address of bytes[0]
    std::vector<std::uint8_t> bytes;
    std::map<std::string, std::int64_t, std::less<>> symbols;  // labels and .equ names
    std::vector<std::string> exports;                          // in source order
    std::vector<AssembledLine> lines;
};

struct AssemblyError {
    std::size_t line;  // 1-based
    std::string message;
};

using AssemblyResult = std::variant<Assembly, AssemblyError>;

// Assembles `source` for the address `origin` (a .org line in the source replaces it).
AssemblyResult Assemble(std::string_view source, std::uint32_t origin);

}  // namespace halvard::sim
