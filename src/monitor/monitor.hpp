#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/errors.hpp"
#include "line/port.hpp"

namespace halvard {

// Single-cell access and checksums through the resident monitor. Each call is one complete
// exchange; failures end the run (time-out: error 25; a failed write on the line: status 3).
std::uint8_t targetByteRead(Link& link, std::uint32_t address);
std::uint16_t targetWordRead(Link& link, std::uint32_t address);
void targetByteWrite(Link& link, std::uint32_t address, std::uint8_t value);
void targetWordWrite(Link& link, std::uint32_t address, std::uint16_t value);
std::uint16_t targetChecksum(Link& link, std::uint32_t address, std::uint16_t length);

// Host-side sum of unsigned bytes, wrapping modulo 2^32.
std::uint32_t byteSum(std::span<const std::uint8_t> data);

// Block transfers within one 16 KB page: writes of at most 512 bytes, reads of any count up
// to the whole page. The count of a block is the low 16 bits of the span's size; only that
// many bytes are sent or filled.
// 0 when the block fits, 1 (after printing why) when it does not.
int checkAddrSize(Link& link, std::uint32_t address, std::uint16_t count);
// false when all bytes arrived; true after a time-out (its lines printed, nothing closed).
// One request, however long the range: a USB adapter then holds back only the last partial
// packet of the range instead of one per 512 bytes. onArrival follows the bytes as they come.
// timeoutCode names the error line of a time-out: 23 while verifying, else 24.
bool target2Host(Link& link, std::uint32_t address, std::span<std::uint8_t> buffer,
                 ErrorCode timeoutCode, const ArrivalProgress& onArrival = {});
// The lines of a block read that timed out; the run goes on.
void PrintBlockReadTimeout(Link& link, ErrorCode code);
void host2Target(Link& link, std::uint32_t address, std::span<const std::uint8_t> data);
void host2Flash(Link& link, std::uint32_t address, std::span<const std::uint8_t> data);

// What the flash algorithm made of a block, for callers that heal a failed block themselves.
struct FlashWrite {
    enum class Outcome { programmed, cellFailed, notUnderstood, timedOut };
    Outcome outcome;
    unsigned offset;         // cellFailed: the failed cell's offset in its 16 KB page
    std::uint32_t cell = 0;  // cellFailed: the failed cell's target address
};
FlashWrite host2FlashTry(Link& link, std::uint32_t address, std::span<const std::uint8_t> data);
// Returns for a programmed block; otherwise ends the run as host2Flash does (22, 9 or 17).
void EndOnFlashWrite(const FlashWrite& result);

// The block-read time-out of the monitor protocol, before the wire time is added:
// 2 x (1024000 / baud + 800) + 30 ms for 512 bytes. For other counts the line term
// (1024000 / baud) grows in proportion to the count; the fixed allowance stays.
std::uint32_t blockReadTimeoutMs(std::int32_t baudRate, std::uint32_t count = 0x200);

}  // namespace halvard
