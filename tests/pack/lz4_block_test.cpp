// The LZ4 blocks of the loader's frames, held against liblz4: the reference decoder must expand
// every block PackFrame makes, and UnpackFrame must expand what the reference compressor makes.
#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <random>
#include <string>

#include "pack/lz4_block.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Kind { random, erased, text, shortPeriod, longPeriod, mixed };

// Stand-ins for what images hold: code (random), erased flash, strings, tables with short and
// long periods, and all of them in stretches.
Bytes make(Kind kind, std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    const std::string words[] = {"flash ", "sector ", "erase ", "0x", "timeout\n", "ok "};
    std::size_t at = 0;
    while (at < size) {
        const Kind part = kind == Kind::mixed ? static_cast<Kind>(random() % 5) : kind;
        const std::size_t stretch = kind == Kind::mixed ? 1 + random() % 3000 : size;
        for (std::size_t i = 0; i < stretch && at < size; ++i, ++at) {
            switch (part) {
                case Kind::random:
                    bytes[at] = static_cast<std::uint8_t>(random());
                    break;
                case Kind::erased:
                    bytes[at] = 0xFF;
                    break;
                case Kind::text: {
                    const auto& word = words[random() % 6];
                    for (std::size_t w = 0; w < word.size() && at + 1 < size; ++w)
                        bytes[at++] = static_cast<std::uint8_t>(word[w]);
                    bytes[at] = ' ';
                    break;
                }
                case Kind::shortPeriod:
                    bytes[at] = static_cast<std::uint8_t>(at % 3 * 7);
                    break;
                default:
                    bytes[at] = static_cast<std::uint8_t>((at % 1000) * 13 ^ (at % 1000) >> 3);
            }
        }
    }
    return bytes;
}

// What the end rules and the word bus look at, from walking a block's sequences.
struct Walk {
    std::size_t smallestOffset = 0;  // 0: no match
    std::size_t lastMatchStart = 0;  // in the expanded bytes
    std::size_t lastLiterals = 0;
};

Walk walk(const Bytes& block) {
    Walk walk;
    std::size_t at = 0;
    std::size_t expanded = 0;
    const auto length = [&](std::size_t nibble) {
        std::size_t length = nibble;
        if (nibble == 15)
            for (std::uint8_t more = 255; more == 255; length += more)
                more = block.at(at++);
        return length;
    };
    while (at < block.size()) {
        const std::uint8_t token = block.at(at++);
        walk.lastLiterals = length(token >> 4);
        at += walk.lastLiterals;
        expanded += walk.lastLiterals;
        if (at == block.size())
            break;
        const std::size_t offset = block.at(at) | std::size_t{block.at(at + 1)} << 8;
        at += 2;
        walk.smallestOffset =
            walk.smallestOffset == 0 ? offset : std::min(walk.smallestOffset, offset);
        walk.lastMatchStart = expanded;
        expanded += length(token & 15u) + 4;
    }
    return walk;
}

Bytes referenceDecode(const Bytes& dictionary, const Bytes& block, std::size_t size) {
    Bytes out(size + 1);
    const int got = LZ4_decompress_safe_usingDict(
        reinterpret_cast<const char*>(block.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(block.size()), static_cast<int>(out.size()),
        reinterpret_cast<const char*>(dictionary.data()), static_cast<int>(dictionary.size()));
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return got < 0 ? Bytes{0xDE, 0xAD} : out;
}

struct Sweep {
    Bytes dictionary;
    Bytes input;
    std::size_t maxPacked;
    PackOptions options;
};

void checkFrame(const Sweep& sweep) {
    const PackedFrame frame =
        PackFrame(sweep.dictionary, sweep.input, sweep.maxPacked, sweep.options);
    ASSERT_LE(frame.block.size(), sweep.maxPacked);
    ASSERT_LE(frame.covered, sweep.options.maxCovered);
    if (sweep.options.evenLength) {
        ASSERT_EQ(frame.covered % 2, 0u);
    }
    const Walk walked = walk(frame.block);
    ASSERT_TRUE(walked.smallestOffset == 0 || walked.smallestOffset >= sweep.options.minOffset);
    // The end rules: liblz4 tolerates some breaches of them, other decoders need not.
    if (walked.smallestOffset != 0) {
        ASSERT_GE(walked.lastLiterals, 5u);
        ASSERT_LE(walked.lastMatchStart + 12, frame.covered);
    }
    // A block of literals alone would carry the whole page: the longest prefix is all of it.
    std::size_t whole = std::min(sweep.input.size(), sweep.options.maxCovered);
    if (sweep.options.evenLength)
        whole &= ~std::size_t{1};
    if (sweep.maxPacked >= whole + 1 + (whole + 240) / 255) {
        ASSERT_EQ(frame.covered, whole);
    }
    const Bytes expected(sweep.input.begin(), sweep.input.begin() + frame.covered);
    const Bytes reachable(
        sweep.dictionary.end() - std::min<std::size_t>(sweep.dictionary.size(), kMaxPackOffset),
        sweep.dictionary.end());
    ASSERT_EQ(referenceDecode(reachable, frame.block, frame.covered), expected);
    const Unpacked ours = UnpackFrame(sweep.dictionary, frame.block, frame.covered);
    ASSERT_FALSE(ours.error);
    ASSERT_EQ(ours.bytes, expected);
}

// Catches blocks that break the end rules or reach outside the dictionary (liblz4 refuses
// most of them), offsets below the word-bus limit, odd or too long frames, frames over their
// budget, and an ending search that stops short while a plain literal block would still fit.
TEST(PackFrame, ReferenceDecoderExpandsEveryBlock) {
    for (const Kind kind : {Kind::random, Kind::erased, Kind::text, Kind::shortPeriod,
                            Kind::longPeriod, Kind::mixed}) {
        const Bytes image = make(kind, 90000, static_cast<unsigned>(kind));
        for (const std::size_t dictionarySize : {0, 3, 70000}) {
            Sweep sweep;
            sweep.dictionary.assign(image.begin(), image.begin() + dictionarySize);
            sweep.input.assign(image.begin() + dictionarySize, image.end());
            for (const std::size_t minOffset : {1, 2})
                for (const bool even : {false, true})
                    for (const std::size_t maxPacked : {1, 6, 19, 200, 496, 30000})
                        for (const std::size_t maxCovered : {13, 16384}) {
                            sweep.maxPacked = maxPacked;
                            sweep.options = {minOffset, even, maxCovered};
                            SCOPED_TRACE(::testing::Message()
                                         << "kind " << static_cast<int>(kind) << " dictionary "
                                         << dictionarySize << " minOffset " << minOffset << " even "
                                         << even << " maxPacked " << maxPacked << " maxCovered "
                                         << maxCovered);
                            checkFrame(sweep);
                            if (::testing::Test::HasFatalFailure())
                                return;
                        }
        }
    }
}

// Catches a compressor that gives up on long matches: erased flash fills a whole page in one
// small frame, and a page that repeats the dictionary is nearly all one back-reference.
TEST(PackFrame, LongMatchesFillThePage) {
    const Bytes erased(20000, 0xFF);
    const PackedFrame fromNothing = PackFrame({}, erased, 496, {2, true, 16384});
    EXPECT_EQ(fromNothing.covered, 16384u);
    EXPECT_LT(fromNothing.block.size(), 100u);
    const Bytes code = make(Kind::random, 16384, 7);
    const PackedFrame repeat = PackFrame(code, code, 496);
    EXPECT_EQ(repeat.covered, 16384u);
    EXPECT_LT(repeat.block.size(), 100u);
}

// The reference compressor's block of `input` after `dictionary`, at `level`.
Bytes referenceBlock(const Bytes& dictionary, const Bytes& input, int level) {
    Bytes block(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(input.size()))));
    LZ4_streamHC_t* stream = LZ4_createStreamHC();
    LZ4_resetStreamHC_fast(stream, level);
    LZ4_loadDictHC(stream, reinterpret_cast<const char*>(dictionary.data()),
                   static_cast<int>(dictionary.size()));
    const int size = LZ4_compress_HC_continue(
        stream, reinterpret_cast<const char*>(input.data()), reinterpret_cast<char*>(block.data()),
        static_cast<int>(input.size()), static_cast<int>(block.size()));
    LZ4_freeStreamHC(stream);
    block.resize(static_cast<std::size_t>(std::max(size, 0)));
    return block;
}

// Catches a parse or an ending that leaves matches unused (a literal block wins a tie, say):
// with room for the whole page, our block is not much larger than the reference compressor's.
// And catches a decoder that differs from the reference on length extensions, overlapping copies
// and back-references that start in the dictionary and run on into the block.
TEST(PackFrame, PacksLikeTheReferenceAndExpandsItsBlocks) {
    for (const Kind kind : {Kind::text, Kind::shortPeriod, Kind::longPeriod, Kind::mixed}) {
        const Bytes image = make(kind, 16384 + 30000, 5);
        const Bytes dictionary(image.begin(), image.begin() + 30000);
        const Bytes input(image.begin() + 30000, image.end());
        const PackedFrame frame = PackFrame(dictionary, input, 20000);
        ASSERT_EQ(frame.covered, input.size());
        const Bytes reference = referenceBlock(dictionary, input, LZ4HC_CLEVEL_DEFAULT);
        ASSERT_FALSE(reference.empty());
        EXPECT_LE(frame.block.size(), reference.size() + reference.size() / 8)
            << static_cast<int>(kind);
        const Unpacked ours = UnpackFrame(dictionary, reference, input.size());
        ASSERT_FALSE(ours.error) << static_cast<int>(kind);
        EXPECT_EQ(ours.bytes, input) << static_cast<int>(kind);
    }
}

struct Malformed {
    const char* fault;
    Bytes dictionary;
    Bytes packed;
    std::size_t expandedSize;
    std::optional<UnpackError> error;
};

// Each row is a block the loader must refuse before it reads or writes outside its buffers
// (the sanitizer build checks the "never outside"), next to its nearest valid neighbour.
TEST(UnpackFrame, RefusesMalformedBlocks) {
    const Bytes ext255(40, 255);
    Bytes endlessLiterals{0xF0};
    endlessLiterals.insert(endlessLiterals.end(), ext255.begin(), ext255.end());
    const std::vector<Malformed> rows = {
        {"empty block", {}, {}, 0, UnpackError::truncated},
        {"an empty input is one token", {}, {0x00}, 0, std::nullopt},
        {"literal length extension missing", {}, {0xF0}, 20, UnpackError::truncated},
        {"literal length extension runs off the block",
         {},
         endlessLiterals,
         100000,
         UnpackError::truncated},
        {"fewer literals than the token says", {}, {0x30, 'a', 'b'}, 3, UnpackError::truncated},
        {"offset cut off", {}, {0x10, 'a', 0x01}, 10, UnpackError::truncated},
        {"match length extension missing", {}, {0x1F, 'a', 0x01, 0x00}, 30, UnpackError::truncated},
        {"block ends after a match", {}, {0x10, 'a', 0x01, 0x00}, 5, UnpackError::truncated},
        {"offset 0", {}, {0x10, 'a', 0x00, 0x00, 0x00}, 5, UnpackError::zeroOffset},
        {"offset before an empty dictionary",
         {},
         {0x10, 'a', 0x02, 0x00, 0x00},
         5,
         UnpackError::offsetBeforeDictionary},
        {"the same offset into a 1-byte dictionary",
         {'z'},
         {0x10, 'a', 0x02, 0x00, 0x00},
         5,
         std::nullopt},
        {"offset one before the dictionary",
         {'y', 'z'},
         {0x10, 'a', 0x04, 0x00, 0x00},
         5,
         UnpackError::offsetBeforeDictionary},
        {"the largest offset", Bytes(65534, 1), {0x10, 'a', 0xFF, 0xFF, 0x00}, 5, std::nullopt},
        {"literals past the expanded size", {}, {0x50, 1, 2, 3, 4, 5}, 4, UnpackError::overrun},
        {"match past the expanded size",
         {},
         {0x10, 'a', 0x01, 0x00, 0x00},
         4,
         UnpackError::overrun},
        {"literals after a full output",
         {},
         {0x10, 'a', 0x01, 0x00, 0x10, 'b'},
         5,
         UnpackError::overrun},
        {"block ends before the expanded size", {}, {0x20, 'a', 'b'}, 3, UnpackError::endsEarly},
    };
    for (const auto& row : rows) {
        const Unpacked got = UnpackFrame(row.dictionary, row.packed, row.expandedSize);
        EXPECT_EQ(got.error, row.error) << row.fault;
        if (!row.error) {
            EXPECT_EQ(got.bytes.size(), row.expandedSize) << row.fault;
        }
    }
}

}  // namespace
}  // namespace halvard::testing
