#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "target/target_image.hpp"

namespace halvard {

// The CRC-32 routine that proves the flash page by page. It is loaded into the flash algorithm's
// slot, at the entry of monitor command 0x0E (image offset 306), and is run by that command. The
// mode word that the host has set decides what it answers:
//
//   host:    0E A0 A1 A2 Nlo Nhi          (no data bytes follow)
//   target:  mode kCrcMode:      the CRC of the N bytes from the address, 4 bytes, lowest first
//            mode kCrcSendMode:  the N bytes themselves, then their CRC (4 bytes, lowest first)
//            any other mode:     5A 00 00
//
// The CRC register does not start at FFFFFFFFh but at the request as the routine understood it:
// the low word is the page window pointer (4000h + address bits 13-0), the high word the page
// (DPP1, segment * 4 + address bits 15-14) XOR the count; and the answer is the register itself,
// not complemented. A request whose address or count the line changed therefore never gets the
// answer the host expects, even where the other address holds the same bytes (two erased pages),
// and in the send mode even the CRC of the bytes that came does not match. RoutineCrc is the
// host's side of it.
//
// In the send mode each byte's CRC is computed while that byte is on the wire (the transmission
// is started, the CRC updated, and the transmitter awaited before the next byte goes), so the
// line never idles for the CRC and the answer is one unbroken stream of N + 4 bytes.
//
// The CRC is the common reflected CRC-32 (polynomial EDB88320h): from FFFFFFFFh and complemented,
// "123456789" gives CBF43926h. It goes a byte at a time with two 16-entry tables
// instead of one of 256: the CRC of a byte x is TA[x AND 0Fh] XOR TB[x SHR 4], because the CRC is
// linear in x. The 128 table bytes and the mode word lie in the flash algorithm's receive buffer
// (0xFD70-0xFDF1 in segment 0, reached through DPP3 on every C16x and XC16x), which is free
// whenever the routine, and not the flash algorithm, is loaded.
//
// Both modes share the CRC update; the mode is decided once: a CALLR to START leaves the address
// of the mode's loop head (LOOP or SEND) in R15, and each byte ends with a JMPI through it, which
// costs what a JMPR back would. The CRC-only loop is therefore as fast as a loop of its own.
//
// Registers: R1 and R2 come from the monitor's RXAC (page window pointer, count); the count moves
// to R14 so that RL2 can hold the byte in the send mode (RH2 stays 0); the CRC lives in R3:R0
// (high:low) so that its bytes can be moved with byte instructions; R10-R15 are scratch. R4-R9,
// DPP0 and DPP2 (the flash algorithm's parameters) are left alone, so the flash algorithm works
// again as soon as its bytes are back. The routine takes offsets 306-429 of the flash algorithm's
// slot; its stack stays within the 10 bytes the monitor's commands use. DPP registers hold 10
// bits: the junk that the monitor's page mapping leaves in bits 15-10 of DPP1 reads back as 0.
//
// Cost (the emulated core's cycle model): 52 clock cycles a byte in the CRC-only loop, so 16 KB
// take 0.85 M cycles, 46 ms at 18.432 MHz. In the send mode the line sets the pace (1600 cycles a
// byte at 115200 baud). A bitwise routine needs about 150 cycles a byte; a 256-entry table would
// save a third of the loop but needs 1 KB of RAM that a C161 does not have free.
//
// The listing is checked against the virtual board's disassembler; branch targets are written as
// NAME (image offset).
inline constexpr std::string_view kCrcRoutineListing = R"(
306  BB EF        CALLR RXAC (274)             R1 = window pointer, R2 = count
308  F0 E2        MOV R14, R2                  the count; RL2 takes the bytes in mode 2
310  F0 01        MOV R0, R1                   CRC low word: 4000h + address bits 13-0
312  F2 F3 02 FE  MOV R3, 0FE02h               CRC high word: DPP1, the page of the address,
316  50 3E        XOR R3, R14                  and the count
318  E0 02        MOV R2, #0                   RH2 stays 0: XOR R0, R2 changes RL0 only
320  7F B6        BSET S0TIC.7                 the transmitter counts as free until a byte goes
322  F2 FC F0 FD  MOV R12, 0FDF0h              the mode the host has set
326  A0 1C        CMPD1 R12, #1
328  3D 1F        JMPR cc_NZ, TWO (392)
330  BB 2A        CALLR START (416)            mode 1, the CRC only: R15 = LOOP
332  59 0D        XORB RL0, [R1+]              LOOP: x = CRC low byte XOR data byte
334  C0 0A        MOVBZ R10, RL0               UPDATE
336  F0 BA        MOV R11, R10
338  5C CA        SHL R10, #12
340  7C AA        SHR R10, #10                 R10 = (x AND 0Fh) * 4
342  7C 4B        SHR R11, #4
344  5C 2B        SHL R11, #2                  R11 = (x SHR 4) * 4
346  F1 01        MOVB RL0, RH0                CRC = CRC SHR 8
348  F1 16        MOVB RH0, RL3
350  F1 67        MOVB RL3, RH3
352  E1 07        MOVB RH3, #0
354  D4 CA 70 FD  MOV R12, [R10+#0FD70h]       CRC = CRC XOR TA[x AND 0Fh]
358  50 0C        XOR R0, R12
360  D4 CA 72 FD  MOV R12, [R10+#0FD72h]
364  50 3C        XOR R3, R12
366  D4 CB B0 FD  MOV R12, [R11+#0FDB0h]       CRC = CRC XOR TB[x SHR 4]
370  50 0C        XOR R0, R12
372  D4 CB B2 FD  MOV R12, [R11+#0FDB2h]
376  50 3C        XOR R3, R12
378  A0 1E        CMPD1 R14, #1
380  9C 3F        JMPI cc_NZ, [R15]            the next byte: LOOP or SEND
382  9A B6 FE 70  JNB S0TIC.7, LAST (382)      LAST: the last byte has gone ahead
386  BB AE        CALLR TXW (224)              low word
388  F0 03        MOV R0, R3
390  0D AC        JMPR cc_UC, TXW (224)        high word; its RET ends the command
392  A0 1C        CMPD1 R12, #1                TWO
394  3D 0C        JMPR cc_NZ, REFUSE (420)     neither 1 nor 2
396  4E D8        BCLR S0CON.4                 mode 2: receiver off while the bytes go out
398  BB 08        CALLR START (416)            R15 = SEND
400  9A B6 FE 70  JNB S0TIC.7, SEND (400)      SEND: the byte before has gone ahead
404  99 41        MOVB RL2, [R1+]
406  7E B6        BCLR S0TIC.7
408  F7 F4 B0 FE  MOVB 0FEB0h, RL2             S0TBUF: out it goes, while its CRC is computed
412  50 02        XOR R0, R2                   x = CRC low byte XOR the byte
414  0D D7        JMPR cc_UC, UPDATE (334)
416  FC FF        POP R15                      START: R15 = where the CALLR came from
418  9C 0F        JMPI cc_UC, [R15]
420  E7 F0 5A 00  MOVB RL0, #5Ah               REFUSE: answer as a failed flash write
424  BB 9D        CALLR TXB (228)
426  E0 00        MOV R0, #0
428  0D 99        JMPR cc_UC, TXW (224)
)";

// XOR, XORB [Rw+], SHR and MOV Rw,[Rw+#data16] are the only forms the monitor itself does not
// use; the virtual board's core implements them too.
inline constexpr std::size_t kCrcRoutineOffset = 306;
inline constexpr std::array<std::uint8_t, 124> kCrcRoutine = {
    0xBB, 0xEF, 0xF0, 0xE2, 0xF0, 0x01, 0xF2, 0xF3, 0x02, 0xFE, 0x50, 0x3E,  // 306
    0xE0, 0x02, 0x7F, 0xB6, 0xF2, 0xFC, 0xF0, 0xFD, 0xA0, 0x1C, 0x3D, 0x1F,  // 318
    0xBB, 0x2A, 0x59, 0x0D, 0xC0, 0x0A, 0xF0, 0xBA, 0x5C, 0xCA, 0x7C, 0xAA,  // 330
    0x7C, 0x4B, 0x5C, 0x2B, 0xF1, 0x01, 0xF1, 0x16, 0xF1, 0x67, 0xE1, 0x07,  // 342
    0xD4, 0xCA, 0x70, 0xFD, 0x50, 0x0C, 0xD4, 0xCA, 0x72, 0xFD, 0x50, 0x3C,  // 354
    0xD4, 0xCB, 0xB0, 0xFD, 0x50, 0x0C, 0xD4, 0xCB, 0xB2, 0xFD, 0x50, 0x3C,  // 366
    0xA0, 0x1E, 0x9C, 0x3F, 0x9A, 0xB6, 0xFE, 0x70, 0xBB, 0xAE, 0xF0, 0x03,  // 378
    0x0D, 0xAC, 0xA0, 0x1C, 0x3D, 0x0C, 0x4E, 0xD8, 0xBB, 0x08, 0x9A, 0xB6,  // 390
    0xFE, 0x70, 0x99, 0x41, 0x7E, 0xB6, 0xF7, 0xF4, 0xB0, 0xFE, 0x50, 0x02,  // 402
    0x0D, 0xD7, 0xFC, 0xFF, 0x9C, 0x0F, 0xE7, 0xF0, 0x5A, 0x00, 0xBB, 0x9D,  // 414
    0xE0, 0x00, 0x0D, 0x99,                                                  // 426
};

// The routine starts where the monitor's table sends command 0x0E and stays in the flash
// algorithm's slot.
static_assert(74 + 2 * TargetImage[74 + 0x0E] == kCrcRoutineOffset);
static_assert(kCrcRoutineOffset + kCrcRoutine.size() <= kTargetImageSize);

// Where the tables and the mode word lie (segment 0, through DPP3).
inline constexpr std::uint32_t kCrcTablesAddress = 0xFD70;
inline constexpr std::uint32_t kCrcModeAddress = 0xFDF0;
inline constexpr std::uint16_t kCrcMode = 0x0001;
inline constexpr std::uint16_t kCrcSendMode = 0x0002;

// TA (16 entries) then TB (16 entries), each entry 4 bytes, lowest first.
std::array<std::uint8_t, 128> CrcRoutineTables();

// The common CRC-32; `crc` continues an earlier result.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// What the routine answers for these bytes when asked for `count` of them at `address`.
std::uint32_t RoutineCrc(std::uint32_t address, std::uint16_t count,
                         std::span<const std::uint8_t> data);

}  // namespace halvard
