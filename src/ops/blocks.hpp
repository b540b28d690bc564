#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace halvard {

// The monitor reaches memory through one 16 KB page window per command, and takes blocks of
// at most 512 bytes. Reads and proofs ask for less than a window at low rates (PageSize).
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

// A piece of a flash range: where it starts, as an offset from the device's first byte, and
// how long it is.
struct Piece {
    std::uint32_t offset;
    std::uint32_t size;
};

// The one loop over a flash range [offset, end) that program, verify and read share: pieces of
// at most `limit` bytes (a page or a block) that never cross a 16 KB page of the target address
// (deviceBase + offset), in order. visit(piece) returns true to go on; the piece that stopped
// the walk is returned, nothing when every piece was visited.
template <class Visit>
std::optional<Piece> WalkPieces(std::uint32_t deviceBase, std::uint32_t offset, std::uint32_t end,
                                std::uint32_t limit, Visit&& visit) {
    while (offset < end) {
        const Piece piece{offset, NextPiece(deviceBase + offset, end - offset, limit)};
        if (!visit(piece))
            return piece;
        offset += piece.size;
    }
    return std::nullopt;
}

// The same walk over every piece.
template <class Visit>
void ForEachPiece(std::uint32_t deviceBase, std::uint32_t offset, std::uint32_t end,
                  std::uint32_t limit, Visit&& visit) {
    WalkPieces(deviceBase, offset, end, limit, [&](const Piece& piece) {
        visit(piece);
        return true;
    });
}

}  // namespace halvard
