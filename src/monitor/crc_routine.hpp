#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bringup/target_image.hpp"

namespace halvard {

struct Run;

// The CRC-32 routine that proves the flash page by page. It is loaded into the flash algorithm's
// slot, at the entry of monitor command 0x0E (image offset 306), and is run by that command:
//
//   host:    0E A0 A1 A2 Nlo Nhi          (no data bytes follow)
//   target:  CRC-32 of the N bytes from the address, 4 bytes, lowest first
//            or 5A 00 00 when the mode cell does not hold kCrcMode
//
// The CRC is the common reflected CRC-32 (polynomial EDB88320h, start FFFFFFFFh, result
// complemented): "123456789" gives CBF43926h. It goes a byte at a time with two 16-entry tables
// instead of one of 256: the CRC of a byte x is TA[x AND 0Fh] XOR TB[x SHR 4], because the CRC is
// linear in x. The 128 table bytes and the mode word lie in the flash algorithm's receive buffer
// (0xFD70-0xFDF1 in segment 0, reached through DPP3 on every C16x and XC16x), which is free
// whenever the routine, and not the flash algorithm, is loaded.
//
// Registers: R1 and R2 come from the monitor's RXAC (page window pointer, count); the CRC lives
// in R3:R0 (high:low) so that its bytes can be moved with byte instructions; R10-R13 are scratch.
// R4-R9, DPP0 and DPP2 (the flash algorithm's parameters) are left alone, so the flash algorithm
// works again as soon as its bytes are back.
//
// Cost (the emulated core's cycle model): 52 clock cycles a byte in the loop, so 16 KB take
// 0.85 M cycles, 43 ms at 20 MHz. A bitwise routine needs about 150 cycles a byte (120 ms a
// page); a 256-entry table would save a third of the loop but needs 1 KB of RAM that a C161
// does not have free.
//
// offset  bytes         instruction                   comment
//  306    BB EF         CALLR RXAC (274)              R1 = window pointer, R2 = count
//  308    F2 F0 F0 FD   MOV   R0, FDF0h               the mode the host has set
//  312    46 F0 01 00   CMP   R0, #0001h
//  316    3D 24         JMPR  cc_NZ, REFUSE (390)
//  318    E6 F0 FF FF   MOV   R0, #FFFFh              CRC low word
//  322    E6 F3 FF FF   MOV   R3, #FFFFh              CRC high word
//  326    E6 FD FF FF   MOV   R13, #FFFFh             for the final complement
//  330    59 0D         XORB  RL0, [R1+]              LOOP: x = CRC low byte XOR data byte
//  332    C0 0A         MOVBZ R10, RL0
//  334    F0 BA         MOV   R11, R10
//  336    5C CA         SHL   R10, #12
//  338    7C AA         SHR   R10, #10                R10 = (x AND 0Fh) * 4
//  340    7C 4B         SHR   R11, #4
//  342    5C 2B         SHL   R11, #2                 R11 = (x SHR 4) * 4
//  344    F1 01         MOVB  RL0, RH0                CRC = CRC SHR 8
//  346    F1 16         MOVB  RH0, RL3
//  348    F1 67         MOVB  RL3, RH3
//  350    E1 07         MOVB  RH3, #0
//  352    D4 CA 70 FD   MOV   R12, [R10+#FD70h]       CRC = CRC XOR TA[x AND 0Fh]
//  356    50 0C         XOR   R0, R12
//  358    D4 CA 72 FD   MOV   R12, [R10+#FD72h]
//  362    50 3C         XOR   R3, R12
//  364    D4 CB B0 FD   MOV   R12, [R11+#FDB0h]       CRC = CRC XOR TB[x SHR 4]
//  368    50 0C         XOR   R0, R12
//  370    D4 CB B2 FD   MOV   R12, [R11+#FDB2h]
//  374    50 3C         XOR   R3, R12
//  376    A0 12         CMPD1 R2, #1
//  378    3D E7         JMPR  cc_NZ, LOOP (330)
//  380    50 0D         XOR   R0, R13                 complement
//  382    50 3D         XOR   R3, R13
//  384    BB AF         CALLR TXW (224)               low word
//  386    F0 03         MOV   R0, R3
//  388    0D AD         JMPR  cc_UC, TXW (224)        high word; its RET ends the command
//  390    E7 F0 5A 00   MOVB  RL0, #5Ah               REFUSE: answer as a failed flash write
//  394    BB AC         CALLR TXB (228)
//  396    E0 00         MOV   R0, #0
//  398    0D A8         JMPR  cc_UC, TXW (224)
//
// XOR, XORB [Rw+], SHR and MOV Rw,[Rw+#data16] are the only forms the monitor itself does not
// use; the virtual board's core implements them too.
inline constexpr std::size_t kCrcRoutineOffset = 306;
inline constexpr std::array<std::uint8_t, 94> kCrcRoutine = {
    0xBB, 0xEF, 0xF2, 0xF0, 0xF0, 0xFD, 0x46, 0xF0, 0x01, 0x00, 0x3D, 0x24,  // 306
    0xE6, 0xF0, 0xFF, 0xFF, 0xE6, 0xF3, 0xFF, 0xFF, 0xE6, 0xFD, 0xFF, 0xFF,  // 318
    0x59, 0x0D, 0xC0, 0x0A, 0xF0, 0xBA, 0x5C, 0xCA, 0x7C, 0xAA, 0x7C, 0x4B,  // 330
    0x5C, 0x2B, 0xF1, 0x01, 0xF1, 0x16, 0xF1, 0x67, 0xE1, 0x07,              // 342
    0xD4, 0xCA, 0x70, 0xFD, 0x50, 0x0C, 0xD4, 0xCA, 0x72, 0xFD, 0x50, 0x3C,  // 352
    0xD4, 0xCB, 0xB0, 0xFD, 0x50, 0x0C, 0xD4, 0xCB, 0xB2, 0xFD, 0x50, 0x3C,  // 364
    0xA0, 0x12, 0x3D, 0xE7, 0x50, 0x0D, 0x50, 0x3D, 0xBB, 0xAF, 0xF0, 0x03,  // 376
    0x0D, 0xAD, 0xE7, 0xF0, 0x5A, 0x00, 0xBB, 0xAC, 0xE0, 0x00, 0x0D, 0xA8,  // 388
};

// The routine starts where the monitor's table sends command 0x0E.
static_assert(74 + 2 * TargetImage[74 + 0x0E] == kCrcRoutineOffset);

// Where the tables and the mode word lie (segment 0, through DPP3).
inline constexpr std::uint32_t kCrcTablesAddress = 0xFD70;
inline constexpr std::uint32_t kCrcModeAddress = 0xFDF0;
inline constexpr std::uint16_t kCrcMode = 0x0001;

// TA (16 entries) then TB (16 entries), each entry 4 bytes, lowest first.
std::array<std::uint8_t, 128> CrcRoutineTables();

// The host's CRC-32, the same as the routine's; `crc` continues an earlier result.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// What the run knows about the code behind the monitor and about the routine.
struct TargetCodeState {
    enum class Slot { monitorOnly, flashAlgorithm, crcRoutine, unknown };
    enum class Proof { untested, crc, blockSums };
    Slot slot = Slot::monitorOnly;
    Proof proof = Proof::untested;
};

// Runs the loaded routine over count bytes from the address (at most a 16 KB page): the CRC, or
// nothing when no complete answer came in time (the line may then be out of step).
std::optional<std::uint32_t> targetCrc32(Run& run, std::uint32_t address, std::uint16_t count);

}  // namespace halvard
