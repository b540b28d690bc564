#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "flash_host.hpp"
#include "support/test_names.hpp"

namespace halvard::sim {
namespace {

using testing::FlashHost;

constexpr std::uint8_t kDq7 = 0x80;
constexpr std::uint8_t kDq6 = 0x40;
constexpr std::uint8_t kDq5 = 0x20;

const ChipModel& model(std::string_view key) {
    return *findChipModel(key);
}

bool allErased(std::span<const std::uint8_t> bytes) {
    return std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0xFF; });
}

// ---- program -------------------------------------------------------------------------------

TEST(Program, StatusShowsInvertedDq7AndTogglingDq6UntilTheCellHoldsTheDatum) {
    FlashHost host(model("psd813f"), datasheetTiming());
    host.program8(0x1234, 0x5A);
    const std::uint8_t first = host.read8(0x1234);
    const std::uint8_t second = host.read8(0x1234);
    EXPECT_EQ(first & kDq7, kDq7) << "bit 7 of 0x5A is 0";
    EXPECT_EQ(second & kDq7, kDq7);
    EXPECT_NE(first & kDq6, second & kDq6);
    EXPECT_EQ((first | second) & kDq5, 0);
    EXPECT_EQ(host.chip.array()[0x1234], 0xFF) << "the cell changes when the algorithm ends";

    const FlashHost::Poll poll = host.poll8(0x1234, 0x5A);
    EXPECT_TRUE(poll.matched);
    // 14 us at 250 ns per read: the poll needs dozens of reads, not one.
    EXPECT_GT(poll.reads, 40u);
    EXPECT_LT(poll.reads, 60u);
    EXPECT_EQ(host.read8(0x1234), 0x5A);
    EXPECT_EQ(host.read8(0x1234), 0x5A) << "DQ6 stops toggling";
}

TEST(Program, StatusOfAByteWithBit7SetShowsDq7Clear) {
    FlashHost host(model("psd813f"));
    host.program8(0x10, 0x80);
    EXPECT_EQ(host.read8(0x10) & kDq7, 0);
    EXPECT_TRUE(host.poll8(0x10, 0x80).matched);
}

TEST(Program, ExtraReadOfTheNextCellAfterThePollSeesTheArray) {
    FlashHost host(model("psd813f"));
    host.chip.array()[0x201] = 0x3C;
    host.program8(0x200, 0x11);
    ASSERT_TRUE(host.poll8(0x200, 0x11).matched);
    EXPECT_EQ(host.read8(0x201), 0x3C);
}

TEST(Program, ZeroToOneEndsWithDq5AndNeedsAReset) {
    FlashHost host(model("psd813f"));
    host.chip.array()[0x40] = 0xF0;
    host.program8(0x40, 0x0F);
    const FlashHost::Poll poll = host.poll8(0x40, 0x0F);
    EXPECT_FALSE(poll.matched);
    EXPECT_EQ(poll.last & kDq5, kDq5);
    EXPECT_EQ(poll.last & kDq7, kDq7) << "DQ7 stays inverted against bit 7 of 0x0F";
    EXPECT_GE(host.now, fastTiming().programFailNs);

    host.wait(1'000'000);
    EXPECT_EQ(host.read8(0x40) & kDq5, kDq5) << "status until a reset";
    host.write8(0x7000, 0x00);  // a stray write does not end the error
    host.program8(0x41, 0x00);  // ignored: only a reset is taken now
    EXPECT_EQ(host.read8(0x40) & ~kDq6, kDq7 | kDq5) << "status, not the cell's 0x00";

    host.write8(0, 0xF0);
    // The bits that could be cleared were; no 0 came back as 1.
    EXPECT_EQ(host.read8(0x40), 0x00);
    EXPECT_EQ(host.read8(0x41), 0xFF);
}

TEST(Program, UnlockedResetAlsoClearsTheError) {
    FlashHost host(model("psd813f"));
    host.chip.array()[0] = 0x00;
    host.program8(0, 0x01);
    host.wait(fastTiming().programFailNs);
    ASSERT_EQ(host.read8(0) & kDq5, kDq5);
    host.reset();
    EXPECT_EQ(host.read8(0), 0x00);
    host.program8(1, 0x42);
    EXPECT_TRUE(host.poll8(1, 0x42).matched);
}

TEST(Program, WriteCyclesWhileBusyAreIgnored) {
    FlashHost host(model("psd813f"), datasheetTiming());
    host.program8(0x100, 0x7F);
    host.program8(0x101, 0x00);  // lands inside the 14 us
    host.write8(0x100, 0xF0);
    ASSERT_TRUE(host.poll8(0x100, 0x7F).matched);
    EXPECT_EQ(host.read8(0x101), 0xFF);
}

TEST(Program, ProgrammingAnEqualOrErasedValueNeverFails) {
    FlashHost host(model("psd813f"));
    host.chip.array()[5] = 0x5A;
    host.program8(5, 0x5A);
    EXPECT_TRUE(host.poll8(5, 0x5A).matched);
    host.program8(6, 0xFF);
    EXPECT_TRUE(host.poll8(6, 0xFF).matched);
}

TEST(Program, WordWideCellsTakeWholeWordsAndShowStatusInBothBytes) {
    FlashHost host(model("word-d"));
    host.program16(0x8002, 0x1280);
    const std::uint16_t status = host.read16(0x8002);
    EXPECT_EQ(status & 0x8080, 0x8000) << "DQ7 against bit 7, DQ15 against bit 15";
    EXPECT_EQ(status >> 8 & kDq6, status & kDq6);
    host.wait(fastTiming().programNs);
    EXPECT_EQ(host.read16(0x8002), 0x1280);
    EXPECT_EQ(host.chip.array()[0x8002], 0x80);
    EXPECT_EQ(host.chip.array()[0x8003], 0x12);
}

TEST(Program, PairedLanesProgramAndFailOnTheirOwn) {
    FlashHost host(model("paired-c"));
    host.chip.array()[0x101] = 0x00;  // odd lane cell already programmed
    host.program16(0x100, 0x0133);    // the odd lane would need a 0 to become 1
    host.wait(fastTiming().programFailNs);
    // The host polls each lane in turn: the even one ends well, the odd one with DQ5.
    EXPECT_TRUE(host.poll8(0x100, 0x33).matched);
    const FlashHost::Poll odd = host.poll8(0x101, 0x01);
    EXPECT_FALSE(odd.matched);
    EXPECT_EQ(odd.last & kDq5, kDq5);
    host.reset();
    EXPECT_EQ(host.read16(0x100), 0x0033);
}

TEST(Program, ByteWritesToAPairReachOneLane) {
    FlashHost host(model("paired-c"));
    host.unlock();
    host.put(host.chip.model().unlock1, 0xA0);
    host.write8(0x201, 0x44);
    EXPECT_EQ(host.read8(0x200), 0xFF) << "the even lane saw the command but no data yet";
    EXPECT_TRUE(host.poll8(0x201, 0x44).matched);
}

// ---- erase ---------------------------------------------------------------------------------

struct SectorCase {
    const char* name;
    const char* key;
    std::uint32_t inside;  // an address in the sector, as the host names it
    std::uint32_t start;
    std::uint32_t bytes;
};

class SectorEraseTest : public ::testing::TestWithParam<SectorCase> {};

TEST_P(SectorEraseTest, ErasesExactlyTheSectorHoldingTheAddress) {
    const SectorCase& c = GetParam();
    FlashHost host(model(c.key));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.sectorErase(c.inside);
    EXPECT_EQ(host.read8(c.start) & (kDq7 | kDq5), 0) << "erase status: DQ7 = 0";
    EXPECT_TRUE(host.chip.busy(host.now));
    host.wait(fastTiming().sectorEraseNs);
    EXPECT_FALSE(host.chip.busy(host.now));
    const auto cells = host.chip.array();
    EXPECT_TRUE(allErased(cells.subspan(c.start, c.bytes)));
    if (c.start > 0) {
        EXPECT_EQ(cells[c.start - 1], 0x00);
    }
    if (c.start + c.bytes < cells.size()) {
        EXPECT_EQ(cells[c.start + c.bytes], 0x00);
    }
    EXPECT_EQ(static_cast<std::uint32_t>(std::ranges::count(cells, 0xFF)), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SectorEraseTest,
    ::testing::Values(
        SectorCase{"psd813f_second_sector", "psd813f", 0x4000, 0x4000, 0x4000},
        SectorCase{"psd813f_last_sector_by_its_last_byte", "psd813f", 0x1FFFF, 0x1C000, 0x4000},
        SectorCase{"psd835g2_inside_a_64K_sector", "psd835g2", 0x2ABCD, 0x20000, 0x10000},
        SectorCase{"word_d_first_sector", "word-d", 0x0000, 0x0000, 0x4000},
        SectorCase{"word_d_8K_sector", "word-d", 0x6000, 0x6000, 0x2000},
        SectorCase{"word_d_inside_a_32K_sector", "word-d", 0x9000, 0x8000, 0x8000},
        SectorCase{"word_d_last_word", "word-d", 0x7FFFE, 0x70000, 0x10000},
        SectorCase{"paired_c_second_sector_of_both_chips", "paired-c", 0x8000, 0x8000, 0x8000}),
    halvard::testing::NamedAfter<&SectorCase::name>{});

TEST(Erase, HostStylePollSeesFfAtTheEnd) {
    FlashHost host(model("psd813f"));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.sectorErase(0x4000);
    std::uint8_t value = host.read8(0x4000);
    unsigned polls = 0;
    while (value != 0xFF && (value & kDq5) == 0 && polls < 100) {
        host.wait(10'000'000);  // the host sleeps 10 ms between reads
        value = host.read8(0x4000);
        ++polls;
    }
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(polls, 1u);
}

TEST(Erase, ChipEraseClearsEverySector) {
    FlashHost host(model("word-e"));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.chipErase();
    host.wait(fastTiming().chipEraseNs - 2 * FlashHost::kAccessNs);
    EXPECT_TRUE(host.chip.busy(host.now));
    EXPECT_EQ(host.chip.array()[0], 0x00);
    host.wait(FlashHost::kAccessNs);
    EXPECT_EQ(host.read16(0xFFFFE), 0xFFFF);
    EXPECT_TRUE(allErased(host.chip.array()));
}

TEST(Erase, CommandsDuringAnEraseAreIgnored) {
    FlashHost host(model("psd813f"));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.sectorErase(0);
    host.put(0x4000, 0x30);  // a later sector is not added
    host.reset();            // nor does a reset stop the erase
    host.program8(0x10, 0x00);
    EXPECT_EQ(host.read8(0x10) & kDq7, 0) << "still erasing";
    host.wait(fastTiming().sectorEraseNs);
    EXPECT_FALSE(host.chip.busy(host.now));
    EXPECT_TRUE(allErased(host.chip.array().first(0x4000)));
    EXPECT_EQ(host.chip.array()[0x4000], 0x00);
}

// ---- faults --------------------------------------------------------------------------------

TEST(Faults, StuckCellFailsToProgramButErases) {
    FlashHost host(model("psd813f"));
    host.chip.addStuckCell(0x300);
    host.program8(0x300, 0x12);
    const FlashHost::Poll poll = host.poll8(0x300, 0x12);
    EXPECT_FALSE(poll.matched);
    EXPECT_EQ(poll.last & kDq5, kDq5);
    host.reset();
    EXPECT_EQ(host.read8(0x300), 0xFF);

    host.program8(0x301, 0x12);
    EXPECT_TRUE(host.poll8(0x301, 0x12).matched) << "its neighbour is healthy";
    host.sectorErase(0);
    host.wait(fastTiming().sectorEraseNs);
    EXPECT_EQ(host.read8(0x301), 0xFF);
}

TEST(Faults, StuckByteSpoilsTheWordOfAWordWideCell) {
    FlashHost host(model("word-c"));
    host.chip.addStuckCell(0x11);
    host.program16(0x10, 0xFF00);  // leaves the stuck high byte alone, still one cell
    host.wait(fastTiming().programFailNs);
    EXPECT_EQ(host.read16(0x10) & kDq5, kDq5);
}

TEST(Faults, FailingSectorEndsTheEraseWithDq5AndKeepsItsData) {
    FlashHost host(model("psd813f"));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.chip.failErase(2);
    host.sectorErase(0x8000);
    host.wait(fastTiming().sectorEraseNs);
    const std::uint8_t status = host.read8(0x8000);
    EXPECT_EQ(status & (kDq7 | kDq5), kDq5);
    EXPECT_NE(status, 0xFF);
    host.reset();
    EXPECT_EQ(host.read8(0x8000), 0x00);
    host.sectorErase(0x4000);
    host.wait(fastTiming().sectorEraseNs);
    EXPECT_EQ(host.read8(0x4000), 0xFF);
}

TEST(Faults, ChipEraseWithAFailingSectorErasesTheOthers) {
    FlashHost host(model("psd813f"));
    std::ranges::fill(host.chip.array(), std::uint8_t{0x00});
    host.chip.failErase(7);
    host.chipErase();
    host.wait(fastTiming().chipEraseNs);
    EXPECT_EQ(host.read8(0) & kDq5, kDq5);
    host.reset();
    EXPECT_TRUE(allErased(host.chip.array().first(0x1C000)));
    EXPECT_EQ(host.chip.array()[0x1C000], 0x00);
}

TEST(Faults, UnknownSectorIsRefused) {
    FlashChip chip(model("psd813f"), fastTiming());
    EXPECT_THROW(chip.failErase(8), std::out_of_range);
}

TEST(Faults, SlowEraseTakesTheGivenTimePerSector) {
    FlashHost host(model("psd813f"));
    host.chip.setEraseTimePerSector(50'000'000);
    host.sectorErase(0);
    const std::uint64_t started = host.now;
    EXPECT_EQ(host.chip.busyUntil(host.now), started + 50'000'000);
    host.wait(50'000'000);
    host.chipErase();
    EXPECT_EQ(host.chip.busyUntil(host.now), host.now + 8 * 50'000'000ull);
}

// ---- timing --------------------------------------------------------------------------------

struct TimingCase {
    const char* name;
    FlashTiming timing;
};

class TimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(TimingTest, BusyTimesFollowTheTiming) {
    const FlashTiming& timing = GetParam().timing;
    FlashHost host(model("psd813f"), timing);
    const auto busyFor = [&host] { return *host.chip.busyUntil(host.now) - host.now; };
    host.program8(0, 0x00);
    EXPECT_EQ(busyFor(), timing.programNs);
    host.wait(timing.programNs);
    host.program8(0, 0x01);
    EXPECT_EQ(busyFor(), timing.programFailNs);
    host.wait(timing.programFailNs);
    host.reset();
    host.sectorErase(0);
    EXPECT_EQ(busyFor(), timing.sectorEraseNs);
    host.wait(timing.sectorEraseNs);
    host.chipErase();
    EXPECT_EQ(busyFor(), timing.chipEraseNs);
}

INSTANTIATE_TEST_SUITE_P(Timings, TimingTest,
                         ::testing::Values(TimingCase{"fast", fastTiming()},
                                           TimingCase{"datasheet", datasheetTiming()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Timing, ZeroTimesAnswerArrayDataRightAway) {
    FlashHost host(model("psd813f"), FlashTiming{0, 0, 0, 0});
    host.program8(0x10, 0x42);
    EXPECT_EQ(host.read8(0x10), 0x42);
}

// ---- the flash algorithm's traffic ---------------------------------------------------------

// The target's algorithm for a whole chip: compare, unlock and program through the unlock
// cells, poll the low byte, then read the next cell once.
TEST(FlashAlgorithm, ProgramsAWholeByteWideChip) {
    FlashHost host(model("psd813f"));
    const std::uint32_t size = host.chip.size();
    unsigned failures = 0;
    for (std::uint32_t offset = 0; offset < size; ++offset) {
        const auto datum = static_cast<std::uint8_t>(offset * 7 + (offset >> 8));
        if (host.read8(offset) == datum) {
            continue;
        }
        host.program8(offset, datum);
        failures += host.poll8(offset, datum).matched ? 0 : 1;
        (void)host.read8(offset + 1);
    }
    EXPECT_EQ(failures, 0u);
    for (std::uint32_t offset = 0; offset < size; offset += 997) {
        ASSERT_EQ(host.chip.array()[offset], static_cast<std::uint8_t>(offset * 7 + (offset >> 8)))
            << offset;
    }
}

}  // namespace
}  // namespace halvard::sim
