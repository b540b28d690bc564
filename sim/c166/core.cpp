#include "sim/c166/core.hpp"

#include <cstring>
#include <type_traits>

#include "sim/c166/opcode_table.hpp"

namespace halvard::sim {

namespace {

// PSW flag bits.
constexpr std::uint16_t kN = 1U << 0;
constexpr std::uint16_t kC = 1U << 1;
constexpr std::uint16_t kV = 1U << 2;
constexpr std::uint16_t kZ = 1U << 3;
constexpr std::uint16_t kE = 1U << 4;
constexpr std::uint16_t kArithmeticFlags = kN | kC | kV | kZ | kE;

// SYSCON bit 11: segmentation disabled (RETI then leaves CSP alone).
constexpr std::uint16_t kSgtDis = 1U << 11;

// Core register addresses (segment 0).
constexpr std::uint32_t kDpp0 = 0xFE00;
constexpr std::uint16_t kPageBits = 0x03FF;
constexpr std::uint32_t kCsp = 0xFE08;
constexpr std::uint32_t kMdh = 0xFE0C;
constexpr std::uint32_t kMdl = 0xFE0E;
constexpr std::uint32_t kCpAddress = 0xFE10;
constexpr std::uint32_t kSpAddress = 0xFE12;
constexpr std::uint32_t kStkov = 0xFE14;
constexpr std::uint32_t kStkun = 0xFE16;
constexpr std::uint32_t kPswAddress = 0xFF10;
constexpr std::uint32_t kSysconAddress = 0xFF12;
constexpr std::uint32_t kZeros = 0xFF1C;
constexpr std::uint32_t kOnes = 0xFF1E;

constexpr std::uint32_t kBlockMask = kDirectBlockBytes - 1;

constexpr unsigned byte1(std::uint32_t code) {
    return (code >> 8) & 0xFF;
}
constexpr unsigned byte2(std::uint32_t code) {
    return (code >> 16) & 0xFF;
}
constexpr unsigned byte3(std::uint32_t code) {
    return code >> 24;
}
constexpr std::uint16_t word23(std::uint32_t code) {
    return static_cast<std::uint16_t>(code >> 16);
}
constexpr unsigned high(unsigned byte) {
    return byte >> 4;
}
constexpr unsigned low(unsigned byte) {
    return byte & 0x0F;
}
constexpr std::uint16_t relative(std::uint16_t ipNext, unsigned rr) {
    return static_cast<std::uint16_t>(ipNext + 2 * static_cast<std::int8_t>(rr));
}

template <class T>
constexpr T signBit() {
    return static_cast<T>(1U << (8 * sizeof(T) - 1));
}

std::uint16_t loadLittle(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
void storeLittle(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

bool conditionHolds(unsigned cc, std::uint16_t psw) {
    const bool n = psw & kN;
    const bool c = psw & kC;
    const bool v = psw & kV;
    const bool z = psw & kZ;
    const bool e = psw & kE;
    switch (cc & 0x0F) {
        case 0x0:
            return true;  // cc_UC
        case 0x1:
            return !z && !e;  // cc_NET
        case 0x2:
            return z;  // cc_Z / cc_EQ
        case 0x3:
            return !z;  // cc_NZ / cc_NE
        case 0x4:
            return v;  // cc_V
        case 0x5:
            return !v;  // cc_NV
        case 0x6:
            return n;  // cc_N
        case 0x7:
            return !n;  // cc_NN
        case 0x8:
            return c;  // cc_C / cc_ULT
        case 0x9:
            return !c;  // cc_NC / cc_UGE
        case 0xA:
            return !(z || (n != v));  // cc_SGT
        case 0xB:
            return z || (n != v);  // cc_SLE
        case 0xC:
            return n != v;  // cc_SLT
        case 0xD:
            return n == v;  // cc_SGE
        case 0xE:
            return !(z || c);  // cc_UGT
        default:
            return z || c;  // cc_ULE
    }
}

std::string hexBytes(std::uint32_t code, unsigned length) {
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", (code >> (8 * i)) & 0xFF);
        text += byte;
    }
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Instruction semantics. Every handler runs with IP already at the next instruction. A handler
// that writes a destination does so after it has set the flags, so an explicit write to PSW (a
// bit instruction on PSW.x, POP PSW, MOV PSW,...) wins over the flag update: BMOVN PSW.0,PSW.0
// then just inverts N, which is what the monitor's wait loops expect of the chip.
// ---------------------------------------------------------------------------------------------
struct Exec {
    template <class T>
    static T gpr(Core& core, unsigned n) {
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            return core.byteReg(n);
        } else {
            return core.wordReg(n);
        }
    }
    template <class T>
    static void setGpr(Core& core, unsigned n, T value) {
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            core.setByteReg(n, value);
        } else {
            core.setWordReg(n, value);
        }
    }
    template <class T>
    static T load(Core& core, std::uint32_t address) {
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            return core.readByte(address);
        } else {
            return core.readWord(address);
        }
    }
    template <class T>
    static void store(Core& core, std::uint32_t address, T value) {
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            core.writeByte(address, value);
        } else {
            core.writeWord(address, value);
        }
    }
    // 'reg' (short register address): GPRs for 0xF0-0xFF, otherwise the SFR word 0xFE00 + 2*RR
    // (its low byte in byte instructions).
    template <class T>
    static T reg(Core& core, unsigned rr) {
        if (rr >= 0xF0) {
            return gpr<T>(core, rr & 0x0F);
        }
        return load<T>(core, 0xFE00 + 2 * rr);
    }
    template <class T>
    static void setReg(Core& core, unsigned rr, T value) {
        if (rr >= 0xF0) {
            setGpr<T>(core, rr & 0x0F, value);
        } else {
            store<T>(core, 0xFE00 + 2 * rr, value);
        }
    }
    static std::uint32_t indirect(Core& core, unsigned pointer) {
        return core.physical(core.wordReg(pointer));
    }
    template <class T>
    static void postIncrement(Core& core, unsigned pointer) {
        core.setWordReg(pointer, static_cast<std::uint16_t>(core.wordReg(pointer) + sizeof(T)));
    }

    // --- flags ---
    static void setFlags(Core& core, std::uint16_t mask, std::uint16_t flags) {
        core.psw_ = static_cast<std::uint16_t>((core.psw_ & ~mask) | flags);
    }
    static std::uint16_t flag(bool condition, std::uint16_t bit) { return condition ? bit : 0; }
    // MOV class: E (lowest negative), Z, N from the moved value; V and C unchanged.
    template <class T>
    static void moveFlags(Core& core, T value) {
        setFlags(core, kE | kZ | kN,
                 flag(value == signBit<T>(), kE) | flag(value == 0, kZ) |
                     flag(value & signBit<T>(), kN));
    }
    template <class T>
    static T add(Core& core, T a, T b, unsigned carryIn) {
        const unsigned sum = unsigned{a} + unsigned{b} + carryIn;
        const T result = static_cast<T>(sum);
        setFlags(core, kArithmeticFlags,
                 flag(b == signBit<T>(), kE) | flag(result == 0, kZ) |
                     flag((a ^ result) & (b ^ result) & signBit<T>(), kV) |
                     flag(sum > T(~T{0}), kC) | flag(result & signBit<T>(), kN));
        return result;
    }
    // C is the borrow.
    template <class T>
    static T sub(Core& core, T a, T b) {
        const T result = static_cast<T>(a - b);
        setFlags(core, kArithmeticFlags,
                 flag(b == signBit<T>(), kE) | flag(result == 0, kZ) |
                     flag((a ^ b) & (a ^ result) & signBit<T>(), kV) | flag(a < b, kC) |
                     flag(result & signBit<T>(), kN));
        return result;
    }
    // Bit instructions: E, V, C cleared; Z = not B, N = B (B: the source bit).
    static void bitFlags(Core& core, bool bit) {
        setFlags(core, kArithmeticFlags, flag(!bit, kZ) | flag(bit, kN));
    }

    // --- bit-addressable words: RAM 0xFD00 + 2*QQ, SFRs 0xFF00 + 2*(QQ - 0x80), GPRs ---
    static std::uint16_t bitWord(Core& core, unsigned bitoff) {
        if (bitoff >= 0xF0) {
            return core.wordReg(bitoff & 0x0F);
        }
        return core.readWord(core.bitWordAddress(bitoff));
    }
    static void setBitWord(Core& core, unsigned bitoff, std::uint16_t value) {
        if (bitoff >= 0xF0) {
            core.setWordReg(bitoff & 0x0F, value);
        } else {
            core.writeWord(core.bitWordAddress(bitoff), value);
        }
    }
    static std::uint16_t withBit(std::uint16_t word, unsigned bit, bool value) {
        const auto mask = static_cast<std::uint16_t>(1U << bit);
        return static_cast<std::uint16_t>(value ? (word | mask) : (word & ~mask));
    }

    static void branch(Core& core, std::uint16_t target) {
        core.ip_ = target;
        core.extraCycles_ = 2;
    }

    // ================================ handlers ================================
    static void nop(Core&, std::uint32_t) {}
    // EINIT only ends the initialisation phase on the chip (RSTOUT, register locks), none of
    // which this model has.
    static void einit(Core&, std::uint32_t) {}

    template <class T>
    static void movRegImm(Core& core, std::uint32_t code) {
        const T value = static_cast<T>(word23(code));
        moveFlags(core, value);
        setReg<T>(core, byte1(code), value);
    }
    template <class T>
    static void movRegData4(Core& core, std::uint32_t code) {
        const T value = static_cast<T>(high(byte1(code)));
        moveFlags(core, value);
        setGpr<T>(core, low(byte1(code)), value);
    }
    template <class T>
    static void movRegReg(Core& core, std::uint32_t code) {
        const T value = gpr<T>(core, low(byte1(code)));
        moveFlags(core, value);
        setGpr<T>(core, high(byte1(code)), value);
    }
    template <class T>
    static void movRegMem(Core& core, std::uint32_t code) {
        const T value = load<T>(core, core.physical(word23(code)));
        moveFlags(core, value);
        setReg<T>(core, byte1(code), value);
    }
    template <class T>
    static void movMemReg(Core& core, std::uint32_t code) {
        const T value = reg<T>(core, byte1(code));
        moveFlags(core, value);
        store<T>(core, core.physical(word23(code)), value);
    }
    static void movbIndMem(Core& core, std::uint32_t code) {
        const std::uint8_t value = core.readByte(core.physical(word23(code)));
        moveFlags(core, value);
        core.writeByte(indirect(core, low(byte1(code))), value);
    }
    template <class T>
    static void movRegInd(Core& core, std::uint32_t code) {
        const T value = load<T>(core, indirect(core, low(byte1(code))));
        moveFlags(core, value);
        setGpr<T>(core, high(byte1(code)), value);
    }
    template <class T>
    static void movRegIndInc(Core& core, std::uint32_t code) {
        const unsigned pointer = low(byte1(code));
        const T value = load<T>(core, indirect(core, pointer));
        postIncrement<T>(core, pointer);
        moveFlags(core, value);
        setGpr<T>(core, high(byte1(code)), value);
    }
    template <class T>
    static void movIndReg(Core& core, std::uint32_t code) {
        const T value = gpr<T>(core, high(byte1(code)));
        moveFlags(core, value);
        store<T>(core, indirect(core, low(byte1(code))), value);
    }
    template <class T>
    static void movRegIndDisp(Core& core, std::uint32_t code) {
        const auto offset =
            static_cast<std::uint16_t>(core.wordReg(low(byte1(code))) + word23(code));
        const T value = load<T>(core, core.physical(offset));
        moveFlags(core, value);
        setGpr<T>(core, high(byte1(code)), value);
    }
    // MOVBZ Rwn, Rbm: byte 1 = source (high nibble), destination (low nibble).
    static void movbz(Core& core, std::uint32_t code) {
        const std::uint16_t value = core.byteReg(high(byte1(code)));
        setFlags(core, kE | kZ | kN, flag(value == 0, kZ));
        core.setWordReg(low(byte1(code)), value);
    }

    template <class T>
    static void addRegReg(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        setGpr<T>(core, n, add<T>(core, gpr<T>(core, n), gpr<T>(core, low(byte1(code))), 0));
    }
    template <class T>
    static void addRegData3(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        setGpr<T>(core, n, add<T>(core, gpr<T>(core, n), static_cast<T>(byte1(code) & 7), 0));
    }
    template <class T>
    static void addRegImm(Core& core, std::uint32_t code) {
        const unsigned rr = byte1(code);
        const T sum = add<T>(core, reg<T>(core, rr), static_cast<T>(word23(code)), 0);
        setReg<T>(core, rr, sum);
    }
    template <class T>
    static void addRegIndIncI(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        const unsigned pointer = byte1(code) & 3;
        const T operand = load<T>(core, indirect(core, pointer));
        postIncrement<T>(core, pointer);
        setGpr<T>(core, n, add<T>(core, gpr<T>(core, n), operand, 0));
    }
    // ADDC: Z stays set only if the result is zero and Z was set before (multi-precision sums).
    template <class T>
    static void addcRegData3(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        const bool zeroBefore = core.psw_ & kZ;
        const bool carry = core.psw_ & kC;
        const T sum = add<T>(core, gpr<T>(core, n), static_cast<T>(byte1(code) & 7), carry);
        if (!zeroBefore) {
            setFlags(core, kZ, 0);
        }
        setGpr<T>(core, n, sum);
    }
    template <class T>
    static void subRegData3(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        setGpr<T>(core, n, sub<T>(core, gpr<T>(core, n), static_cast<T>(byte1(code) & 7)));
    }
    template <class T>
    static void subRegImm(Core& core, std::uint32_t code) {
        const unsigned rr = byte1(code);
        const T difference = sub<T>(core, reg<T>(core, rr), static_cast<T>(word23(code)));
        setReg<T>(core, rr, difference);
    }
    template <class T>
    static void cmpRegImm(Core& core, std::uint32_t code) {
        sub<T>(core, reg<T>(core, byte1(code)), static_cast<T>(word23(code)));
    }
    template <class T>
    static void cmpRegIndI(Core& core, std::uint32_t code) {
        const T operand = load<T>(core, indirect(core, byte1(code) & 3));
        sub<T>(core, gpr<T>(core, high(byte1(code))), operand);
    }
    template <class T>
    static void cmpRegReg(Core& core, std::uint32_t code) {
        sub<T>(core, gpr<T>(core, high(byte1(code))), gpr<T>(core, low(byte1(code))));
    }
    // CMPD1: the flags come from the comparison with the original value, then Rn -= 1.
    static void cmpd1(Core& core, std::uint32_t code) {
        const unsigned n = low(byte1(code));
        const std::uint16_t value = core.wordReg(n);
        sub<std::uint16_t>(core, value, static_cast<std::uint16_t>(high(byte1(code))));
        core.setWordReg(n, static_cast<std::uint16_t>(value - 1));
    }
    // Logical operations: E from the second operand (lowest negative), Z and N from the result,
    // V and C cleared.
    template <class T>
    static T exclusiveOr(Core& core, T a, T b) {
        const T result = static_cast<T>(a ^ b);
        setFlags(
            core, kArithmeticFlags,
            flag(b == signBit<T>(), kE) | flag(result == 0, kZ) | flag(result & signBit<T>(), kN));
        return result;
    }
    template <class T>
    static void xorRegReg(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        setGpr<T>(core, n, exclusiveOr<T>(core, gpr<T>(core, n), gpr<T>(core, low(byte1(code)))));
    }
    template <class T>
    static void xorRegIndIncI(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        const unsigned pointer = byte1(code) & 3;
        const T operand = load<T>(core, indirect(core, pointer));
        postIncrement<T>(core, pointer);
        setGpr<T>(core, n, exclusiveOr<T>(core, gpr<T>(core, n), operand));
    }
    // SHR: zeros come in at bit 15; C = last bit shifted out; V = 1 if an earlier shifted-out bit
    // was 1 (as ROR); E cleared. A count of 0 leaves C and V cleared.
    static void shr(Core& core, std::uint32_t code) {
        const unsigned n = low(byte1(code));
        const unsigned count = high(byte1(code));
        const std::uint16_t value = core.wordReg(n);
        const auto result = static_cast<std::uint16_t>(value >> count);
        const bool carry = count != 0 && ((value >> (count - 1)) & 1);
        const bool overflow = count > 1 && (value & ((1U << (count - 1)) - 1)) != 0;
        setFlags(core, kArithmeticFlags,
                 flag(result == 0, kZ) | flag(overflow, kV) | flag(carry, kC) |
                     flag(result & 0x8000, kN));
        core.setWordReg(n, result);
    }
    // SHL: C = last bit shifted out (0 for a count of 0); V and E cleared.
    static void shl(Core& core, std::uint32_t code) {
        const unsigned n = low(byte1(code));
        const unsigned count = high(byte1(code));
        const std::uint16_t value = core.wordReg(n);
        const auto result = static_cast<std::uint16_t>(value << count);
        const bool carry = count != 0 && ((value >> (16 - count)) & 1);
        setFlags(core, kArithmeticFlags,
                 flag(result == 0, kZ) | flag(carry, kC) | flag(result & 0x8000, kN));
        core.setWordReg(n, result);
    }
    // ROR: C = last bit rotated out; V = 1 if any earlier rotated-out bit was 1.
    static void ror(Core& core, std::uint32_t code) {
        const unsigned n = low(byte1(code));
        const unsigned count = high(byte1(code));
        const std::uint16_t value = core.wordReg(n);
        std::uint16_t result = value;
        bool carry = false;
        bool overflow = false;
        if (count != 0) {
            result = static_cast<std::uint16_t>((value >> count) | (value << (16 - count)));
            carry = (value >> (count - 1)) & 1;
            overflow = (value & ((1U << (count - 1)) - 1)) != 0;
        }
        setFlags(core, kArithmeticFlags,
                 flag(result == 0, kZ) | flag(overflow, kV) | flag(carry, kC) |
                     flag(result & 0x8000, kN));
        core.setWordReg(n, result);
    }

    template <bool Value>
    static void bitSet(Core& core, std::uint32_t code) {
        const unsigned bitoff = byte1(code);
        const unsigned bit = high(code & 0xFF);
        const std::uint16_t word = bitWord(core, bitoff);
        bitFlags(core, (word >> bit) & 1);
        setBitWord(core, bitoff, withBit(word, bit, Value));
    }
    // BMOV/BMOVN ZZ.z, QQ.q: byte 1 (QQ, bit q = high nibble of byte 3) is the source.
    template <bool Invert>
    static void bitMove(Core& core, std::uint32_t code) {
        const bool source = (bitWord(core, byte1(code)) >> high(byte3(code))) & 1;
        const unsigned destination = byte2(code);
        const std::uint16_t word = bitWord(core, destination);
        bitFlags(core, source);
        setBitWord(core, destination, withBit(word, low(byte3(code)), source != Invert));
    }
    template <bool JumpIfSet>
    static void jumpOnBit(Core& core, std::uint32_t code) {
        const bool bit = (bitWord(core, byte1(code)) >> high(byte3(code))) & 1;
        if (bit == JumpIfSet) {
            branch(core, relative(core.ip_, byte2(code)));
        }
    }
    static void jmpr(Core& core, std::uint32_t code) {
        if (conditionHolds(high(code & 0xFF), core.psw_)) {
            branch(core, relative(core.ip_, byte1(code)));
        }
    }
    static void callr(Core& core, std::uint32_t code) {
        core.push(core.ip_);
        branch(core, relative(core.ip_, byte1(code)));
    }
    static void calli(Core& core, std::uint32_t code) {
        if (conditionHolds(high(byte1(code)), core.psw_)) {
            const std::uint16_t target = core.wordReg(low(byte1(code)));
            core.push(core.ip_);
            branch(core, target);
        }
    }
    static void jmpi(Core& core, std::uint32_t code) {
        if (conditionHolds(high(byte1(code)), core.psw_)) {
            branch(core, core.wordReg(low(byte1(code))));
        }
    }
    static void ret(Core& core, std::uint32_t) { core.ip_ = core.pop(); }
    static void reti(Core& core, std::uint32_t) {
        core.ip_ = core.pop();
        if ((core.syscon_ & kSgtDis) == 0) {
            core.csp_ = core.pop();
        }
        core.psw_ = core.pop();
    }
    static void push(Core& core, std::uint32_t code) {
        const std::uint16_t value = reg<std::uint16_t>(core, byte1(code));
        moveFlags(core, value);
        core.push(value);
    }
    static void pop(Core& core, std::uint32_t code) {
        const std::uint16_t value = core.pop();
        moveFlags(core, value);
        setReg<std::uint16_t>(core, byte1(code), value);
    }
};

namespace {

using B = std::uint8_t;
using W = std::uint16_t;

// Approximate timing in CPU clock cycles (state times; at 20 MHz a basic instruction's 2 cycles
// are the chip's 100 ns): one machine cycle (2 clocks) per 2 bytes of instruction; stack operations
// and calls cost one machine cycle more; a taken branch adds another machine cycle for the refetch
// (Exec::branch). Bus wait states, pipeline effects and jump-cache hits are not modelled: the
// figures only let the board keep a plausible time.
constexpr std::uint8_t kShort = 2;
constexpr std::uint8_t kLong = 4;
constexpr std::uint8_t kStack = 4;

struct Row {
    unsigned opcode;
    Opcode op;
};

// clang-format off
constexpr Row kRows[] = {
    {0xCC, {"NOP",   Form::Fixed,        Width::Word, 2, kShort, 0x00CC, &Exec::nop}},
    {0xB5, {"EINIT", Form::Fixed,        Width::Word, 4, kLong,  0xB5B54AB5, &Exec::einit}},
    {0xE6, {"MOV",   Form::RegImm16,     Width::Word, 4, kLong,  0, &Exec::movRegImm<W>}},
    {0xE7, {"MOVB",  Form::RegImm8,      Width::Byte, 4, kLong,  0, &Exec::movRegImm<B>}},
    {0xE0, {"MOV",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::movRegData4<W>}},
    {0xE1, {"MOVB",  Form::RegData4,     Width::Byte, 2, kShort, 0, &Exec::movRegData4<B>}},
    {0xF0, {"MOV",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::movRegReg<W>}},
    {0xF1, {"MOVB",  Form::RegReg,       Width::Byte, 2, kShort, 0, &Exec::movRegReg<B>}},
    {0xF2, {"MOV",   Form::RegMem,       Width::Word, 4, kLong,  0, &Exec::movRegMem<W>}},
    {0xF3, {"MOVB",  Form::RegMem,       Width::Byte, 4, kLong,  0, &Exec::movRegMem<B>}},
    {0xF6, {"MOV",   Form::MemReg,       Width::Word, 4, kLong,  0, &Exec::movMemReg<W>}},
    {0xF7, {"MOVB",  Form::MemReg,       Width::Byte, 4, kLong,  0, &Exec::movMemReg<B>}},
    {0xA4, {"MOVB",  Form::IndMem,       Width::Byte, 4, kLong,  0, &Exec::movbIndMem}},
    {0xA8, {"MOV",   Form::RegInd,       Width::Word, 2, kShort, 0, &Exec::movRegInd<W>}},
    {0xA9, {"MOVB",  Form::RegInd,       Width::Byte, 2, kShort, 0, &Exec::movRegInd<B>}},
    {0x99, {"MOVB",  Form::RegIndInc,    Width::Byte, 2, kShort, 0, &Exec::movRegIndInc<B>}},
    {0xB8, {"MOV",   Form::IndReg,       Width::Word, 2, kShort, 0, &Exec::movIndReg<W>}},
    {0xB9, {"MOVB",  Form::IndReg,       Width::Byte, 2, kShort, 0, &Exec::movIndReg<B>}},
    {0xF4, {"MOVB",  Form::RegIndDisp,   Width::Byte, 4, kLong,  0, &Exec::movRegIndDisp<B>}},
    {0xD4, {"MOV",   Form::RegIndDisp,   Width::Word, 4, kLong,  0, &Exec::movRegIndDisp<W>}},
    {0xC0, {"MOVBZ", Form::WordFromByte, Width::Word, 2, kShort, 0, &Exec::movbz}},
    {0x00, {"ADD",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::addRegReg<W>}},
    {0x08, {"ADD",   Form::RegData3,     Width::Word, 2, kShort, 0, &Exec::addRegData3<W>}},
    {0x06, {"ADD",   Form::RegImm16,     Width::Word, 4, kLong,  0, &Exec::addRegImm<W>}},
    {0x09, {"ADDB",  Form::RegIndIncI,   Width::Byte, 2, kShort, 0, &Exec::addRegIndIncI<B>}},
    {0x19, {"ADDCB", Form::RegData3,     Width::Byte, 2, kShort, 0, &Exec::addcRegData3<B>}},
    {0x28, {"SUB",   Form::RegData3,     Width::Word, 2, kShort, 0, &Exec::subRegData3<W>}},
    {0x26, {"SUB",   Form::RegImm16,     Width::Word, 4, kLong,  0, &Exec::subRegImm<W>}},
    {0x46, {"CMP",   Form::RegImm16,     Width::Word, 4, kLong,  0, &Exec::cmpRegImm<W>}},
    {0x48, {"CMP",   Form::RegIndI,      Width::Word, 2, kShort, 0, &Exec::cmpRegIndI<W>}},
    {0x49, {"CMPB",  Form::RegIndI,      Width::Byte, 2, kShort, 0, &Exec::cmpRegIndI<B>}},
    {0x41, {"CMPB",  Form::RegReg,       Width::Byte, 2, kShort, 0, &Exec::cmpRegReg<B>}},
    {0x50, {"XOR",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::xorRegReg<W>}},
    {0x59, {"XORB",  Form::RegIndIncI,   Width::Byte, 2, kShort, 0, &Exec::xorRegIndIncI<B>}},
    {0xA0, {"CMPD1", Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::cmpd1}},
    {0x5C, {"SHL",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shl}},
    {0x7C, {"SHR",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shr}},
    {0x3C, {"ROR",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::ror}},
    {0x4A, {"BMOV",  Form::BitBit,       Width::Word, 4, kLong,  0, &Exec::bitMove<false>}},
    {0x3A, {"BMOVN", Form::BitBit,       Width::Word, 4, kLong,  0, &Exec::bitMove<true>}},
    {0x8A, {"JB",    Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBit<true>}},
    {0x9A, {"JNB",   Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBit<false>}},
    {0xBB, {"CALLR", Form::Rel,          Width::Word, 2, kStack, 0, &Exec::callr}},
    {0xAB, {"CALLI", Form::CondInd,      Width::Word, 2, kStack, 0, &Exec::calli}},
    {0x9C, {"JMPI",  Form::CondInd,      Width::Word, 2, kShort, 0, &Exec::jmpi}},
    {0xCB, {"RET",   Form::Fixed,        Width::Word, 2, kStack, 0x00CB, &Exec::ret}},
    {0xFB, {"RETI",  Form::Fixed,        Width::Word, 2, kStack, 0x88FB, &Exec::reti}},
    {0xEC, {"PUSH",  Form::Reg,          Width::Word, 2, kStack, 0, &Exec::push}},
    {0xFC, {"POP",   Form::Reg,          Width::Word, 2, kStack, 0, &Exec::pop}},
};
// clang-format on

constexpr std::array<Opcode, 256> buildTable() {
    std::array<Opcode, 256> table{};
    for (const Row& row : kRows) {
        table[row.opcode] = row.op;
    }
    // Families with a 4-bit field in the opcode byte itself: JMPR cc (cD), BCLR (qE), BSET (qF).
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
        table[nibble << 4 | 0x0D] = {"JMPR", Form::CondRel, Width::Word, 2, kShort, 0, &Exec::jmpr};
        table[nibble << 4 | 0x0E] = {"BCLR", Form::Bit, Width::Word,         2,
                                     kShort, 0,         &Exec::bitSet<false>};
        table[nibble << 4 | 0x0F] = {"BSET", Form::Bit, Width::Word,        2,
                                     kShort, 0,         &Exec::bitSet<true>};
    }
    return table;
}

constexpr std::array<Opcode, 256> kTable = buildTable();

}  // namespace

const std::array<Opcode, 256>& opcodeTable() {
    return kTable;
}

// ---------------------------------------------------------------------------------------------
// Core
// ---------------------------------------------------------------------------------------------

Core::Core(Bus& bus) : bus_(bus) {
    reset();
}

void Core::reset() {
    ip_ = 0;
    csp_ = 0;
    dpp_ = {0, 1, 2, 3};
    psw_ = 0;
    syscon_ = 0;
    mdh_ = 0;
    mdl_ = 0;
    sp_ = 0xFC00;
    stkov_ = 0xFA00;
    stkun_ = 0xFC00;
    stopped_ = false;
    diagnostic_.clear();
    instructions_ = 0;
    flushDirectBlocks();
    setCp(0xFC00);
}

void Core::flushDirectBlocks() {
    code_ = {};
    data_ = {};
    setCp(cp_);
}

// The direct GPR pointer is looked up lazily at the next step, never here: the Core is usually
// built while its bus (the board) is still being constructed.
void Core::setCp(std::uint16_t value) {
    cp_ = value;
    gprBase_ = nullptr;
    gprResolved_ = false;
}

void Core::resolveGprBase() {
    gprResolved_ = true;
    const std::uint32_t last = std::uint32_t{cp_} + 31;
    if ((cp_ & 1) == 0 && (cp_ & ~kBlockMask) == (last & ~kBlockMask) && (cp_ & 0xFE00) != 0xFE00) {
        if (std::uint8_t* base = bus_.directBlock(cp_ & ~kBlockMask)) {
            gprBase_ = base + (cp_ & kBlockMask);
        }
    }
}

std::uint16_t Core::gpr(int n) {
    return wordReg(static_cast<unsigned>(n) & 0x0F);
}
void Core::setGpr(int n, std::uint16_t value) {
    setWordReg(static_cast<unsigned>(n) & 0x0F, value);
}

// --- data side ---

std::uint32_t Core::physical(std::uint16_t dataAddress) const {
    const std::uint32_t page = dpp_[dataAddress >> 14] & 0x03FF;
    return (page << 14) | (dataAddress & 0x3FFFU);
}

std::uint8_t* Core::direct(BlockCache& cache, std::uint32_t address) {
    const std::uint32_t block = address & ~kBlockMask;
    if (cache.block != block) {
        cache.block = block;
        cache.base = bus_.directBlock(block);
    }
    return cache.base ? cache.base + (address & kBlockMask) : nullptr;
}

bool Core::coreRegisterRead(std::uint32_t address, std::uint16_t& value) const {
    switch (address) {
        case kDpp0:
        case kDpp0 + 2:
        case kDpp0 + 4:
        case kDpp0 + 6:
            value = dpp_[(address - kDpp0) / 2];
            return true;
        case kCsp:
            value = csp_;
            return true;
        case kMdh:
            value = mdh_;
            return true;
        case kMdl:
            value = mdl_;
            return true;
        case kCpAddress:
            value = cp_;
            return true;
        case kSpAddress:
            value = sp_;
            return true;
        case kStkov:
            value = stkov_;
            return true;
        case kStkun:
            value = stkun_;
            return true;
        case kPswAddress:
            value = psw_;
            return true;
        case kSysconAddress:
            value = syscon_;
            return true;
        case kZeros:
            value = 0x0000;
            return true;
        case kOnes:
            value = 0xFFFF;
            return true;
        default:
            return false;
    }
}

bool Core::coreRegisterWrite(std::uint32_t address, std::uint16_t value) {
    switch (address) {
        case kDpp0:
        case kDpp0 + 2:
        case kDpp0 + 4:
        case kDpp0 + 6:
            dpp_[(address - kDpp0) / 2] = value & kPageBits;  // the other bits do not exist
            return true;
        case kMdh:
            mdh_ = value;
            return true;
        case kMdl:
            mdl_ = value;
            return true;
        case kCpAddress:
            setCp(value);
            return true;
        case kSpAddress:
            sp_ = value;
            return true;
        case kStkov:
            stkov_ = value;
            return true;
        case kStkun:
            stkun_ = value;
            return true;
        case kPswAddress:
            psw_ = value;
            return true;
        case kSysconAddress:
            syscon_ = value;
            return true;
        case kCsp:  // read-only for data writes
        case kZeros:
        case kOnes:
            return true;
        default:
            return false;
    }
}

namespace {
constexpr bool inCoreRegisterArea(std::uint32_t address) {
    return (address & 0xFFFE00) == 0xFE00;
}
}  // namespace

std::uint16_t Core::readWord(std::uint32_t address) {
    if (stopped_) {
        return 0;
    }
    if (address & 1) {
        stopOnOddAccess(address);
        return 0;
    }
    std::uint16_t value = 0;
    if (inCoreRegisterArea(address) && coreRegisterRead(address, value)) {
        return value;
    }
    if (const std::uint8_t* p = direct(data_, address)) {
        return loadLittle(p);
    }
    return bus_.read16(address);
}

void Core::writeWord(std::uint32_t address, std::uint16_t value) {
    if (stopped_) {
        return;
    }
    if (address & 1) {
        stopOnOddAccess(address);
        return;
    }
    if (inCoreRegisterArea(address) && coreRegisterWrite(address, value)) {
        return;
    }
    if (std::uint8_t* p = direct(data_, address)) {
        storeLittle(p, value);
        return;
    }
    bus_.write16(address, value);
}

std::uint8_t Core::readByte(std::uint32_t address) {
    if (stopped_) {
        return 0;
    }
    std::uint16_t word = 0;
    if (inCoreRegisterArea(address) && coreRegisterRead(address & ~1U, word)) {
        return static_cast<std::uint8_t>((address & 1) ? word >> 8 : word);
    }
    if (const std::uint8_t* p = direct(data_, address)) {
        return *p;
    }
    return bus_.read8(address);
}

void Core::writeByte(std::uint32_t address, std::uint8_t value) {
    if (stopped_) {
        return;
    }
    std::uint16_t word = 0;
    if (inCoreRegisterArea(address) && coreRegisterRead(address & ~1U, word)) {
        const std::uint16_t merged =
            (address & 1) ? static_cast<std::uint16_t>((word & 0x00FF) | (value << 8))
                          : static_cast<std::uint16_t>((word & 0xFF00) | value);
        coreRegisterWrite(address & ~1U, merged);
        return;
    }
    if (std::uint8_t* p = direct(data_, address)) {
        *p = value;
        return;
    }
    bus_.write8(address, value);
}

// --- GPRs ---

std::uint16_t Core::wordReg(unsigned n) {
    if (gprBase_) {
        return loadLittle(gprBase_ + 2 * n);
    }
    return readWord(static_cast<std::uint16_t>(cp_ + 2 * n));
}

void Core::setWordReg(unsigned n, std::uint16_t value) {
    if (gprBase_ && !stopped_) {
        storeLittle(gprBase_ + 2 * n, value);
        return;
    }
    writeWord(static_cast<std::uint16_t>(cp_ + 2 * n), value);
}

std::uint8_t Core::byteReg(unsigned n) {
    if (gprBase_) {
        return gprBase_[n];
    }
    return readByte(static_cast<std::uint16_t>(cp_ + n));
}

void Core::setByteReg(unsigned n, std::uint8_t value) {
    if (gprBase_ && !stopped_) {
        gprBase_[n] = value;
        return;
    }
    writeByte(static_cast<std::uint16_t>(cp_ + n), value);
}

std::uint32_t Core::regAddress(unsigned rr, bool byteAccess) const {
    if (rr >= 0xF0) {
        const unsigned n = rr & 0x0F;
        return static_cast<std::uint16_t>(cp_ + (byteAccess ? n : 2 * n));
    }
    return 0xFE00 + 2 * rr;
}

std::uint32_t Core::bitWordAddress(unsigned bitoff) const {
    if (bitoff < 0x80) {
        return 0xFD00 + 2 * bitoff;
    }
    if (bitoff < 0xF0) {
        return 0xFF00 + 2 * (bitoff - 0x80);
    }
    return regAddress(bitoff, false);
}

// The system stack lives in segment 0; SP is a physical address there.
void Core::push(std::uint16_t value) {
    if (stopped_) {
        return;
    }
    sp_ = static_cast<std::uint16_t>(sp_ - 2);
    writeWord(sp_, value);
}

std::uint16_t Core::pop() {
    const std::uint16_t value = readWord(sp_);
    if (!stopped_) {
        sp_ = static_cast<std::uint16_t>(sp_ + 2);
    }
    return value;
}

// --- execution ---

std::uint32_t Core::fetch(std::uint32_t address, unsigned length) {
    if ((address & kBlockMask) <= kDirectBlockBytes - length) {
        if (const std::uint8_t* p = direct(code_, address)) {
            std::uint32_t code = 0;
            for (unsigned i = 0; i < length; ++i) {
                code |= std::uint32_t{p[i]} << (8 * i);
            }
            return code;
        }
    }
    std::uint32_t code = 0;
    for (unsigned i = 0; i < length; i += 2) {
        code |= std::uint32_t{bus_.read16(address + i)} << (8 * i);
    }
    return code;
}

void Core::stop(const std::string& why) {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    char where[32];
    std::snprintf(where, sizeof where, " at %06X", static_cast<unsigned>(instructionAddress_));
    diagnostic_ = why + where;
    if (instructionLength_ != 0) {
        diagnostic_ += ": " + hexBytes(instructionCode_, instructionLength_);
    }
}

// On the chip an odd word access raises the illegal-operand-access trap; this model has no trap
// handling, so it stops rather than silently aligning the address.
void Core::stopOnOddAccess(std::uint32_t address) {
    char text[40];
    std::snprintf(text, sizeof text, "odd word access to %06X", static_cast<unsigned>(address));
    stop(text);
}

void Core::traceInstruction(std::uint32_t address, std::uint32_t code, unsigned length) {
    std::array<std::uint8_t, 4> bytes{};
    for (unsigned i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(code >> (8 * i));
    }
    const Disassembly text = disassemble(bytes, address);
    std::fprintf(trace_, "%06X  %-12s %s\n", static_cast<unsigned>(address),
                 hexBytes(code, length).c_str(), text.text.c_str());
}

unsigned Core::step() {
    if (stopped_) {
        return 0;
    }
    if (!gprResolved_) {
        resolveGprBase();
    }
    const std::uint16_t startIp = ip_;
    instructionAddress_ = fetchAddress();
    if (startIp & 1) {
        instructionCode_ = 0;
        instructionLength_ = 0;
        stop("odd instruction address");
        return 0;
    }
    std::uint32_t code = fetch(instructionAddress_, 2);
    const Opcode& op = kTable[code & 0xFF];
    const unsigned length = op.handler ? op.length : 2;
    if (length == 4) {
        const auto second = static_cast<std::uint16_t>(startIp + 2);
        code |= fetch((std::uint32_t{csp_} << 16) | second, 2) << 16;
    }
    instructionCode_ = code;
    instructionLength_ = length;
    if (!op.handler || !formAccepts(op, code)) {
        stop("unknown instruction");
        return 0;
    }
    if (trace_) {
        traceInstruction(instructionAddress_, code, length);
    }
    ip_ = static_cast<std::uint16_t>(startIp + length);
    extraCycles_ = 0;
    op.handler(*this, code);
    if (stopped_) {
        ip_ = startIp;
        return 0;
    }
    ++instructions_;
    return op.cycles + extraCycles_;
}

std::uint64_t Core::run(std::uint64_t maxInstructions) {
    std::uint64_t cycles = 0;
    for (std::uint64_t i = 0; i < maxInstructions && !stopped_; ++i) {
        cycles += step();
    }
    return cycles;
}

}  // namespace halvard::sim
