// The loader (src/target/loader.s) on the emulated core, driven with raw frames: the answers it
// gives and what reaches the flash.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "board_client.hpp"
#include "pack/lz4_block.hpp"
#include "target/crc_routine.hpp"
#include "target/loader.hpp"

namespace halvard::sim::testing {
namespace {

constexpr std::uint32_t kImageBase = 0xFA40;
constexpr std::uint32_t kFlash = 0x20000;
using Bytes = std::vector<std::uint8_t>;

Bytes answer(char status, std::uint8_t seq) {
    const auto s = static_cast<std::uint8_t>(status);
    return {s, seq, static_cast<std::uint8_t>(~s), static_cast<std::uint8_t>(~seq)};
}

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

class TargetLoader : public ::testing::Test {
  protected:
    TargetLoader() : virtual_(VirtualBoardOptions{}), client_(virtual_) {
        client_.startMonitor();
        client_.loadFlashAlgorithm(kFlash);  // and with it the flash parameters in R4-R9
        const auto code = LoaderCode();
        for (std::size_t at = 0; at < code.size(); at += 512) {
            const auto part = code.subspan(at, std::min<std::size_t>(512, code.size() - at));
            client_.writeBlock(kImageBase + kLoaderOffset + static_cast<std::uint32_t>(at), part);
        }
        client_.writeBlock(kLoaderTablesAddress, CrcRoutineTables());
        const std::uint32_t quiet = LoaderQuietCount(20.0);
        client_.writeWord(kLoaderQuietAddress, static_cast<std::uint16_t>(quiet));
        client_.writeWord(kLoaderQuietAddress + 2, static_cast<std::uint16_t>(quiet >> 16));
        EXPECT_EQ(client_.send({0x0E}), answer('R', 0));
    }

    Bytes frame(std::uint8_t seq, FrameKind kind, std::uint32_t address, const Bytes& packed,
                const Bytes& expanded) {
        return EncodeFrame({seq, kind, address, packed, static_cast<std::uint16_t>(expanded.size()),
                            crc32(expanded)});
    }

    // Through the monitor's page window, which does not move on to the next 16 KB page.
    Bytes readFlash(std::uint32_t address, std::size_t count) {
        Bytes bytes;
        while (bytes.size() < count) {
            const std::size_t piece =
                std::min<std::size_t>(count - bytes.size(), 0x4000 - (address & 0x3FFF));
            const Bytes part = client_.readBlock(address, static_cast<std::uint16_t>(piece));
            bytes.insert(bytes.end(), part.begin(), part.end());
            address += static_cast<std::uint32_t>(piece);
        }
        return bytes;
    }

    VirtualBoard virtual_;
    BoardClient client_;
};

// Every answer the loader gives, and the flash after it. Catches a status that misreports
// programmed frames, a drain that never hands the line back, a back-reference that reads the
// wrong flash (an earlier page, through EXTS), a repeated frame that is not answered again, and
// an end or a failed cell that does not return to the monitor, and a frame that comes in while
// another is programmed and is lost, or reaches the monitor as commands.
TEST_F(TargetLoader, AnswersEachFrameAndProgramsOnlyProvenOnes) {
    const Bytes first = randomBytes(400, 1);
    // The second frame repeats the first from the next page on: all of it one back-reference.
    const Bytes second = first;
    PackOptions options;
    const PackedFrame packed = PackFrame(first, second, kLoaderPackedMax, options);
    ASSERT_EQ(packed.covered, second.size());
    const std::uint32_t secondAt = kFlash + 0x4000;  // the match reaches back into page 8
    const std::uint32_t firstAt = secondAt - static_cast<std::uint32_t>(first.size());

    // Back to back, as the host sends them: the second comes in while the first is programmed.
    const Bytes plain = frame(1, FrameKind::plain, firstAt, first, first);
    EXPECT_EQ(client_.send(joined(plain, plain)), joined(answer('K', 1), answer('K', 1)));

    Bytes garbled = frame(2, FrameKind::lz4, secondAt, packed.block, second);
    garbled[20] ^= 0x10;
    EXPECT_EQ(client_.send(garbled), joined(answer('N', 0), answer('R', 0)));

    EXPECT_EQ(client_.send(frame(2, FrameKind::lz4, secondAt, packed.block, second)),
              answer('K', 2));
    EXPECT_EQ(client_.send(frame(3, FrameKind::end, 0, {}, {})), answer('E', 3));
    EXPECT_EQ(client_.send({0x00}), Bytes{0xAA});
    EXPECT_EQ(readFlash(firstAt, first.size()), first);
    EXPECT_EQ(readFlash(secondAt, second.size()), second);

    // Started again: a cell that cannot go from 0 to 1 fails on the chip, and the loader names
    // it and goes back to the monitor, once the frame behind it has gone by.
    EXPECT_EQ(client_.send({0x0E}), answer('R', 0));
    const Bytes erased(first.size(), 0xFF);
    const std::uint32_t pointer = 0x4000 | (firstAt & 0x3FFF);
    EXPECT_EQ(client_.send(joined(frame(1, FrameKind::plain, firstAt, erased, erased),
                                  frame(2, FrameKind::plain, secondAt, erased, erased))),
              joined(answer('F', 1), {static_cast<std::uint8_t>(pointer),
                                      static_cast<std::uint8_t>(pointer >> 8)}));
    EXPECT_EQ(client_.send({0x00}), Bytes{0xAA});
}

}  // namespace
}  // namespace halvard::sim::testing
