#pragma once

// Internal to the core: the one opcode table that both the executor and the disassembler read.

#include <cstdint>
#include <span>
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
    Gpr,           // op n0                    Rn
    GprImm16,      // op Fn ## ##              Rwn, #data16
    GprMem,        // op Fn MM MM              Rwn, mem
    MemInd,        // op 0n MM MM              mem, [Rwn]
    DecIndReg,     // op nm                    [-Rwm], Rn
    IndInd,        // op nm                    [Rwn], [Rwm]
    IndIncInd,     // op nm                    [Rwn+], [Rwm]
    IndIndInc,     // op nm                    [Rwn], [Rwm+]
    IndDispReg,    // op nm ## ##              [Rwm+#data16], Rn
    CondAbs,       // op c0 MM MM              cc, caddr
    SegAbs,        // op SS MM MM              seg, caddr
    ExtSeg,        // op 00##:0000 ss 00       #seg, #irang2 (## = irang2 - 1)
    ExtPage,       // op 01##:0000 pp 00:00pp  #pag, #irang2
    ExtSegReg,     // op 00##:mmmm             Rwm, #irang2
    ExtPageReg,    // op 01##:mmmm             Rwm, #irang2
};

enum class Width : std::uint8_t { Word, Byte };

using Handler = void (*)(Core& core, std::uint32_t code);

// One row per instruction form. `code` holds the instruction bytes, the first one lowest.
struct Opcode {
    std::string_view mnemonic;
    Form form = Form::Fixed;
    // Of the register operands; MOVBZ/MOVBS reg,mem name a word register, mem,reg a byte one.
    Width width = Width::Word;
    std::uint8_t length = 2;
    std::uint8_t cycles = 0;      // CPU clock cycles when not branching (see core.cpp)
    std::uint32_t fixedCode = 0;  // Form::Fixed: the complete instruction
    Handler handler = nullptr;
    std::uint8_t opcode = 0;  // the first instruction byte
};

// Every implemented form. Up to three rows share an opcode byte (ADD Rn,#data3 / [Rwi] / [Rwi+],
// EXTS / EXTP); formAccepts tells them apart, and they always have the same length.
std::span<const Opcode> opcodeRows();

// The row whose opcode byte and addressing-mode bits `code` matches; nullptr when none does.
const Opcode* decode(std::uint32_t code);
// The length of any instruction starting with `opcode` (2 for an unknown one).
unsigned instructionLength(std::uint8_t opcode);

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
        case Form::Gpr:
        case Form::CondAbs:
            return (byte1 & 0x0F) == 0;
        case Form::GprImm16:
        case Form::GprMem:
            return (byte1 & 0xF0) == 0xF0;
        case Form::MemInd:
            return (byte1 & 0xF0) == 0;
        case Form::ExtSeg:
            return (byte1 & 0xCF) == 0x00 && (code >> 24) == 0;
        case Form::ExtPage:
            return (byte1 & 0xCF) == 0x40 && (code >> 24 & 0xFC) == 0;
        case Form::ExtSegReg:
            return (byte1 & 0xC0) == 0x00;
        case Form::ExtPageReg:
            return (byte1 & 0xC0) == 0x40;
        default:
            return true;
    }
}

}  // namespace halvard::sim
