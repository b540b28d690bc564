#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace halvard {

// Images go to the loader as LZ4 blocks (standard block format: no frame, no entropy stage). A
// block's dictionary is the image bytes right before it in the target's address space, which the
// loader has already programmed and reads back from flash for back-references.

// LZ4 offsets are 16 bits: a back-reference reaches at most this far.
inline constexpr std::size_t kMaxPackOffset = 65535;

struct PackOptions {
    // 2 on word buses: the loader programs a word when its odd byte arrives, so an offset of 1
    // would read a low byte that is not in flash yet.
    std::size_t minOffset = 1;
    // Word-mode frames cover whole words.
    bool evenLength = false;
    // Frames stop at page boundaries; the caller passes the room left in the page.
    std::size_t maxCovered = 16 * 1024;
};

struct PackedFrame {
    std::vector<std::uint8_t> block;
    // How many bytes from the start of the input the block expands to.
    std::size_t covered = 0;
};

// The LZ4 block of the longest prefix of `input` whose block fits in `maxPacked` bytes (as far as
// this compressor finds). Only the last 65535 bytes of `dictionary` are referenced. With
// maxPacked 0 nothing fits: the block is empty and covers nothing; every other result is a
// standard block that any LZ4 decoder expands with the same dictionary.
PackedFrame PackFrame(std::span<const std::uint8_t> dictionary, std::span<const std::uint8_t> input,
                      std::size_t maxPacked, const PackOptions& options = {});

enum class UnpackError {
    truncated,               // the block ends inside a sequence
    zeroOffset,              // offset 0 is no back-reference
    offsetBeforeDictionary,  // a back-reference reaches before the dictionary's first byte
    overrun,                 // literals or a match would write past the expanded size
    endsEarly,               // the block ends before the expanded size is reached
};

struct Unpacked {
    std::vector<std::uint8_t> bytes;  // what was expanded before any error
    std::optional<UnpackError> error;
};

// Expands one block to exactly `expandedSize` bytes, as the loader does, checking every length
// and offset against the block, the output and the dictionary.
Unpacked UnpackFrame(std::span<const std::uint8_t> dictionary, std::span<const std::uint8_t> packed,
                     std::size_t expandedSize);

}  // namespace halvard
