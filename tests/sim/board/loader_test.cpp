// The on-chip bootstrap loader model and the CPU models, seen from the line.
#include <gtest/gtest.h>

#include <vector>

#include "board_client.hpp"
#include "sim/board/board.hpp"

namespace halvard::sim::testing {
namespace {

struct CpuCase {
    const char* name;
    std::uint8_t bootId;
    std::uint16_t idManuf;
    std::uint16_t idChip;
};

// Identification bytes and words as the host's CPU table expects them.
const CpuCase kCpuCases[] = {
    {"c167cr", 0xC5, 0x0000, 0x0000}, {"c167cs", 0xD5, 0x1820, 0x0C00},
    {"c161pi", 0xD5, 0x1820, 0x1300}, {"c161ri", 0xD5, 0x1820, 0x0900},
    {"xc16x", 0xD5, 0x1820, 0x0C00},
};

class EachCpu : public ::testing::TestWithParam<CpuCase> {
  protected:
    EachCpu() : board_(quietConfig(*findCpuModel(GetParam().name))), client_(board_) {}
    bool xc16x() const { return std::string_view(GetParam().name) == "xc16x"; }

    Board board_;
    BoardClient client_;
};

TEST_P(EachCpu, ZeroByteIsAnsweredWithTheIdentificationByte) {
    EXPECT_EQ(client_.send({0x00}), std::vector<std::uint8_t>{GetParam().bootId});
}

TEST_P(EachCpu, HandshakeGivesIdVAndPing) {
    EXPECT_EQ(client_.startMonitor(xc16x()),
              (std::vector<std::uint8_t>{GetParam().bootId, 'V', 0xAA}));
}

TEST_P(EachCpu, IdentificationRegistersReadThroughTheMonitor) {
    client_.startMonitor(xc16x());
    EXPECT_EQ(client_.readWord(0xF07E), GetParam().idManuf);
    EXPECT_EQ(client_.readWord(0xF07C), GetParam().idChip);
}

TEST_P(EachCpu, IdentificationRegistersIgnoreWrites) {
    client_.startMonitor(xc16x());
    client_.writeWord(0xF07C, 0x1234);
    client_.writeWord(0xF07E, 0x5678);
    EXPECT_EQ(client_.readWord(0xF07E), GetParam().idManuf);
    EXPECT_EQ(client_.readWord(0xF07C), GetParam().idChip);
}

INSTANTIATE_TEST_SUITE_P(Cpus, EachCpu, ::testing::ValuesIn(kCpuCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Loader, BytesBeforeTheZeroByteAreIgnored) {
    Board board(quietConfig());
    BoardClient client(board);
    EXPECT_TRUE(client.send({0x55, 0xF0}).empty());
    EXPECT_EQ(client.send({0x00}), std::vector<std::uint8_t>{0xC5});
}

TEST(Loader, RunsTheCodeOnlyAfterTheThirtySecondByte) {
    Board board(quietConfig());
    BoardClient client(board);
    client.send({0x00});
    const auto code = bootstrapCode();
    EXPECT_TRUE(client.send(code.first(31)).empty());
    EXPECT_TRUE(board.inLoader());
    EXPECT_EQ(client.send(code.subspan(31)), std::vector<std::uint8_t>{'V'});
    EXPECT_FALSE(board.inLoader());
}

TEST(Loader, LeavesTheRegisterStateTheBootstrapCodeNeeds) {
    Board board(quietConfig());
    BoardClient client(board);
    client.send({0x00});
    client.send(bootstrapCode());  // 'V', then waits for the monitor with R0 still untouched
    Core& core = board.core();
    EXPECT_EQ(core.csp(), 0);
    EXPECT_EQ(core.cp(), 0xFA00);
    EXPECT_EQ(core.sp(), 0xFA40);
    EXPECT_EQ(core.gpr(0), 0xFA60);
    EXPECT_EQ(core.gpr(1), 274);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(core.dpp(n), n);
}

TEST(Loader, WholeUploadInOneWriteStillStartsTheMonitor) {
    Board board(quietConfig());
    BoardClient client(board);
    std::vector<std::uint8_t> all{0x00};
    all.insert(all.end(), bootstrapCode().begin(), bootstrapCode().end());
    all.insert(all.end(), monitorUpload().begin(), monitorUpload().end());
    all.push_back(0x00);
    EXPECT_EQ(client.send(all), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
}

TEST(Loader, XC16xLoadsIntoPsramAndRunsInSegmentE0) {
    Board board(quietConfig(*findCpuModel("xc16x")));
    BoardClient client(board);
    ASSERT_EQ(client.startMonitor(true), (std::vector<std::uint8_t>{0xD5, 'V', 0xAA}));
    EXPECT_EQ(client.send({0x0F}), (std::vector<std::uint8_t>{0x00, 0x00}));
    EXPECT_EQ(client.readWord(0xFE08), 0x00E0);
    EXPECT_EQ(client.checksum(0xE00020, 264), (std::vector<std::uint8_t>{0x96, 0x7B}));
    EXPECT_EQ(client.readBlock(0xE00000, 32), xc16xBootstrapCode());
    // The idle stack is the C166SV2 one, which the host's register move relies on.
    EXPECT_EQ(client.readWord(0xFE12), 0xFC00 - 2);
}

TEST(Loader, C16xBoardHasNoPsram) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.readByte(0xE00010), 0xFF);
}

TEST(Loader, ResetReturnsToTheLoaderWhileWithoutResetTheMonitorKeepsRunning) {
    Board board(quietConfig(*findCpuModel("c167cs")));
    BoardClient client(board);
    client.startMonitor();
    // A second host run finds the monitor: its zero byte is a ping.
    EXPECT_EQ(client.send({0x00}), std::vector<std::uint8_t>{0xAA});
    board.reset();
    EXPECT_TRUE(board.inLoader());
    EXPECT_EQ(client.startMonitor(), (std::vector<std::uint8_t>{0xD5, 'V', 0xAA}));
}

TEST(Loader, ResetDuringTheUploadStartsOver) {
    Board board(quietConfig());
    BoardClient client(board);
    client.send({0x00});
    client.send(bootstrapCode().first(10));
    board.reset();
    EXPECT_EQ(client.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
}

struct T6Case {
    std::uint32_t clockHz;
    std::uint32_t baud;
    std::uint16_t t6;  // round(9/4 x clock / baud), as worked out in the board notes
};

class LoaderT6 : public ::testing::TestWithParam<T6Case> {};

TEST_P(LoaderT6, MonitorReadsTheMeasuredCount) {
    BoardConfig config = quietConfig();
    config.clockHz = GetParam().clockHz;
    config.baud = GetParam().baud;
    Board board(config);
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.readWord(0xFE48), GetParam().t6);
}

TEST_P(LoaderT6, BaudRateChangedBeforeTheZeroByteCounts) {
    BoardConfig config = quietConfig();
    config.clockHz = GetParam().clockHz;
    Board board(config);
    board.setBaud(GetParam().baud);
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.readWord(0xFE48), GetParam().t6);
}

INSTANTIATE_TEST_SUITE_P(
    ClocksAndRates, LoaderT6,
    ::testing::Values(T6Case{20'000'000, 38400, 1172}, T6Case{19'200'000, 38400, 1125},
                      T6Case{16'000'000, 38400, 938}, T6Case{25'000'000, 38400, 1465},
                      T6Case{40'000'000, 115200, 781}, T6Case{20'000'000, 9600, 4688}),
    [](const auto& info) {
        return "clock_" + std::to_string(info.param.clockHz / 1000) + "_kHz_at_" +
               std::to_string(info.param.baud) + "_baud";
    });

TEST(CpuModels, LookupIgnoresCaseAndRefusesUnknownNames) {
    ASSERT_TRUE(findCpuModel("XC16X").has_value());
    EXPECT_EQ(findCpuModel("C161Pi")->idChip, 0x1300);
    EXPECT_FALSE(findCpuModel("c167").has_value());
    EXPECT_FALSE(findCpuModel("").has_value());
}

TEST(CpuModels, GivenIdWordReplacesTheRegistersAndImpliesIdRegisters) {
    const CpuModel cr = *findCpuModel("c167cr");
    const CpuModel custom = withIdWord(cr, 0x18200C02);
    EXPECT_EQ(custom.idManuf, 0x1820);
    EXPECT_EQ(custom.idChip, 0x0C02);
    EXPECT_EQ(custom.bootId, 0xD5);
    EXPECT_EQ(withIdWord(cr, 0).bootId, 0xC5);

    Board board(quietConfig(custom));
    BoardClient client(board);
    EXPECT_EQ(client.startMonitor().front(), 0xD5);
    EXPECT_EQ(client.readWord(0xF07C), 0x0C02);
}

}  // namespace
}  // namespace halvard::sim::testing
