#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "sim/c166/bus.hpp"

namespace halvard::sim {

// A C166 CPU core with the instruction forms that target code for the boards uses: the MOV, ALU,
// compare-and-step, shift, bit, jump and call families, EXTS/EXTP; no multiply, divide or traps.
// Unknown opcodes, unimplemented addressing forms and odd word accesses stop it for good with a
// diagnostic: the board then falls silent instead of guessing.
class Core {
  public:
    // Does not touch the bus, so a Bus may own its Core as a member.
    explicit Core(Bus& bus);

    // The core owns its core registers: DPP0-3 (0xFE00-0xFE06, 10-bit page numbers; the upper
    // bits of a write are dropped and read as 0), CSP (0xFE08, read-only for data writes), MDH/MDL
    // (0xFE0C/0xFE0E), CP (0xFE10), SP (0xFE12), STKOV/STKUN (0xFE14/0xFE16), PSW (0xFF10), SYSCON
    // (0xFF12), ZEROS/ONES (0xFF1C/0xFF1E). Data accesses (mem, [Rw], reg, bitoff) to those
    // addresses reach the core's registers and never the bus; every other address goes to the bus.
    // GPRs are memory at CP (+2n), through the bus.
    void reset();  // chip reset values; also clears the stop state and the counters

    std::uint16_t ip() const { return ip_; }
    void setIp(std::uint16_t value) { ip_ = value; }
    std::uint16_t csp() const { return csp_; }
    void setCsp(std::uint16_t value) { csp_ = value; }
    std::uint16_t cp() const { return cp_; }
    void setCp(std::uint16_t value);
    std::uint16_t sp() const { return sp_; }
    void setSp(std::uint16_t value) { sp_ = value; }
    std::uint16_t psw() const { return psw_; }
    void setPsw(std::uint16_t value) { psw_ = value; }
    std::uint16_t dpp(int n) const { return dpp_[static_cast<unsigned>(n) & 3]; }
    void setDpp(int n, std::uint16_t value) { dpp_[static_cast<unsigned>(n) & 3] = value; }
    std::uint16_t syscon() const { return syscon_; }
    void setSyscon(std::uint16_t value) { syscon_ = value; }
    std::uint16_t gpr(int n);  // R0-R15 at CP + 2n
    void setGpr(int n, std::uint16_t value);

    // Executes one instruction and returns the CPU clock cycles (state times) it took, from the
    // approximate table in core.cpp; returns 0 and stops for good on an opcode or addressing form
    // it does not implement and on an odd word access, with a diagnostic such as
    // "unknown instruction at 00FA62: 12 34".
    unsigned step();
    // Steps until `maxInstructions` have run or the core stops; returns the cycles taken.
    std::uint64_t run(std::uint64_t maxInstructions);
    bool stopped() const { return stopped_; }
    const std::string& diagnostic() const { return diagnostic_; }
    std::uint64_t instructions() const { return instructions_; }  // executed so far
    // The physical address of the instruction that runs now (or ran last), for a bus that
    // reports an access of it.
    std::uint32_t instructionAddress() const { return instructionAddress_; }
    void setTrace(std::FILE* out) { trace_ = out; }  // one disassembled line per instruction

    // Forgets the cached Bus::directBlock answers (call when the bus mapping changes).
    void flushDirectBlocks();

  private:
    friend struct Exec;

    struct BlockCache {
        std::uint32_t block = ~0U;
        std::uint8_t* base = nullptr;
    };

    // Data side (all addresses physical, 24 bits).
    std::uint32_t physical(std::uint16_t dataAddress) const;
    std::uint8_t readByte(std::uint32_t address);
    void writeByte(std::uint32_t address, std::uint8_t value);
    std::uint16_t readWord(std::uint32_t address);
    void writeWord(std::uint32_t address, std::uint16_t value);
    bool coreRegisterRead(std::uint32_t address, std::uint16_t& value) const;
    bool coreRegisterWrite(std::uint32_t address, std::uint16_t value);
    std::uint8_t* direct(BlockCache& cache, std::uint32_t address);
    void resolveGprBase();

    // Register files and short addressing.
    std::uint16_t wordReg(unsigned n);
    void setWordReg(unsigned n, std::uint16_t value);
    std::uint8_t byteReg(unsigned n);
    void setByteReg(unsigned n, std::uint8_t value);
    std::uint32_t regAddress(unsigned rr, bool byteAccess) const;
    std::uint32_t bitWordAddress(unsigned bitoff) const;
    void push(std::uint16_t value);
    std::uint16_t pop();

    std::uint32_t fetchAddress() const { return (std::uint32_t{csp_} << 16) | ip_; }
    std::uint32_t fetch(std::uint32_t address, unsigned length);
    void stop(const std::string& why);
    void stopOnOddAccess(std::uint32_t address);
    void traceInstruction(std::uint32_t address, std::uint32_t code, unsigned length);

    Bus& bus_;
    std::uint16_t ip_ = 0;
    std::uint16_t csp_ = 0;
    std::uint16_t cp_ = 0;
    std::uint16_t sp_ = 0;
    std::uint16_t psw_ = 0;
    std::uint16_t syscon_ = 0;
    std::uint16_t mdh_ = 0;
    std::uint16_t mdl_ = 0;
    std::uint16_t stkov_ = 0;
    std::uint16_t stkun_ = 0;
    std::array<std::uint16_t, 4> dpp_{};

    std::uint8_t* gprBase_ = nullptr;  // CP..CP+31 in one direct block, else nullptr
    bool gprResolved_ = false;         // gprBase_ is up to date with CP
    BlockCache code_;
    BlockCache data_;

    std::uint32_t instructionAddress_ = 0;  // physical address of the executing instruction
    std::uint32_t instructionCode_ = 0;     // its bytes, first byte lowest
    unsigned instructionLength_ = 0;
    unsigned extraCycles_ = 0;

    // EXTS/EXTP: while extRemaining_ is non-zero, data addresses (mem, [Rw]) use extBase_
    // instead of the DPPs; GPRs, 'reg', bit addresses and the stack never go through them.
    unsigned extRemaining_ = 0;  // instructions left, counted down after each one
    bool extPage_ = false;       // a page (14-bit offsets) rather than a segment (16-bit)
    std::uint32_t extBase_ = 0;

    bool stopped_ = false;
    std::string diagnostic_;
    std::uint64_t instructions_ = 0;
    std::FILE* trace_ = nullptr;
};

// Disassembles the instruction whose bytes start at `code` (at least 4 bytes readable); returns
// its length (2 or 4; 2 for an unknown opcode) and the text, e.g. "MOV R1, #0112h". Jump targets
// are printed as addresses in the segment of `address`.
struct Disassembly {
    unsigned length;
    std::string text;
};
Disassembly disassemble(std::span<const std::uint8_t> code, std::uint32_t address);

}  // namespace halvard::sim
