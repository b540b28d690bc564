// The host's model of the loader's decoder: every read of the block and every write of the
// output is checked first, so that a malformed block ends in an error, never outside a buffer.
#include <algorithm>

#include "pack/lz4_block.hpp"

namespace halvard {
namespace {

class BlockReader {
  public:
    explicit BlockReader(std::span<const std::uint8_t> packed) : packed_(packed) {}

    bool atEnd() const { return next_ == packed_.size(); }
    std::size_t left() const { return packed_.size() - next_; }
    std::optional<std::uint8_t> byte() {
        if (atEnd())
            return std::nullopt;
        return packed_[next_++];
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        const auto bytes = packed_.subspan(next_, count);
        next_ += count;
        return bytes;
    }
    // A 4-bit length of 15 continues in bytes of 255 until a smaller one ends it.
    std::optional<std::size_t> length(std::size_t nibble) {
        std::size_t length = nibble;
        if (nibble != 15)
            return length;
        for (;;) {
            const auto more = byte();
            if (!more)
                return std::nullopt;
            length += *more;
            if (*more != 255)
                return length;
        }
    }

  private:
    std::span<const std::uint8_t> packed_;
    std::size_t next_ = 0;
};

// Copies a back-reference byte by byte: the source may overlap what the copy writes, and it may
// begin in the dictionary and run on into the output.
void copyMatch(std::span<const std::uint8_t> dictionary, std::vector<std::uint8_t>& out,
               std::size_t offset, std::size_t length) {
    const std::size_t end = out.size() + length;
    while (out.size() < end) {
        const std::size_t back = offset;
        const std::uint8_t b = back <= out.size()
                                   ? out[out.size() - back]
                                   : dictionary[dictionary.size() - (back - out.size())];
        out.push_back(b);
    }
}

std::optional<UnpackError> unpackInto(std::span<const std::uint8_t> dictionary, BlockReader& block,
                                      std::size_t expandedSize, std::vector<std::uint8_t>& out) {
    for (;;) {
        const auto token = block.byte();
        if (!token)
            return UnpackError::truncated;
        const auto literals = block.length(*token >> 4);
        if (!literals)
            return UnpackError::truncated;
        if (*literals > expandedSize - out.size())
            return UnpackError::overrun;
        if (*literals > block.left())
            return UnpackError::truncated;
        const auto bytes = block.take(*literals);
        out.insert(out.end(), bytes.begin(), bytes.end());
        // The last sequence of a block has literals only.
        if (block.atEnd())
            return out.size() == expandedSize ? std::nullopt
                                              : std::optional(UnpackError::endsEarly);
        const auto low = block.byte();
        const auto high = block.byte();
        if (!low || !high)
            return UnpackError::truncated;
        const std::size_t offset = *low | std::size_t{*high} << 8;
        if (offset == 0)
            return UnpackError::zeroOffset;
        if (offset > out.size() + dictionary.size())
            return UnpackError::offsetBeforeDictionary;
        const auto matchLength = block.length(*token & 15u);
        if (!matchLength)
            return UnpackError::truncated;
        if (*matchLength + 4 > expandedSize - out.size())
            return UnpackError::overrun;
        copyMatch(dictionary, out, offset, *matchLength + 4);
    }
}

}  // namespace

Unpacked UnpackFrame(std::span<const std::uint8_t> dictionary, std::span<const std::uint8_t> packed,
                     std::size_t expandedSize) {
    Unpacked result;
    // A frame expands to 16 KB at most; a larger size from a broken header is no reason to
    // allocate it up front.
    result.bytes.reserve(std::min<std::size_t>(expandedSize, 16 * 1024));
    BlockReader block(packed);
    result.error = unpackInto(dictionary, block, expandedSize, result.bytes);
    return result;
}

}  // namespace halvard
