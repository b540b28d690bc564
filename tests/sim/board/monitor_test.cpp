// The uploaded monitor running on the core, driven with raw command frames.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <numeric>
#include <vector>

#include "board_client.hpp"
#include "sim/board/board.hpp"
#include "sim/board/flash_chip_port.hpp"
#include "sim/flash/flash_chip.hpp"

namespace halvard::sim::testing {
namespace {

std::vector<std::uint8_t> pattern(std::size_t count, unsigned seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
    }
    return bytes;
}

std::vector<std::uint8_t> le16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

class Monitor : public ::testing::Test {
  protected:
    Monitor() : board_(quietConfig()), client_(board_) {
        const auto answers = client_.startMonitor();
        EXPECT_EQ(answers, (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    }

    Board board_;
    BoardClient client_;
};

TEST_F(Monitor, LocatesItselfAtTheLoaderAddress) {
    EXPECT_EQ(client_.send({0x0F}), (std::vector<std::uint8_t>{0x40, 0xFA}));
    EXPECT_EQ(client_.readWord(0xFE08), 0x0000);
}

TEST_F(Monitor, ChecksumOfTheUploadedMonitor) {
    EXPECT_EQ(byteSum16(monitorBytes()), 0x7B96);
    EXPECT_EQ(client_.checksum(0xFA60, 264), le16(0x7B96));
}

TEST_F(Monitor, ByteWritesAndReadsOfRamTouchOnlyThatByte) {
    client_.writeWord(0xF700, 0x1111);
    client_.writeByte(0xF701, 0x5A);
    EXPECT_EQ(client_.readByte(0xF701), 0x5A);
    EXPECT_EQ(client_.readByte(0xF700), 0x11);
    EXPECT_EQ(client_.readWord(0xF700), 0x5A11);
}

TEST_F(Monitor, WordWritesAreLittleEndian) {
    client_.writeWord(0xF800, 0xBEEF);
    EXPECT_EQ(client_.readWord(0xF800), 0xBEEF);
    EXPECT_EQ(client_.readByte(0xF800), 0xEF);
    EXPECT_EQ(client_.readByte(0xF801), 0xBE);
}

TEST_F(Monitor, PlainSfrsAndEsfrsHoldWhatIsWritten) {
    client_.writeWord(0xFE40, 0x2345);  // a timer register the board does not model
    EXPECT_EQ(client_.readWord(0xFE40), 0x2345);
    client_.writeWord(0xF100, 0xA5C3);  // an ESFR
    EXPECT_EQ(client_.readWord(0xF100), 0xA5C3);
    client_.writeByte(0xFF13, 0x12);  // high byte of SYSCON, a core register
    EXPECT_EQ(client_.readByte(0xFF13), 0x12);
}

TEST_F(Monitor, T6HoldsTheLoadersMeasurement) {
    EXPECT_EQ(client_.readWord(0xFE48), Board::loaderT6(20'000'000, 38400));
}

TEST_F(Monitor, CoreRegistersShowTheLoadersState) {
    EXPECT_EQ(client_.readWord(0xFE10), 0xFA00);      // CP
    EXPECT_EQ(client_.readWord(0xFE12), 0xFA40 - 2);  // SP inside the command's call
    EXPECT_EQ(client_.readWord(0xFE06), 3);           // DPP3
}

TEST_F(Monitor, EmptyExternalBusReadsFF) {
    EXPECT_EQ(client_.readByte(0x10000), 0xFF);
    EXPECT_EQ(client_.readWord(0x20000), 0xFFFF);
    EXPECT_EQ(client_.readBlock(0x4C000, 16), std::vector<std::uint8_t>(16, 0xFF));
}

TEST_F(Monitor, BlockWriteThenBlockReadOfAFullBlock) {
    const auto data = pattern(512, 3);
    EXPECT_EQ(client_.writeBlock(0xF600, data), std::vector<std::uint8_t>{0xAA});
    EXPECT_EQ(client_.readBlock(0xF600, 512), data);
    EXPECT_EQ(client_.checksum(0xF600, 512), le16(byteSum16(data)));
}

TEST_F(Monitor, FlashChipAnswersAutoselectThroughTheMonitor) {
    FlashChip chip(*findChipModel("psd813f"), fastTiming());
    FlashChipPort port(chip);
    board_.attachFlash(&port);
    EXPECT_EQ(client_.readByte(0x20000), 0xFF);
    client_.writeByte(0x25555, 0xAA);
    client_.writeByte(0x22AAA, 0x55);
    client_.writeByte(0x25555, 0x90);
    EXPECT_EQ(client_.readByte(0x20000), 0x20);
    EXPECT_EQ(client_.readByte(0x20001), 0xE3);
    // Past the chip the bus is empty again.
    EXPECT_EQ(client_.readByte(0x20000 + chip.size()), 0xFF);
    board_.attachFlash(nullptr);
}

TEST_F(Monitor, FlashEraseRunsInSimulatedTimeWhileTheHostWaits) {
    FlashChip chip(*findChipModel("psd813f"), fastTiming());
    FlashChipPort port(chip);
    board_.attachFlash(&port);
    chip.array()[0x10] = 0x00;  // a programmed cell in sector 0
    for (const auto& [offset, value] : {std::pair{0x5555U, 0xAA},
                                        {0x2AAAU, 0x55},
                                        {0x5555U, 0x80},
                                        {0x5555U, 0xAA},
                                        {0x2AAAU, 0x55},
                                        {0x0000U, 0x30}}) {
        client_.writeByte(0x20000 + offset, static_cast<std::uint8_t>(value));
    }
    // While the erase runs, DQ7 reads 0, even at a cell that was erased before.
    EXPECT_EQ(chip.array()[0x20], 0xFF);
    EXPECT_EQ(client_.readByte(0x20020) & 0x80, 0);
    // The host sleeps between its polls; the board lets that time pass.
    board_.run({.untilNs = board_.nowNs() + fastTiming().sectorEraseNs, .idleTimePasses = true});
    EXPECT_EQ(client_.readByte(0x20010), 0xFF);
    board_.attachFlash(nullptr);
}

// The monitor switches its receiver off while it sends each byte; on a paced line a byte the host
// sends meanwhile is lost, and the monitor stays in step.
TEST(MonitorLine, ByteSentWhileTheMonitorTransmitsIsLost) {
    BoardConfig config = quietConfig();
    config.paced = true;
    Board board(config);
    BoardClient client(board);
    ASSERT_EQ(client.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    // A locate request, then a ping right behind it: the ping arrives while the first byte of
    // the two-byte answer is on the wire, with the receiver switched off.
    EXPECT_EQ(client.send({0x0F, 0x00}), (std::vector<std::uint8_t>{0x40, 0xFA}));
    EXPECT_EQ(board.lostBytes(), 1U);
    EXPECT_EQ(client.send({0x00}), std::vector<std::uint8_t>{0xAA});
}

TEST(MonitorLine, UnpacedFramesTakeNoTimeSoNothingOverlapsAndNothingIsLost) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.send({0x00, 0x0F}), (std::vector<std::uint8_t>{0xAA, 0x40, 0xFA}));
    EXPECT_EQ(board.lostBytes(), 0U);
}

double cpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// The host gives a checksum 2000 ms; a whole 16 KB page must fit in simulated time, and the
// emulation must be cheap. The CPU time is reported, not judged.
TEST(MonitorChecksum, WholePageFitsTheHostsTimeLimit) {
    Board board(quietConfig(*findCpuModel("xc16x")));
    BoardClient client(board);
    client.startMonitor(true);
    std::vector<std::uint8_t> page;
    for (std::uint32_t offset = 0; offset < 0x4000; offset += 512) {
        const auto block = pattern(512, offset / 512);
        ASSERT_EQ(client.writeBlock(0xE04000 + offset, block), std::vector<std::uint8_t>{0xAA});
        page.insert(page.end(), block.begin(), block.end());
    }
    const std::uint64_t instructionsBefore = board.core().instructions();
    const std::uint64_t simulatedBefore = board.nowNs();
    const double cpuBefore = cpuSeconds();
    // A length of 0x4000 is sent as 00 40.
    EXPECT_EQ(client.checksum(0xE04000, 0x4000), le16(byteSum16(page)));
    const double cpu = cpuSeconds() - cpuBefore;
    const double simulatedMs = static_cast<double>(board.nowNs() - simulatedBefore) / 1e6;
    EXPECT_LT(simulatedMs, 2000.0);
    const auto instructions = board.core().instructions() - instructionsBefore;
    RecordProperty("checksum_16k_cpu_ms", std::to_string(cpu * 1000));
    RecordProperty("checksum_16k_simulated_ms", std::to_string(simulatedMs));
    std::printf(
        "[ measure  ] 16 KB checksum: %.1f ms simulated, %.2f ms host CPU, %llu instructions\n",
        simulatedMs, cpu * 1000, static_cast<unsigned long long>(instructions));
}

TEST(MonitorChecksum, EmptyBusPageSumsToAllFF) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.checksum(0x20000, 0x4000), le16(static_cast<std::uint16_t>(0x4000 * 0xFF)));
}

}  // namespace
}  // namespace halvard::sim::testing
