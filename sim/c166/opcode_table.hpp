#pragma once

// Internal to the core: the one opcode table that both the executor and the disassembler read.

#include <array>
#include <cstdint>
#include <string_view>

namespace halvard::sim {

class Core;

// Operand layout of an instruction form; it drives the disassembler and the checks of the
// sub-fields that select an addressing mode (a form whose fixed bits do not match is unknown).
enum class Form : std::uint8_t {
    Fixed,         // every byte fixed: NOP, RET, RETI, EINIT
    RegImm16,      // op RR ## ##              reg, #data16
    RegImm8,       // op RR ## xx              reg, #data8
    RegData4,      // op #n                    Rn, #data4 (data in the high nibble)
    RegReg,        // op nm                    Rn, Rm
    RegMem,        // op RR MM MM              reg, mem
    MemReg,        // op RR MM MM              mem, reg
    IndMem,        // op 0n MM MM              [Rwn], mem
    RegInd,        // op nm                    Rn, [Rwm]
    RegIndInc,     // op nm                    Rn, [Rwm+]
    IndReg,        // op nm                    [Rwm], Rn
    RegIndDisp,    // op nm ## ##              Rn, [Rwm+#data16]
    WordFromByte,  // op mn                    Rwn, Rbm
    RegData3,      // op n:0###                Rn, #data3
    RegIndI,       // op n:10ii                Rn, [Rwi]
    RegIndIncI,    // op n:11ii                Rn, [Rwi+]
    Bit,           // qX QQ                    bitoff.q
    BitBit,        // op QQ ZZ qz              ZZ.z, QQ.q
    BitRel,        // op QQ rr q0              bitoff.q, target
    CondRel,       // cX rr                    cc, target
    Rel,           // op rr                    target
    CondInd,       // op cn                    cc, [Rwn]
    Reg,           // op RR                    reg
};

enum class Width : std::uint8_t { Word, Byte };

using Handler = void (*)(Core& core, std::uint32_t code);

// One row per opcode byte. `code` holds the instruction bytes, the first one lowest.
struct Opcode {
    std::string_view mnemonic;  // empty: unknown opcode
    Form form = Form::Fixed;
    Width width = Width::Word;
    std::uint8_t length = 2;
    std::uint8_t cycles = 0;      // CPU clock cycles when not branching (see core.cpp)
    std::uint32_t fixedCode = 0;  // Form::Fixed: the complete instruction
    Handler handler = nullptr;
};

const std::array<Opcode, 256>& opcodeTable();

// True when the addressing-mode bits of `code` select the form the row describes.
constexpr bool formAccepts(const Opcode& op, std::uint32_t code) {
    const std::uint32_t byte1 = (code >> 8) & 0xFF;
    switch (op.form) {
        case Form::Fixed:
            return (op.length == 4 ? code : (code & 0xFFFF)) == op.fixedCode;
        case Form::IndMem:
            return (byte1 & 0xF0) == 0;
        case Form::RegData3:
            return (byte1 & 0x08) == 0;
        case Form::RegIndI:
            return (byte1 & 0x0C) == 0x08;
        case Form::RegIndIncI:
            return (byte1 & 0x0C) == 0x0C;
        case Form::BitRel:
            return (code >> 24 & 0x0F) == 0;
        default:
            return true;
    }
}

}  // namespace halvard::sim
