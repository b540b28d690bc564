// The named faults of the ready-made board, each shown at the byte level.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "board_client.hpp"
#include "sim/board/faults.hpp"
#include "sim/board/virtual_board.hpp"
#include "support/test_names.hpp"
#include "target/target_image.hpp"

namespace halvard::sim::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlashBase = 0x20000;

Bytes hostUpload() {
    Bytes upload(TargetImage.begin(), TargetImage.begin() + 32 + 274);
    return upload;
}

VirtualBoardOptions optionsWith(std::initializer_list<std::string_view> faults) {
    VirtualBoardOptions options;
    options.board = quietConfig();
    options.earlierUpload = hostUpload();
    for (const std::string_view fault : faults) {
        const std::string why = addFault(options.faults, fault);
        EXPECT_EQ(why, "") << fault;
    }
    return options;
}

// A board with the faults, and a byte-level client on it.
struct FaultyBoard {
    explicit FaultyBoard(std::initializer_list<std::string_view> faults)
        : board(optionsWith(faults)), client(board) {}
    VirtualBoard board;
    BoardClient client;
};

const Bytes kNormalStart{0xC5, 'V', 0xAA};

// ---- parsing ----

TEST(FaultParsing, ArgumentsLandInTheFaultSet) {
    FaultSet f;
    for (const char* text :
         {"noise=1e-3,42", "stuck=0x1234", "stuck=10", "erase-fail=3", "slow-erase=250", "drop=7",
          "drop=900", "hangup=0", "id=d5", "cpu-id=18200C02", "corrupt-upload=273", "bad-ack",
          "flash=psd835g2"}) {
        EXPECT_EQ(addFault(f, text), "") << text;
    }
    ASSERT_TRUE(f.noise.has_value());
    EXPECT_DOUBLE_EQ(f.noise->rate, 0.001);
    EXPECT_EQ(f.noise->seed, 42U);
    EXPECT_EQ(f.stuckCells, (std::vector<std::uint32_t>{0x1234, 0x10}));
    EXPECT_EQ(f.failingSectors, std::vector<unsigned>{3});
    EXPECT_EQ(f.eraseMsPerSector, 250U);
    EXPECT_EQ(f.droppedBytes, (std::vector<std::uint64_t>{7, 900}));
    EXPECT_EQ(f.hangupAfter, 0U);
    EXPECT_EQ(f.loaderId, 0xD5);
    EXPECT_EQ(f.cpuId, 0x18200C02U);
    EXPECT_EQ(f.corruptUpload, 273U);
    EXPECT_EQ(f.acknowledge, AcknowledgeFault::wrong);
    EXPECT_EQ(f.wrongAcknowledge, kDefaultWrongAcknowledge);
    EXPECT_EQ(f.flash, "psd835g2");

    FaultSet seeded;
    ASSERT_EQ(addFault(seeded, "noise=0.5"), "");
    EXPECT_EQ(seeded.noise->seed, 1U);
}

struct BadFault {
    const char* text;
    const char* why;  // part of the message
};

class FaultParsingRefuses : public ::testing::TestWithParam<BadFault> {};

TEST_P(FaultParsingRefuses, WithAClearReason) {
    FaultSet f;
    const std::string why = addFault(f, GetParam().text);
    EXPECT_NE(why.find(GetParam().why), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FaultParsingRefuses,
    ::testing::Values(
        BadFault{"melt", "unknown fault 'melt' (known: silent, echo"},
        BadFault{"stuck-cell=10", "unknown fault"}, BadFault{"", "unknown fault"},
        BadFault{"silent=1", "takes no argument"}, BadFault{"split-answer=", "takes no argument"},
        BadFault{"id", "needs an argument: id=HEX"}, BadFault{"id=100", "bad argument '100'"},
        BadFault{"id=zz", "bad argument"}, BadFault{"bad-ack=56", "bad argument"},
        BadFault{"corrupt-upload=274", "bad argument"},
        BadFault{"cpu-id=1FFFFFFFF", "bad argument"},
        BadFault{"flash=psd999", "bad argument 'psd999'"}, BadFault{"stuck=xyz", "bad argument"},
        BadFault{"erase-fail=", "needs"}, BadFault{"slow-erase=-1", "bad argument"},
        BadFault{"drop=0", "bad argument"}, BadFault{"noise=0", "bad argument"},
        BadFault{"noise=2", "bad argument"}, BadFault{"noise=0.1,x", "bad argument"},
        BadFault{"hangup=many", "bad argument"}),
    halvard::testing::NamedAfter<&BadFault::text>{});

TEST(FaultSetup, FaultsThatDoNotFitTheBoardAreRefused) {
    for (const auto& faults : {std::vector<std::string_view>{"stuck=20000"},  // past 128 KB
                               {"erase-fail=8"},
                               {"flash=none", "stuck=10"},
                               {"flash=none", "slow-erase=5"}}) {
        VirtualBoardOptions options;
        options.board = quietConfig();
        for (const auto fault : faults)
            ASSERT_EQ(addFault(options.faults, fault), "");
        EXPECT_THROW(VirtualBoard{options}, BoardSetupError) << faults.back();
    }
    VirtualBoardOptions noUpload;
    noUpload.board = quietConfig();
    ASSERT_EQ(addFault(noUpload.faults, "running"), "");
    EXPECT_THROW(VirtualBoard{noUpload}, BoardSetupError);
}

// ---- the loader's exchange ----

TEST(LoaderFaults, SilentBoardTakesNothingAndSaysNothing) {
    FaultyBoard f{"silent"};
    EXPECT_EQ(f.client.startMonitor(), Bytes{});
    EXPECT_TRUE(f.board.board().inLoader());
}

TEST(LoaderFaults, EchoingLineReturnsEveryHostByteBeforeTheAnswer) {
    FaultyBoard f{"echo"};
    EXPECT_EQ(f.client.send({0x00}), (Bytes{0x00, 0xC5}));
    Bytes code(bootstrapCode().begin(), bootstrapCode().end());
    code.push_back('V');
    EXPECT_EQ(f.client.send(bootstrapCode()), code);
    EXPECT_EQ(f.client.send(monitorUpload()).size(), monitorUpload().size());
    EXPECT_EQ(f.client.send({0x00}), (Bytes{0x00, 0xAA}));
}

struct StartCase {
    std::string_view fault;
    Bytes answers;  // to the zero byte, the bootstrap code and the first ping
};

class StartFaults : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartFaults, ChangeOnlyTheirByteAndTheMonitorStillRuns) {
    FaultyBoard f{GetParam().fault};
    EXPECT_EQ(f.client.startMonitor(), GetParam().answers);
    EXPECT_EQ(f.client.send({0x0F}), (Bytes{0x40, 0xFA}));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StartFaults,
    ::testing::Values(StartCase{"id=a5", {0xA5, 'V', 0xAA}}, StartCase{"no-ack", {0xC5, 0xAA}},
                      StartCase{"bad-ack", {0xC5, 'U', 0xAA}},
                      StartCase{"bad-ack=41", {0xC5, 0x41, 0xAA}}, StartCase{"drop=1", {'V', 0xAA}},
                      StartCase{"drop=2", {0xC5, 0xAA}}, StartCase{"drop=3", {0xC5, 'V'}},
                      StartCase{"cpu-id=18200C02", {0xD5, 'V', 0xAA}}),
    halvard::testing::NamedAfter<&StartCase::fault>{});

TEST(LoaderFaults, CpuIdFillsTheIdentificationRegisters) {
    FaultyBoard f{"cpu-id=18200C02"};
    f.client.startMonitor();
    EXPECT_EQ(f.client.readWord(0xF07E), 0x1820);
    EXPECT_EQ(f.client.readWord(0xF07C), 0x0C02);
}

TEST(LoaderFaults, CorruptUploadAltersOneMonitorByteSoItsChecksumFails) {
    // Byte 76 of the upload lies in the handler of command 0x01, which this test never runs.
    constexpr std::size_t kIndex = 76;
    FaultyBoard f{"corrupt-upload=76"};
    ASSERT_EQ(f.client.startMonitor(), kNormalStart);
    const std::uint8_t sent = monitorUpload()[kIndex];
    const std::uint8_t arrived = f.client.readByte(0xFA60 + kIndex);
    EXPECT_EQ(std::popcount(static_cast<unsigned>(sent ^ arrived)), 1);
    const auto sum = f.client.checksum(0xFA60, 264);
    ASSERT_EQ(sum.size(), 2U);
    const auto expected = static_cast<std::uint16_t>(0x7B96 - sent + arrived);
    EXPECT_EQ(sum[0] | (sum[1] << 8), expected);
    EXPECT_NE(expected, 0x7B96);
}

TEST(LoaderFaults, RunningBoardAnswersTheFirstZeroByteAsItsMonitor) {
    FaultyBoard f{"running"};
    EXPECT_FALSE(f.board.board().inLoader());
    EXPECT_EQ(f.client.send({0x00}), Bytes{0xAA});
    EXPECT_EQ(f.client.checksum(0xFA60, 264), (Bytes{0x96, 0x7B}));
    // The reset button still brings the loader back.
    f.board.reset();
    EXPECT_EQ(f.client.send({0x00}), Bytes{0xC5});
}

// ---- the wire ----

TEST(LineFaults, HangupEndsTheLineAfterThatManyBytesEitherWay) {
    FaultyBoard f{"hangup=3"};
    EXPECT_EQ(f.client.send({0x00}), Bytes{0xC5});  // two bytes have crossed
    EXPECT_FALSE(f.board.lineGone());
    EXPECT_EQ(f.client.send(bootstrapCode()), Bytes{});  // only the first code byte gets through
    EXPECT_TRUE(f.board.lineGone());
    EXPECT_TRUE(f.board.board().inLoader());
    EXPECT_EQ(f.client.send(bootstrapCode()), Bytes{});
    EXPECT_TRUE(f.board.board().inLoader());

    FaultyBoard gone{"hangup=0"};
    EXPECT_TRUE(gone.board.lineGone());
    EXPECT_EQ(gone.client.send({0x00}), Bytes{});
}

TEST(LineFaults, NoiseOnEveryByteKeepsTheLoaderFromSeeingItsZeroByte) {
    FaultyBoard f{"noise=1"};
    EXPECT_EQ(f.client.send(Bytes(16, 0x00)), Bytes{});
    EXPECT_TRUE(f.board.board().inLoader());
}

Bytes noisyReads(std::string_view noise) {
    FaultyBoard f{"running", noise};
    Bytes received;
    for (int i = 0; i < 16; ++i) {
        const auto block = f.client.readBlock(0xFA40, 434);
        received.insert(received.end(), block.begin(), block.end());
    }
    return received;
}

TEST(LineFaults, NoiseFlipsSingleBitsReproduciblyWithTheSeed) {
    FaultyBoard clean{"running"};
    const Bytes memory = clean.client.readBlock(0xFA40, 434);
    // Seed 2 happens to leave the 96 request bytes alone (a hit there would garble a whole
    // block), so every difference is noise on the way back.
    const Bytes first = noisyReads("noise=0.004,2");
    ASSERT_EQ(first.size(), 16U * 434);
    unsigned hit = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        const std::uint8_t expected = memory[i % 434];
        if (first[i] != expected) {
            ++hit;
            EXPECT_EQ(std::popcount(static_cast<unsigned>(first[i] ^ expected)), 1) << i;
        }
    }
    // About 28 expected of 6944; a seed that also hit a request byte would garble a whole block.
    EXPECT_GT(hit, 5U);
    EXPECT_LT(hit, 80U);
    EXPECT_EQ(noisyReads("noise=0.004,2"), first);
    EXPECT_NE(noisyReads("noise=0.004,3"), first);
}

// ---- the flash ----

class FlashFaults : public ::testing::Test {
  protected:
    static Bytes zeros(std::size_t n) { return Bytes(n, 0x00); }

    static void startFlashAlgorithm(FaultyBoard& f) {
        ASSERT_EQ(f.client.startMonitor(), kNormalStart);
        f.client.loadFlashAlgorithm(kFlashBase);
    }

    // Unlock, 0x80, unlock, 0x30 into the sector at `offset`.
    static void eraseSector(BoardClient& client, std::uint32_t offset) {
        for (const auto& [at, value] : {std::pair{0x5555U, 0xAA},
                                        {0x2AAAU, 0x55},
                                        {0x5555U, 0x80},
                                        {0x5555U, 0xAA},
                                        {0x2AAAU, 0x55}}) {
            client.writeByte(kFlashBase + at, static_cast<std::uint8_t>(value));
        }
        client.writeByte(kFlashBase + offset, 0x30);
    }

    static void letTimePass(VirtualBoard& board, std::uint64_t ms) {
        board.run({.untilNs = board.nowNs() + ms * 1'000'000, .idleTimePasses = true});
    }
};

TEST_F(FlashFaults, StuckCellMakesTheFlashAlgorithmReportItsOffset) {
    FaultyBoard f{"stuck=100"};
    startFlashAlgorithm(f);
    // 0xF0 to 0x10F: the cell at 0x100 cannot become 0.
    EXPECT_EQ(f.client.programBlock(kFlashBase + 0xF0, zeros(32)), (Bytes{0x5A, 0x00, 0x01}));
    EXPECT_EQ(f.board.flashChip()->array()[0xFF], 0x00);
    EXPECT_EQ(f.board.flashChip()->array()[0x100], 0xFF);

    FaultyBoard sound{};
    startFlashAlgorithm(sound);
    EXPECT_EQ(sound.client.programBlock(kFlashBase + 0xF0, zeros(32)), Bytes{0xAA});
}

TEST_F(FlashFaults, FailingSectorEndsItsEraseWithDq5AndKeepsItsCells) {
    FaultyBoard f{"erase-fail=2"};
    ASSERT_EQ(f.client.startMonitor(), kNormalStart);
    FlashChip& chip = *f.board.flashChip();
    chip.array()[0x8010] = 0x00;  // sector 2
    chip.array()[0x4010] = 0x00;  // sector 1
    eraseSector(f.client, 0x8000);
    letTimePass(f.board, 50);
    EXPECT_NE(f.client.readByte(kFlashBase + 0x8010) & 0x20, 0);  // DQ5
    f.client.writeByte(kFlashBase, 0xF0);
    EXPECT_EQ(f.client.readByte(kFlashBase + 0x8010), 0x00);

    eraseSector(f.client, 0x4000);
    letTimePass(f.board, 50);
    EXPECT_EQ(f.client.readByte(kFlashBase + 0x4010), 0xFF);
}

TEST_F(FlashFaults, SlowEraseStaysBusyForItsTime) {
    FaultyBoard f{"slow-erase=80"};
    ASSERT_EQ(f.client.startMonitor(), kNormalStart);
    eraseSector(f.client, 0x0000);
    letTimePass(f.board, 70);
    const std::uint8_t first = f.client.readByte(kFlashBase);
    const std::uint8_t second = f.client.readByte(kFlashBase);
    EXPECT_EQ(first & 0x80, 0);                // DQ7: erase running
    EXPECT_EQ((first ^ second) & 0x40, 0x40);  // DQ6 toggles
    letTimePass(f.board, 20);
    EXPECT_EQ(f.client.readByte(kFlashBase), 0xFF);
}

struct FlashSwap {
    const char* name;
    std::string_view fault;
    std::uint8_t deviceCode;  // what autoselect answers at base + 1
};

class FlashSwaps : public FlashFaults, public ::testing::WithParamInterface<FlashSwap> {};

TEST_P(FlashSwaps, AutoselectShowsTheOtherChip) {
    FaultyBoard f{GetParam().fault};
    ASSERT_EQ(f.client.startMonitor(), kNormalStart);
    f.client.writeByte(kFlashBase + 0x5555, 0xAA);
    f.client.writeByte(kFlashBase + 0x2AAA, 0x55);
    f.client.writeByte(kFlashBase + 0x5555, 0x90);
    EXPECT_EQ(f.client.readByte(kFlashBase + 1), GetParam().deviceCode);
}

INSTANTIATE_TEST_SUITE_P(Chips, FlashSwaps,
                         ::testing::Values(FlashSwap{"psd835g2_by_its_key", "flash=psd835g2", 0xE8},
                                           FlashSwap{"E720_by_its_identifier", "flash=0xE720",
                                                     0xE7},
                                           FlashSwap{"unknown_chip", "flash=unknown", 0xE5},
                                           FlashSwap{"no_chip", "flash=none", 0xFF}),
                         halvard::testing::NamedAfter<&FlashSwap::name>{});

TEST_F(FlashFaults, SplitAnswerSpreadsTheAlgorithmsAnswerBytesOut) {
    const auto answerGaps = [](std::initializer_list<std::string_view> faults) {
        FaultyBoard f(faults);
        startFlashAlgorithm(f);
        Bytes frame{0x0E, 0xF0, 0x00, 0x02, 32, 0};
        const Bytes data = zeros(32);
        frame.insert(frame.end(), data.begin(), data.end());
        const std::uint64_t sent = f.board.nowNs();
        std::vector<std::uint64_t> times = f.client.arrivalTimes(frame);
        for (auto& time : times)
            time -= sent;
        return times;
    };
    const auto plain = answerGaps({});
    const auto split = answerGaps({"split-answer"});
    ASSERT_EQ(plain.size(), 1U);
    ASSERT_EQ(split.size(), 1U);
    // The answer leaves the core at the same moment; its frame ends the gap later.
    EXPECT_NEAR(static_cast<double>(split[0] - plain[0]), kSplitAnswerGapNs, 10'000.0);

    const auto failed = answerGaps({"split-answer", "stuck=100"});
    ASSERT_EQ(failed.size(), 3U);
    EXPECT_GE(failed[1] - failed[0], kSplitAnswerGapNs);
    EXPECT_GE(failed[2] - failed[1], kSplitAnswerGapNs);
}

TEST(FlashImage, CellsSurviveTheBoardInTheirFile) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("halvard-board-image-" +
                       std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".bin");
    std::filesystem::remove(path);
    {
        VirtualBoardOptions options = optionsWith({});
        options.flashImage = path;
        VirtualBoard board(options);
        BoardClient client(board);
        ASSERT_EQ(client.startMonitor(), kNormalStart);
        client.loadFlashAlgorithm();
        const Bytes data{1, 2, 3, 4};
        ASSERT_EQ(client.programBlock(kFlashBase + 0x1000, data), Bytes{0xAA});
    }
    EXPECT_EQ(std::filesystem::file_size(path), 128U * 1024);
    VirtualBoardOptions options = optionsWith({});
    options.flashImage = path;
    VirtualBoard board(options);
    BoardClient client(board);
    ASSERT_EQ(client.startMonitor(), kNormalStart);
    EXPECT_EQ(client.readBlock(kFlashBase + 0xFFF, 6), (Bytes{0xFF, 1, 2, 3, 4, 0xFF}));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace halvard::sim::testing
