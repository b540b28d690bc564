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
    static T sub(Core& core, T a, T b, unsigned borrowIn) {
        const T result = static_cast<T>(a - b - borrowIn);
        setFlags(core, kArithmeticFlags,
                 flag(b == signBit<T>(), kE) | flag(result == 0, kZ) |
                     flag((a ^ b) & (a ^ result) & signBit<T>(), kV) |
                     flag(unsigned{a} < unsigned{b} + borrowIn, kC) |
                     flag(result & signBit<T>(), kN));
        return result;
    }
    // Logical operations: E from the second operand (lowest negative), Z and N from the result,
    // V and C cleared.
    template <class T>
    static T logical(Core& core, T result, T b) {
        setFlags(
            core, kArithmeticFlags,
            flag(b == signBit<T>(), kE) | flag(result == 0, kZ) | flag(result & signBit<T>(), kN));
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

    // --- MOV class ---
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
    template <class T>
    static void movIndMem(Core& core, std::uint32_t code) {
        const T value = load<T>(core, core.physical(word23(code)));
        moveFlags(core, value);
        store<T>(core, indirect(core, low(byte1(code))), value);
    }
    template <class T>
    static void movMemInd(Core& core, std::uint32_t code) {
        const T value = load<T>(core, indirect(core, low(byte1(code))));
        moveFlags(core, value);
        store<T>(core, core.physical(word23(code)), value);
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
    // [-Rwm], Rn: Rn is read before the pointer moves (which matters only for MOV [-R3], R3),
    // and the pointer moves after the store, so an odd address stops the core with no change.
    template <class T>
    static void movDecIndReg(Core& core, std::uint32_t code) {
        const unsigned pointer = low(byte1(code));
        const auto address = static_cast<std::uint16_t>(core.wordReg(pointer) - sizeof(T));
        const T value = gpr<T>(core, high(byte1(code)));
        moveFlags(core, value);
        store<T>(core, core.physical(address), value);
        core.setWordReg(pointer, address);
    }
    // [Rwn(+)], [Rwm(+)]: both addresses are taken before either pointer moves.
    template <class T, bool IncrementDestination, bool IncrementSource>
    static void movIndInd(Core& core, std::uint32_t code) {
        const unsigned destination = high(byte1(code));
        const unsigned source = low(byte1(code));
        const std::uint32_t target = indirect(core, destination);
        const T value = load<T>(core, indirect(core, source));
        moveFlags(core, value);
        store<T>(core, target, value);
        if constexpr (IncrementSource) {
            postIncrement<T>(core, source);
        }
        if constexpr (IncrementDestination) {
            postIncrement<T>(core, destination);
        }
    }
    static std::uint16_t displaced(Core& core, std::uint32_t code) {
        return static_cast<std::uint16_t>(core.wordReg(low(byte1(code))) + word23(code));
    }
    template <class T>
    static void movRegIndDisp(Core& core, std::uint32_t code) {
        const T value = load<T>(core, core.physical(displaced(core, code)));
        moveFlags(core, value);
        setGpr<T>(core, high(byte1(code)), value);
    }
    template <class T>
    static void movIndDispReg(Core& core, std::uint32_t code) {
        const T value = gpr<T>(core, high(byte1(code)));
        moveFlags(core, value);
        store<T>(core, core.physical(displaced(core, code)), value);
    }
    // MOVBZ/MOVBS: E cleared, Z from the byte, N its bit 7 (MOVBS) or cleared (MOVBZ).
    template <bool Signed>
    static std::uint16_t widen(Core& core, std::uint8_t byte) {
        const bool negative = Signed && (byte & 0x80);
        setFlags(core, kE | kZ | kN, flag(byte == 0, kZ) | flag(negative, kN));
        return static_cast<std::uint16_t>(negative ? 0xFF00 | byte : byte);
    }
    // Rwn, Rbm: byte 1 = source (high nibble), destination (low nibble).
    template <bool Signed>
    static void movbxRegReg(Core& core, std::uint32_t code) {
        core.setWordReg(low(byte1(code)), widen<Signed>(core, core.byteReg(high(byte1(code)))));
    }
    template <bool Signed>
    static void movbxRegMem(Core& core, std::uint32_t code) {
        const std::uint8_t byte = core.readByte(core.physical(word23(code)));
        setReg<std::uint16_t>(core, byte1(code), widen<Signed>(core, byte));
    }
    template <bool Signed>
    static void movbxMemReg(Core& core, std::uint32_t code) {
        const std::uint16_t value = widen<Signed>(core, reg<std::uint8_t>(core, byte1(code)));
        core.writeWord(core.physical(word23(code)), value);
    }

    // --- ADD ... OR: one template per addressing form, the operation as a parameter ---
    enum class Alu : std::uint8_t { Add, Addc, Sub, Subc, Cmp, Xor, And, Or };

    // ADDC, SUBC: Z stays set only if the result is zero and Z was set before (multi-precision).
    static void keepZeroOnlyIfSet(Core& core, bool zeroBefore) {
        if (!zeroBefore) {
            setFlags(core, kZ, 0);
        }
    }
    template <Alu A, class T>
    static T alu(Core& core, T a, T b) {
        const bool zeroBefore = core.psw_ & kZ;
        const unsigned carry = (core.psw_ & kC) ? 1 : 0;
        if constexpr (A == Alu::Add) {
            return add<T>(core, a, b, 0);
        } else if constexpr (A == Alu::Addc) {
            const T sum = add<T>(core, a, b, carry);
            keepZeroOnlyIfSet(core, zeroBefore);
            return sum;
        } else if constexpr (A == Alu::Sub || A == Alu::Cmp) {
            return sub<T>(core, a, b, 0);
        } else if constexpr (A == Alu::Subc) {
            const T difference = sub<T>(core, a, b, carry);
            keepZeroOnlyIfSet(core, zeroBefore);
            return difference;
        } else if constexpr (A == Alu::And) {
            return logical<T>(core, static_cast<T>(a & b), b);
        } else if constexpr (A == Alu::Or) {
            return logical<T>(core, static_cast<T>(a | b), b);
        } else {
            return logical<T>(core, static_cast<T>(a ^ b), b);
        }
    }
    template <Alu A, class T>
    static void intoGpr(Core& core, unsigned n, T operand) {
        const T result = alu<A, T>(core, gpr<T>(core, n), operand);
        if constexpr (A != Alu::Cmp) {
            setGpr<T>(core, n, result);
        }
    }
    template <Alu A, class T>
    static void intoReg(Core& core, unsigned rr, T operand) {
        const T result = alu<A, T>(core, reg<T>(core, rr), operand);
        if constexpr (A != Alu::Cmp) {
            setReg<T>(core, rr, result);
        }
    }
    template <Alu A, class T>
    static void aluRegReg(Core& core, std::uint32_t code) {
        intoGpr<A, T>(core, high(byte1(code)), gpr<T>(core, low(byte1(code))));
    }
    template <Alu A, class T>
    static void aluRegData3(Core& core, std::uint32_t code) {
        intoGpr<A, T>(core, high(byte1(code)), static_cast<T>(byte1(code) & 7));
    }
    template <Alu A, class T>
    static void aluRegIndI(Core& core, std::uint32_t code) {
        intoGpr<A, T>(core, high(byte1(code)), load<T>(core, indirect(core, byte1(code) & 3)));
    }
    template <Alu A, class T>
    static void aluRegIndIncI(Core& core, std::uint32_t code) {
        const unsigned pointer = byte1(code) & 3;
        const T operand = load<T>(core, indirect(core, pointer));
        postIncrement<T>(core, pointer);
        intoGpr<A, T>(core, high(byte1(code)), operand);
    }
    // reg, #data16 / #data8 (the low byte of the word, byte 3 ignored).
    template <Alu A, class T>
    static void aluRegImm(Core& core, std::uint32_t code) {
        intoReg<A, T>(core, byte1(code), static_cast<T>(word23(code)));
    }
    template <Alu A, class T>
    static void aluRegMem(Core& core, std::uint32_t code) {
        intoReg<A, T>(core, byte1(code), load<T>(core, core.physical(word23(code))));
    }
    // mem, reg: the memory operand is the destination, the register the source (E judges it).
    template <Alu A, class T>
    static void aluMemReg(Core& core, std::uint32_t code) {
        const std::uint32_t address = core.physical(word23(code));
        const T result = alu<A, T>(core, load<T>(core, address), reg<T>(core, byte1(code)));
        store<T>(core, address, result);
    }

    // CMPI1/2, CMPD1/2: the flags come from the comparison with the original value, then Rn
    // steps by `Step`.
    template <int Step>
    static void compareAndStep(Core& core, unsigned n, std::uint16_t operand) {
        const std::uint16_t value = core.wordReg(n);
        sub<std::uint16_t>(core, value, operand, 0);
        core.setWordReg(n, static_cast<std::uint16_t>(value + Step));
    }
    template <int Step>
    static void cmpStepData4(Core& core, std::uint32_t code) {
        compareAndStep<Step>(core, low(byte1(code)), static_cast<std::uint16_t>(high(byte1(code))));
    }
    template <int Step>
    static void cmpStepImm(Core& core, std::uint32_t code) {
        compareAndStep<Step>(core, low(byte1(code)), word23(code));
    }
    template <int Step>
    static void cmpStepMem(Core& core, std::uint32_t code) {
        const std::uint16_t operand = core.readWord(core.physical(word23(code)));
        compareAndStep<Step>(core, low(byte1(code)), operand);
    }

    // NEG is 0 - Rn with the flags of SUB: E for the lowest negative value, C unless Rn was 0.
    template <class T>
    static void neg(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        setGpr<T>(core, n, sub<T>(core, T{0}, gpr<T>(core, n), 0));
    }
    // CPL: flags as the logical operations, E judging the operand before it is complemented (the
    // only operand there is).
    template <class T>
    static void cpl(Core& core, std::uint32_t code) {
        const unsigned n = high(byte1(code));
        const T value = gpr<T>(core, n);
        setGpr<T>(core, n, logical<T>(core, static_cast<T>(~value), value));
    }

    // --- shifts and rotates (word only) ---
    struct Shifted {
        std::uint16_t result;
        bool carry;     // the last bit out; false for a count of 0
        bool overflow;  // SHR, ASHR, ROR: an earlier bit out (through C) was 1
    };
    // Bits 0 .. count-2 leave through C before the last one does.
    static bool earlierBitsOut(std::uint16_t value, unsigned count) {
        return count > 1 && (value & ((1U << (count - 1)) - 1)) != 0;
    }
    static bool bitAt(std::uint16_t value, unsigned bit) { return (value >> bit) & 1; }
    static Shifted shiftLeft(std::uint16_t value, unsigned count) {
        return {static_cast<std::uint16_t>(value << count), count != 0 && bitAt(value, 16 - count),
                false};
    }
    static Shifted shiftRight(std::uint16_t value, unsigned count) {
        return {static_cast<std::uint16_t>(value >> count), count != 0 && bitAt(value, count - 1),
                earlierBitsOut(value, count)};
    }
    static Shifted shiftRightArithmetic(std::uint16_t value, unsigned count) {
        const auto result = static_cast<std::uint16_t>(static_cast<std::int16_t>(value) >> count);
        return {result, count != 0 && bitAt(value, count - 1), earlierBitsOut(value, count)};
    }
    static Shifted rotateRight(std::uint16_t value, unsigned count) {
        if (count == 0) {
            return {value, false, false};
        }
        const auto result = static_cast<std::uint16_t>((value >> count) | (value << (16 - count)));
        return {result, bitAt(value, count - 1), earlierBitsOut(value, count)};
    }
    // ROL leaves V cleared: only the right-going instructions use it as a rounding flag.
    static Shifted rotateLeft(std::uint16_t value, unsigned count) {
        if (count == 0) {
            return {value, false, false};
        }
        const auto result = static_cast<std::uint16_t>((value << count) | (value >> (16 - count)));
        return {result, bitAt(value, 16 - count), false};
    }
    using ShiftOperation = Shifted (*)(std::uint16_t, unsigned);
    // E cleared, Z and N from the result.
    template <ShiftOperation Operation>
    static void shift(Core& core, unsigned n, unsigned count) {
        const Shifted s = Operation(core.wordReg(n), count);
        setFlags(core, kArithmeticFlags,
                 flag(s.result == 0, kZ) | flag(s.overflow, kV) | flag(s.carry, kC) |
                     flag(s.result & 0x8000, kN));
        core.setWordReg(n, s.result);
    }
    // Rn, #data4: op #n (the count in the high nibble).
    template <ShiftOperation Operation>
    static void shiftData4(Core& core, std::uint32_t code) {
        shift<Operation>(core, low(byte1(code)), high(byte1(code)));
    }
    // Rn, Rm: op nm; only the low 4 bits of Rm count.
    template <ShiftOperation Operation>
    static void shiftReg(Core& core, std::uint32_t code) {
        shift<Operation>(core, high(byte1(code)), core.wordReg(low(byte1(code))) & 0x0F);
    }

    // --- bits ---
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

    // --- jumps, calls, returns ---
    template <bool JumpIfSet>
    static void jumpOnBit(Core& core, std::uint32_t code) {
        const bool bit = (bitWord(core, byte1(code)) >> high(byte3(code))) & 1;
        if (bit == JumpIfSet) {
            branch(core, relative(core.ip_, byte2(code)));
        }
    }
    // JBC (JumpIfSet) and JNBS: the flags of a bit instruction from the tested bit; a jump also
    // flips the bit, after the flags, so a jump on a PSW bit keeps the flipped bit.
    template <bool JumpIfSet>
    static void jumpOnBitAndFlip(Core& core, std::uint32_t code) {
        const unsigned bitoff = byte1(code);
        const unsigned bit = high(byte3(code));
        const std::uint16_t word = bitWord(core, bitoff);
        const bool value = (word >> bit) & 1;
        bitFlags(core, value);
        if (value == JumpIfSet) {
            setBitWord(core, bitoff, withBit(word, bit, !JumpIfSet));
            branch(core, relative(core.ip_, byte2(code)));
        }
    }
    static void jmpr(Core& core, std::uint32_t code) {
        if (conditionHolds(high(code & 0xFF), core.psw_)) {
            branch(core, relative(core.ip_, byte1(code)));
        }
    }
    static void jmpa(Core& core, std::uint32_t code) {
        if (conditionHolds(high(byte1(code)), core.psw_)) {
            branch(core, word23(code));
        }
    }
    static void jmps(Core& core, std::uint32_t code) {
        core.csp_ = static_cast<std::uint16_t>(byte1(code));
        branch(core, word23(code));
    }
    static void callr(Core& core, std::uint32_t code) {
        core.push(core.ip_);
        branch(core, relative(core.ip_, byte1(code)));
    }
    static void calla(Core& core, std::uint32_t code) {
        if (conditionHolds(high(byte1(code)), core.psw_)) {
            core.push(core.ip_);
            branch(core, word23(code));
        }
    }
    // CALLS pushes CSP, then IP, whether or not segmentation is enabled; RETS undoes both.
    static void calls(Core& core, std::uint32_t code) {
        core.push(core.csp_);
        core.push(core.ip_);
        jmps(core, code);
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
    // CSP has 8 bits; the popped word's high byte does not exist in it.
    static void rets(Core& core, std::uint32_t) {
        core.ip_ = core.pop();
        core.csp_ = core.pop() & 0x00FF;
    }
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

    // --- EXTS / EXTP: the data addresses of the next 1-4 instructions ---
    static unsigned extensionRange(std::uint32_t code) { return ((byte1(code) >> 4) & 3) + 1; }
    // step() counts every instruction off the range, this one too, hence the + 1.
    static void extend(Core& core, bool page, unsigned value, unsigned range) {
        core.extPage_ = page;
        core.extBase_ = page ? (value & kPageBits) << 14 : (value & 0xFFU) << 16;
        core.extRemaining_ = range + 1;
    }
    static void extsImm(Core& core, std::uint32_t code) {
        extend(core, false, byte2(code), extensionRange(code));
    }
    static void extpImm(Core& core, std::uint32_t code) {
        extend(core, true, word23(code), extensionRange(code));
    }
    template <bool Page>
    static void extReg(Core& core, std::uint32_t code) {
        extend(core, Page, core.wordReg(low(byte1(code))), extensionRange(code));
    }
};

namespace {

using B = std::uint8_t;
using W = std::uint16_t;
using Alu = Exec::Alu;

// Approximate timing in CPU clock cycles (state times; at 20 MHz a basic instruction's 2 cycles
// are the chip's 100 ns): one machine cycle (2 clocks) per 2 bytes of instruction; stack operations
// and calls cost one machine cycle more; a taken branch adds another machine cycle for the refetch
// (Exec::branch). Bus wait states, pipeline effects and jump-cache hits are not modelled: the
// figures only let the board keep a plausible time.
constexpr std::uint8_t kShort = 2;
constexpr std::uint8_t kLong = 4;
constexpr std::uint8_t kStack = 4;
// A 4-byte call: two machine cycles for the bytes, one for the stack.
constexpr std::uint8_t kLongStack = 6;
// A 2-byte move from memory to memory makes two data accesses, like a stack operation's
// instruction fetch plus push, and costs the same.
constexpr std::uint8_t kTwoAccesses = 4;

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
    {0x84, {"MOV",   Form::IndMem,       Width::Word, 4, kLong,  0, &Exec::movIndMem<W>}},
    {0xA4, {"MOVB",  Form::IndMem,       Width::Byte, 4, kLong,  0, &Exec::movIndMem<B>}},
    {0x94, {"MOV",   Form::MemInd,       Width::Word, 4, kLong,  0, &Exec::movMemInd<W>}},
    {0xB4, {"MOVB",  Form::MemInd,       Width::Byte, 4, kLong,  0, &Exec::movMemInd<B>}},
    {0xA8, {"MOV",   Form::RegInd,       Width::Word, 2, kShort, 0, &Exec::movRegInd<W>}},
    {0xA9, {"MOVB",  Form::RegInd,       Width::Byte, 2, kShort, 0, &Exec::movRegInd<B>}},
    {0x98, {"MOV",   Form::RegIndInc,    Width::Word, 2, kShort, 0, &Exec::movRegIndInc<W>}},
    {0x99, {"MOVB",  Form::RegIndInc,    Width::Byte, 2, kShort, 0, &Exec::movRegIndInc<B>}},
    {0xB8, {"MOV",   Form::IndReg,       Width::Word, 2, kShort, 0, &Exec::movIndReg<W>}},
    {0xB9, {"MOVB",  Form::IndReg,       Width::Byte, 2, kShort, 0, &Exec::movIndReg<B>}},
    {0x88, {"MOV",   Form::DecIndReg,    Width::Word, 2, kShort, 0, &Exec::movDecIndReg<W>}},
    {0x89, {"MOVB",  Form::DecIndReg,    Width::Byte, 2, kShort, 0, &Exec::movDecIndReg<B>}},
    {0xC8, {"MOV",   Form::IndInd,       Width::Word, 2, kTwoAccesses, 0, &Exec::movIndInd<W, false, false>}},
    {0xC9, {"MOVB",  Form::IndInd,       Width::Byte, 2, kTwoAccesses, 0, &Exec::movIndInd<B, false, false>}},
    {0xD8, {"MOV",   Form::IndIncInd,    Width::Word, 2, kTwoAccesses, 0, &Exec::movIndInd<W, true, false>}},
    {0xD9, {"MOVB",  Form::IndIncInd,    Width::Byte, 2, kTwoAccesses, 0, &Exec::movIndInd<B, true, false>}},
    {0xE8, {"MOV",   Form::IndIndInc,    Width::Word, 2, kTwoAccesses, 0, &Exec::movIndInd<W, false, true>}},
    {0xE9, {"MOVB",  Form::IndIndInc,    Width::Byte, 2, kTwoAccesses, 0, &Exec::movIndInd<B, false, true>}},
    {0xD4, {"MOV",   Form::RegIndDisp,   Width::Word, 4, kLong,  0, &Exec::movRegIndDisp<W>}},
    {0xF4, {"MOVB",  Form::RegIndDisp,   Width::Byte, 4, kLong,  0, &Exec::movRegIndDisp<B>}},
    {0xC4, {"MOV",   Form::IndDispReg,   Width::Word, 4, kLong,  0, &Exec::movIndDispReg<W>}},
    {0xE4, {"MOVB",  Form::IndDispReg,   Width::Byte, 4, kLong,  0, &Exec::movIndDispReg<B>}},
    {0xC0, {"MOVBZ", Form::WordFromByte, Width::Word, 2, kShort, 0, &Exec::movbxRegReg<false>}},
    {0xC2, {"MOVBZ", Form::RegMem,       Width::Word, 4, kLong,  0, &Exec::movbxRegMem<false>}},
    {0xC5, {"MOVBZ", Form::MemReg,       Width::Byte, 4, kLong,  0, &Exec::movbxMemReg<false>}},
    {0xD0, {"MOVBS", Form::WordFromByte, Width::Word, 2, kShort, 0, &Exec::movbxRegReg<true>}},
    {0xD2, {"MOVBS", Form::RegMem,       Width::Word, 4, kLong,  0, &Exec::movbxRegMem<true>}},
    {0xD5, {"MOVBS", Form::MemReg,       Width::Byte, 4, kLong,  0, &Exec::movbxMemReg<true>}},
    {0x80, {"CMPI1", Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::cmpStepData4<1>}},
    {0x86, {"CMPI1", Form::GprImm16,     Width::Word, 4, kLong,  0, &Exec::cmpStepImm<1>}},
    {0x82, {"CMPI1", Form::GprMem,       Width::Word, 4, kLong,  0, &Exec::cmpStepMem<1>}},
    {0x90, {"CMPI2", Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::cmpStepData4<2>}},
    {0x96, {"CMPI2", Form::GprImm16,     Width::Word, 4, kLong,  0, &Exec::cmpStepImm<2>}},
    {0x92, {"CMPI2", Form::GprMem,       Width::Word, 4, kLong,  0, &Exec::cmpStepMem<2>}},
    {0xA0, {"CMPD1", Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::cmpStepData4<-1>}},
    {0xA6, {"CMPD1", Form::GprImm16,     Width::Word, 4, kLong,  0, &Exec::cmpStepImm<-1>}},
    {0xA2, {"CMPD1", Form::GprMem,       Width::Word, 4, kLong,  0, &Exec::cmpStepMem<-1>}},
    {0xB0, {"CMPD2", Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::cmpStepData4<-2>}},
    {0xB6, {"CMPD2", Form::GprImm16,     Width::Word, 4, kLong,  0, &Exec::cmpStepImm<-2>}},
    {0xB2, {"CMPD2", Form::GprMem,       Width::Word, 4, kLong,  0, &Exec::cmpStepMem<-2>}},
    {0x81, {"NEG",   Form::Gpr,          Width::Word, 2, kShort, 0, &Exec::neg<W>}},
    {0xA1, {"NEGB",  Form::Gpr,          Width::Byte, 2, kShort, 0, &Exec::neg<B>}},
    {0x91, {"CPL",   Form::Gpr,          Width::Word, 2, kShort, 0, &Exec::cpl<W>}},
    {0xB1, {"CPLB",  Form::Gpr,          Width::Byte, 2, kShort, 0, &Exec::cpl<B>}},
    {0x4C, {"SHL",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::shiftReg<&Exec::shiftLeft>}},
    {0x5C, {"SHL",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shiftData4<&Exec::shiftLeft>}},
    {0x6C, {"SHR",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::shiftReg<&Exec::shiftRight>}},
    {0x7C, {"SHR",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shiftData4<&Exec::shiftRight>}},
    {0x0C, {"ROL",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::shiftReg<&Exec::rotateLeft>}},
    {0x1C, {"ROL",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shiftData4<&Exec::rotateLeft>}},
    {0x2C, {"ROR",   Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::shiftReg<&Exec::rotateRight>}},
    {0x3C, {"ROR",   Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shiftData4<&Exec::rotateRight>}},
    {0xAC, {"ASHR",  Form::RegReg,       Width::Word, 2, kShort, 0, &Exec::shiftReg<&Exec::shiftRightArithmetic>}},
    {0xBC, {"ASHR",  Form::RegData4,     Width::Word, 2, kShort, 0, &Exec::shiftData4<&Exec::shiftRightArithmetic>}},
    {0x4A, {"BMOV",  Form::BitBit,       Width::Word, 4, kLong,  0, &Exec::bitMove<false>}},
    {0x3A, {"BMOVN", Form::BitBit,       Width::Word, 4, kLong,  0, &Exec::bitMove<true>}},
    {0x8A, {"JB",    Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBit<true>}},
    {0x9A, {"JNB",   Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBit<false>}},
    {0xAA, {"JBC",   Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBitAndFlip<true>}},
    {0xBA, {"JNBS",  Form::BitRel,       Width::Word, 4, kLong,  0, &Exec::jumpOnBitAndFlip<false>}},
    {0xEA, {"JMPA",  Form::CondAbs,      Width::Word, 4, kLong,  0, &Exec::jmpa}},
    {0xFA, {"JMPS",  Form::SegAbs,       Width::Word, 4, kLong,  0, &Exec::jmps}},
    {0xCA, {"CALLA", Form::CondAbs,      Width::Word, 4, kLongStack, 0, &Exec::calla}},
    {0xDA, {"CALLS", Form::SegAbs,       Width::Word, 4, kLongStack, 0, &Exec::calls}},
    {0xBB, {"CALLR", Form::Rel,          Width::Word, 2, kStack, 0, &Exec::callr}},
    {0xAB, {"CALLI", Form::CondInd,      Width::Word, 2, kStack, 0, &Exec::calli}},
    {0x9C, {"JMPI",  Form::CondInd,      Width::Word, 2, kShort, 0, &Exec::jmpi}},
    {0xCB, {"RET",   Form::Fixed,        Width::Word, 2, kStack, 0x00CB, &Exec::ret}},
    {0xDB, {"RETS",  Form::Fixed,        Width::Word, 2, kStack, 0x00DB, &Exec::rets}},
    {0xFB, {"RETI",  Form::Fixed,        Width::Word, 2, kStack, 0x88FB, &Exec::reti}},
    {0xEC, {"PUSH",  Form::Reg,          Width::Word, 2, kStack, 0, &Exec::push}},
    {0xFC, {"POP",   Form::Reg,          Width::Word, 2, kStack, 0, &Exec::pop}},
    {0xD7, {"EXTS",  Form::ExtSeg,       Width::Word, 4, kLong,  0, &Exec::extsImm}},
    {0xD7, {"EXTP",  Form::ExtPage,      Width::Word, 4, kLong,  0, &Exec::extpImm}},
    {0xDC, {"EXTS",  Form::ExtSegReg,    Width::Word, 2, kShort, 0, &Exec::extReg<false>}},
    {0xDC, {"EXTP",  Form::ExtPageReg,   Width::Word, 2, kShort, 0, &Exec::extReg<true>}},
};

// ADD .. OR share one layout: x0/x1 Rn,Rm; x2/x3 reg,mem; x4/x5 mem,reg (not CMP); x6/x7
// reg,#data16/#data8; x8/x9 Rn,#data3 / [Rwi] / [Rwi+]. Odd opcodes are the byte forms.
constexpr std::size_t kAluFormCount = 18;

template <Alu A>
constexpr std::array<Row, kAluFormCount> aluFamily(unsigned base, std::string_view word,
                                                   std::string_view byte) {
    // CMP has no mem,reg form: its rows stay unnamed, and forEachForm leaves them out by the name
    // (a handler compared with null is no constant expression under the sanitizers).
    const Handler memRegW = A == Alu::Cmp ? nullptr : &Exec::aluMemReg<A, W>;
    const Handler memRegB = A == Alu::Cmp ? nullptr : &Exec::aluMemReg<A, B>;
    const std::string_view memRegWord = A == Alu::Cmp ? std::string_view{} : word;
    const std::string_view memRegByte = A == Alu::Cmp ? std::string_view{} : byte;
    return {{
        {base + 0, {word, Form::RegReg,     Width::Word, 2, kShort, 0, &Exec::aluRegReg<A, W>}},
        {base + 1, {byte, Form::RegReg,     Width::Byte, 2, kShort, 0, &Exec::aluRegReg<A, B>}},
        {base + 2, {word, Form::RegMem,     Width::Word, 4, kLong,  0, &Exec::aluRegMem<A, W>}},
        {base + 3, {byte, Form::RegMem,     Width::Byte, 4, kLong,  0, &Exec::aluRegMem<A, B>}},
        {base + 4, {memRegWord, Form::MemReg, Width::Word, 4, kLong, 0, memRegW}},
        {base + 5, {memRegByte, Form::MemReg, Width::Byte, 4, kLong, 0, memRegB}},
        {base + 6, {word, Form::RegImm16,   Width::Word, 4, kLong,  0, &Exec::aluRegImm<A, W>}},
        {base + 7, {byte, Form::RegImm8,    Width::Byte, 4, kLong,  0, &Exec::aluRegImm<A, B>}},
        {base + 8, {word, Form::RegData3,   Width::Word, 2, kShort, 0, &Exec::aluRegData3<A, W>}},
        {base + 8, {word, Form::RegIndI,    Width::Word, 2, kShort, 0, &Exec::aluRegIndI<A, W>}},
        {base + 8, {word, Form::RegIndIncI, Width::Word, 2, kShort, 0, &Exec::aluRegIndIncI<A, W>}},
        {base + 9, {byte, Form::RegData3,   Width::Byte, 2, kShort, 0, &Exec::aluRegData3<A, B>}},
        {base + 9, {byte, Form::RegIndI,    Width::Byte, 2, kShort, 0, &Exec::aluRegIndI<A, B>}},
        {base + 9, {byte, Form::RegIndIncI, Width::Byte, 2, kShort, 0, &Exec::aluRegIndIncI<A, B>}},
    }};
}
// clang-format on

constexpr std::array<std::array<Row, kAluFormCount>, 8> kAluFamilies = {
    aluFamily<Alu::Add>(0x00, "ADD", "ADDB"), aluFamily<Alu::Addc>(0x10, "ADDC", "ADDCB"),
    aluFamily<Alu::Sub>(0x20, "SUB", "SUBB"), aluFamily<Alu::Subc>(0x30, "SUBC", "SUBCB"),
    aluFamily<Alu::Cmp>(0x40, "CMP", "CMPB"), aluFamily<Alu::Xor>(0x50, "XOR", "XORB"),
    aluFamily<Alu::And>(0x60, "AND", "ANDB"), aluFamily<Alu::Or>(0x70, "OR", "ORB"),
};

// Calls `visit(opcode, row)` for every implemented form.
template <class Visit>
constexpr void forEachForm(Visit visit) {
    for (const Row& row : kRows) {
        visit(row.opcode, row.op);
    }
    for (const auto& family : kAluFamilies) {
        for (const Row& row : family) {
            if (!row.op.mnemonic.empty()) {
                visit(row.opcode, row.op);
            }
        }
    }
    // Families with a 4-bit field in the opcode byte itself: JMPR cc (cD), BCLR (qE), BSET (qF).
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
        visit(nibble << 4 | 0x0D, {"JMPR", Form::CondRel, Width::Word, 2, kShort, 0, &Exec::jmpr});
        visit(nibble << 4 | 0x0E,
              {"BCLR", Form::Bit, Width::Word, 2, kShort, 0, &Exec::bitSet<false>});
        visit(nibble << 4 | 0x0F,
              {"BSET", Form::Bit, Width::Word, 2, kShort, 0, &Exec::bitSet<true>});
    }
}

constexpr std::size_t countForms() {
    std::size_t count = 0;
    forEachForm([&](unsigned, const Opcode&) { ++count; });
    return count;
}

constexpr std::array<Opcode, countForms()> buildForms() {
    std::array<Opcode, countForms()> forms{};
    std::size_t next = 0;
    forEachForm([&](unsigned opcode, Opcode op) {
        op.opcode = static_cast<std::uint8_t>(opcode);
        forms[next++] = op;
    });
    return forms;
}

constexpr auto kForms = buildForms();

// The rows of one opcode byte, as indexes into kForms.
struct Slot {
    std::array<std::uint16_t, 3> forms{};
    std::uint8_t count = 0;
    std::uint8_t length = 2;
};

constexpr std::array<Slot, 256> buildSlots() {
    std::array<Slot, 256> slots{};
    for (std::size_t i = 0; i < kForms.size(); ++i) {
        Slot& slot = slots[kForms[i].opcode];
        slot.forms.at(slot.count++) =
            static_cast<std::uint16_t>(i);  // at(): too many stops the build
        slot.length = kForms[i].length;
    }
    return slots;
}

constexpr auto kSlots = buildSlots();

constexpr bool formsOfAnOpcodeShareTheirLength() {
    for (const Opcode& op : kForms) {
        if (op.length != kSlots[op.opcode].length) {
            return false;
        }
    }
    return true;
}
static_assert(formsOfAnOpcodeShareTheirLength());

}  // namespace

std::span<const Opcode> opcodeRows() {
    return kForms;
}

const Opcode* decode(std::uint32_t code) {
    const Slot& slot = kSlots[code & 0xFF];
    for (unsigned i = 0; i < slot.count; ++i) {
        const Opcode& op = kForms[slot.forms[i]];
        if (formAccepts(op, code)) {
            return &op;
        }
    }
    return nullptr;
}

unsigned instructionLength(std::uint8_t opcode) {
    return kSlots[opcode].length;
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
    extRemaining_ = 0;
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

// Inside an EXTS/EXTP range the override replaces the DPPs: a segment takes all 16 bits of the
// address as its offset, a page the low 14.
std::uint32_t Core::physical(std::uint16_t dataAddress) const {
    if (extRemaining_ != 0) {
        return extBase_ | (dataAddress & (extPage_ ? 0x3FFFU : 0xFFFFU));
    }
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
    const unsigned length = instructionLength(static_cast<std::uint8_t>(code));
    if (length == 4) {
        const auto second = static_cast<std::uint16_t>(startIp + 2);
        code |= fetch((std::uint32_t{csp_} << 16) | second, 2) << 16;
    }
    instructionCode_ = code;
    instructionLength_ = length;
    const Opcode* op = decode(code);
    if (!op) {
        stop("unknown instruction");
        return 0;
    }
    if (trace_) {
        traceInstruction(instructionAddress_, code, length);
    }
    ip_ = static_cast<std::uint16_t>(startIp + length);
    extraCycles_ = 0;
    op->handler(*this, code);
    if (stopped_) {
        ip_ = startIp;
        return 0;
    }
    if (extRemaining_ != 0) {
        --extRemaining_;
    }
    ++instructions_;
    return op->cycles + extraCycles_;
}

std::uint64_t Core::run(std::uint64_t maxInstructions) {
    std::uint64_t cycles = 0;
    for (std::uint64_t i = 0; i < maxInstructions && !stopped_; ++i) {
        cycles += step();
    }
    return cycles;
}

}  // namespace halvard::sim
