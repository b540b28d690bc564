// The host's CRC-32 routine on the emulated core, driven with raw command frames.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "board_client.hpp"
#include "monitor/crc_routine.hpp"

namespace halvard::sim::testing {
namespace {

constexpr std::uint32_t kImageBase = 0xFA40;
constexpr std::uint32_t kData = 0xF300;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

class CrcRoutine : public ::testing::Test {
  protected:
    CrcRoutine() : board_(quietConfig()), client_(board_) {
        client_.startMonitor();
        EXPECT_EQ(client_.writeBlock(kImageBase + kCrcRoutineOffset, kCrcRoutine),
                  std::vector<std::uint8_t>{0xAA});
        const auto tables = CrcRoutineTables();
        EXPECT_EQ(client_.writeBlock(kCrcTablesAddress, tables), std::vector<std::uint8_t>{0xAA});
        client_.writeWord(kCrcModeAddress, kCrcMode);
    }
    std::vector<std::uint8_t> crcOf(std::uint32_t address, std::uint16_t count) {
        return client_.send(
            {0x0E, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(count),
             static_cast<std::uint8_t>(count >> 8)});
    }
    static std::vector<std::uint8_t> le32(std::uint32_t value) {
        return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    }

    Board board_;
    BoardClient client_;
};

TEST_F(CrcRoutine, KnownVectorsAndTheHostsCrcAgree) {
    struct Vector {
        std::vector<std::uint8_t> bytes;
        std::uint32_t crc;
    };
    const Vector vectors[] = {
        {bytesOf("123456789"), 0xCBF43926},
        {bytesOf("a"), 0xE8B7BE43},
        {{0x00}, 0xD202EF8D},
        {bytesOf("The quick brown fox jumps over the lazy dog"), 0x414FA339},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(crc32(v.bytes), v.crc);
        client_.writeBlock(kData, v.bytes);
        EXPECT_EQ(crcOf(kData, static_cast<std::uint16_t>(v.bytes.size())), le32(v.crc));
    }
}

TEST_F(CrcRoutine, ProvesTheMonitorAndAFlashPageInTime) {
    const auto monitor = monitorBytes();
    EXPECT_EQ(crcOf(kImageBase + 32, static_cast<std::uint16_t>(monitor.size())),
              le32(crc32(monitor)));
    // The erased flash: 16 KB of FFh, through the page window in segment 2.
    const std::vector<std::uint8_t> erased(0x4000, 0xFF);
    const std::uint64_t before = board_.nowNs();
    EXPECT_EQ(crcOf(0x024000, 0x4000), le32(crc32(erased)));
    const double ms = static_cast<double>(board_.nowNs() - before) / 1e6;
    RecordProperty("page_ms", std::to_string(ms));
    EXPECT_LT(ms, 100.0) << "a 16 KB page at 20 MHz";
}

TEST_F(CrcRoutine, RefusesWithoutItsModeAndLeavesTheFlashParametersAlone) {
    client_.writeWord(0xFA08, 0x1234);  // R4, a flash algorithm parameter
    client_.writeWord(kCrcModeAddress, 0);
    EXPECT_EQ(crcOf(kData, 4), (std::vector<std::uint8_t>{0x5A, 0x00, 0x00}));
    client_.writeWord(kCrcModeAddress, kCrcMode);
    EXPECT_EQ(crcOf(kData, 4).size(), 4u);
    EXPECT_EQ(client_.readWord(0xFA08), 0x1234);
    EXPECT_EQ(client_.send({0x00}), std::vector<std::uint8_t>{0xAA});
}

}  // namespace
}  // namespace halvard::sim::testing
