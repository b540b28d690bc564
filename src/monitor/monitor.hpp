#pragma once

#include <cstdint>
#include <span>

namespace halvard {

struct Run;

// Single-cell access and checksums through the resident monitor. Each call is one complete
// exchange; failures end the run (time-out: error 25; a failed write on the line: status 3).
std::uint8_t targetByteRead(Run& run, std::uint32_t address);
std::uint16_t targetWordRead(Run& run, std::uint32_t address);
void targetByteWrite(Run& run, std::uint32_t address, std::uint8_t value);
void targetWordWrite(Run& run, std::uint32_t address, std::uint16_t value);
std::uint16_t targetChecksum(Run& run, std::uint32_t address, std::uint16_t length);

// Host-side sum of unsigned bytes, wrapping modulo 2^32.
std::uint32_t byteSum(std::span<const std::uint8_t> data);

// Block transfers of at most 512 bytes within one 16 KB page.
// 0 when the block fits, 1 (after printing why) when it does not.
int checkAddrSize(Run& run, std::uint32_t address, std::uint16_t count);
// false when all bytes arrived; true after a time-out (its lines printed, nothing closed).
bool target2Host(Run& run, std::uint32_t address, std::span<std::uint8_t> buffer);
void host2Target(Run& run, std::uint32_t address, std::span<const std::uint8_t> data);
void host2Flash(Run& run, std::uint32_t address, std::span<const std::uint8_t> data);

}  // namespace halvard
