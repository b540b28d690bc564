#include <cstdio>
#include <string_view>

#include "sim/c166/core.hpp"
#include "sim/c166/opcode_table.hpp"
#include "sim/c166/operand_names.hpp"

namespace halvard::sim {

namespace {

struct NamedRegister {
    std::uint16_t address;
    std::string_view name;
};

// Registers the image and the host touch; others print as addresses.
constexpr NamedRegister kRegisterNames[] = {
    {0xFE00, "DPP0"},   {0xFE02, "DPP1"},   {0xFE04, "DPP2"},  {0xFE06, "DPP3"},
    {0xFE08, "CSP"},    {0xFE0C, "MDH"},    {0xFE0E, "MDL"},   {0xFE10, "CP"},
    {0xFE12, "SP"},     {0xFE14, "STKOV"},  {0xFE16, "STKUN"}, {0xFE48, "T6"},
    {0xFEB0, "S0TBUF"}, {0xFEB2, "S0RBUF"}, {0xFF10, "PSW"},   {0xFF12, "SYSCON"},
    {0xFF1C, "ZEROS"},  {0xFF1E, "ONES"},   {0xFF6C, "S0TIC"}, {0xFF6E, "S0RIC"},
    {0xFFAC, "TFR"},    {0xFFB0, "S0CON"},
};

constexpr std::string_view kConditionNames[16] = {
    "cc_UC", "cc_NET", "cc_Z",   "cc_NZ",  "cc_V",   "cc_NV",  "cc_N",   "cc_NN",
    "cc_C",  "cc_NC",  "cc_SGT", "cc_SLE", "cc_SLT", "cc_SGE", "cc_UGT", "cc_ULE",
};

constexpr std::string_view kByteRegisterNames[16] = {
    "RL0", "RH0", "RL1", "RH1", "RL2", "RH2", "RL3", "RH3",
    "RL4", "RH4", "RL5", "RH5", "RL6", "RH6", "RL7", "RH7",
};

// Assembler-style hex: digits, 'h', and a leading 0 when the first digit is a letter.
std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*Xh", digits, value);
    std::string result(text[0] >= 'A' ? "0" : "");
    return result.append(text);
}

// "[Rm]". Names are built by appending: a literal + std::string trips g++ 12's -Wrestrict at -O3.
std::string indirect(unsigned m) {
    std::string result("[R");
    return result.append(std::to_string(m)).append("]");
}

std::string gprName(unsigned n, Width width) {
    if (width == Width::Byte)
        return std::string(kByteRegisterNames[n & 0x0F]);
    std::string result("R");
    return result.append(std::to_string(n & 0x0F));
}

std::string addressName(unsigned address) {
    for (const NamedRegister& named : kRegisterNames) {
        if (named.address == address) {
            return std::string(named.name);
        }
    }
    return hex(address, 4);
}

std::string regName(unsigned rr, Width width) {
    return rr >= 0xF0 ? gprName(rr, width) : addressName(0xFE00 + 2 * rr);
}

std::string bitName(unsigned bitoff, unsigned bit) {
    std::string word;
    if (bitoff >= 0xF0) {
        word = gprName(bitoff, Width::Word);
    } else if (bitoff >= 0x80) {
        word = addressName(0xFF00 + 2 * (bitoff - 0x80));
    } else {
        word = hex(0xFD00 + 2 * bitoff, 4);
    }
    return word + "." + std::to_string(bit);
}

std::string target(std::uint32_t address, unsigned length, unsigned rr) {
    const auto ip = static_cast<std::uint16_t>(address + length + 2 * static_cast<std::int8_t>(rr));
    return hex(ip, 4);
}

// "[-Rm]", "[Rm+]", "[Rm+#0012h]": a pointer register with what comes before and after it.
std::string pointer(std::string_view before, unsigned m, std::string_view after) {
    std::string result("[");
    return result.append(before).append("R").append(std::to_string(m)).append(after).append("]");
}

// "#5": a small immediate (data3, data4, seg, pag, irang2) in decimal.
std::string decimal(unsigned value) {
    std::string result("#");
    return result.append(std::to_string(value));
}

// EXTS/EXTP: the number of instructions the override lasts, 1-4.
unsigned range(unsigned byte1) {
    return ((byte1 >> 4) & 3) + 1;
}

std::string operands(const Opcode& op, std::uint32_t code, std::uint32_t address) {
    const unsigned b0 = code & 0xFF;
    const unsigned b1 = (code >> 8) & 0xFF;
    const unsigned b2 = (code >> 16) & 0xFF;
    const unsigned b3 = code >> 24;
    const unsigned imm16 = code >> 16;
    const unsigned n = b1 >> 4;
    const unsigned m = b1 & 0x0F;
    const Width w = op.width;
    switch (op.form) {
        case Form::Fixed:
            return {};
        case Form::RegImm16:
            return regName(b1, w) + ", #" + hex(imm16, 4);
        case Form::RegImm8:
            return regName(b1, w) + ", #" + hex(b2, 2);
        case Form::RegData4:
            return gprName(m, w) + ", #" + std::to_string(n);
        case Form::RegReg:
            return gprName(n, w) + ", " + gprName(m, w);
        case Form::RegMem:
            return regName(b1, w) + ", " + hex(imm16, 4);
        case Form::MemReg:
            return hex(imm16, 4) + ", " + regName(b1, w);
        case Form::IndMem:
            return indirect(m) + ", " + hex(imm16, 4);
        case Form::RegInd:
            return gprName(n, w) + ", [R" + std::to_string(m) + "]";
        case Form::RegIndInc:
            return gprName(n, w) + ", [R" + std::to_string(m) + "+]";
        case Form::IndReg:
            return indirect(m) + ", " + gprName(n, w);
        case Form::RegIndDisp:
            return gprName(n, w) + ", [R" + std::to_string(m) + "+#" + hex(imm16, 4) + "]";
        case Form::WordFromByte:
            return gprName(m, Width::Word) + ", " + gprName(n, Width::Byte);
        case Form::RegData3:
            return gprName(n, w) + ", #" + std::to_string(b1 & 7);
        case Form::RegIndI:
            return gprName(n, w) + ", [R" + std::to_string(b1 & 3) + "]";
        case Form::RegIndIncI:
            return gprName(n, w) + ", [R" + std::to_string(b1 & 3) + "+]";
        case Form::Bit:
            return bitName(b1, b0 >> 4);
        case Form::BitBit:
            return bitName(b2, b3 & 0x0F) + ", " + bitName(b1, b3 >> 4);
        case Form::BitRel:
            return bitName(b1, b3 >> 4) + ", " + target(address, 4, b2);
        case Form::CondRel:
            return std::string(kConditionNames[b0 >> 4]) + ", " + target(address, 2, b1);
        case Form::Rel:
            return target(address, 2, b1);
        case Form::CondInd:
            return std::string(kConditionNames[n]) + ", [R" + std::to_string(m) + "]";
        case Form::Reg:
            return regName(b1, w);
        case Form::Gpr:
            return gprName(n, w);
        case Form::GprImm16:
            return gprName(m, w) + ", #" + hex(imm16, 4);
        case Form::GprMem:
            return gprName(m, w) + ", " + hex(imm16, 4);
        case Form::MemInd:
            return hex(imm16, 4) + ", " + indirect(m);
        case Form::DecIndReg:
            return pointer("-", m, "") + ", " + gprName(n, w);
        case Form::IndInd:
            return indirect(n) + ", " + indirect(m);
        case Form::IndIncInd:
            return pointer("", n, "+") + ", " + indirect(m);
        case Form::IndIndInc:
            return indirect(n) + ", " + pointer("", m, "+");
        case Form::IndDispReg:
            return pointer("", m, "+#" + hex(imm16, 4)) + ", " + gprName(n, w);
        case Form::CondAbs:
            return std::string(kConditionNames[n]) + ", " + hex(imm16, 4);
        case Form::SegAbs:
            return std::to_string(b1) + ", " + hex(imm16, 4);
        case Form::ExtSeg:
            return decimal(b2) + ", " + decimal(range(b1));
        case Form::ExtPage:
            return decimal(imm16 & 0x3FF) + ", " + decimal(range(b1));
        case Form::ExtSegReg:
        case Form::ExtPageReg:
            return gprName(m, Width::Word) + ", " + decimal(range(b1));
    }
    return {};
}

}  // namespace

Disassembly disassemble(std::span<const std::uint8_t> code, std::uint32_t address) {
    std::uint32_t bytes = 0;
    for (std::size_t i = 0; i < 4 && i < code.size(); ++i) {
        bytes |= std::uint32_t{code[i]} << (8 * i);
    }
    const Opcode* op = decode(bytes);
    if (!op) {
        return {2, "???"};
    }
    std::string text(op->mnemonic);
    const std::string args = operands(*op, bytes, address);
    if (!args.empty()) {
        text += " " + args;
    }
    return {op->length, text};
}

namespace {

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::uint16_t> registerAddress(std::string_view name) {
    for (const NamedRegister& named : kRegisterNames) {
        if (sameName(named.name, name))
            return named.address;
    }
    return std::nullopt;
}

std::optional<unsigned> conditionCode(std::string_view name) {
    for (unsigned code = 0; code < 16; ++code) {
        if (sameName(kConditionNames[code], name))
            return code;
    }
    return std::nullopt;
}

}  // namespace halvard::sim
