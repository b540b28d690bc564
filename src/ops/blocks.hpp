#pragma once

#include <algorithm>
#include <cstdint>

namespace halvard {

// The monitor reaches memory through one 16 KB page window per command, and takes blocks of
// at most 512 bytes.
inline constexpr std::uint32_t kPageSize = 0x4000;
inline constexpr std::uint32_t kMaxBlock = 0x200;

// The next piece of a range at a target address: up to the next page boundary, at most limit
// bytes and at most what remains. Cutting on the target address (not the flash offset) keeps
// every piece in one page whatever the device base.
constexpr std::uint32_t NextPiece(std::uint32_t address, std::uint32_t remaining,
                                  std::uint32_t limit) {
    const std::uint32_t toBoundary = kPageSize - (address & (kPageSize - 1));
    return std::min({toBoundary, limit, remaining});
}

}  // namespace halvard
