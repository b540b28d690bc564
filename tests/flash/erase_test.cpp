#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "support/fake_target.hpp"

namespace halvard::testing {
namespace {

constexpr const char* kHeading = "Erasing Flash-EPROM Block #:";

struct WalkCase {
    const char* name;
    FlashDevice device;
    std::uint32_t start;
    std::int32_t length;
    const char* numbers;  // what follows the heading
    std::vector<std::uint32_t> erased;
    EraseResult result;
};

// The offsets of the sectors erased, from the sector-erase commands (0x30) that reached them.
std::vector<std::uint32_t> erasedSectors(const FakeTarget& target, std::uint32_t base) {
    std::vector<std::uint32_t> offsets;
    for (const Access& a : target.accesses) {
        const bool command = (a.kind == AccessKind::byteWrite && a.value == 0x30) ||
                             (a.kind == AccessKind::wordWrite && a.value == 0x3030);
        if (command)
            offsets.push_back(a.address - base);
    }
    return offsets;
}

class EraseWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(EraseWalk, ErasesEverySectorTheRangeTouches) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{{GetParam().device, {}}};
    bench.flash.state.devices = table;
    SelectFlashOps(bench.flash);
    const EraseResult result = EraseFlashArea(bench.flash, GetParam().start, GetParam().length);
    EXPECT_EQ(bench.output(), std::string(kHeading) + GetParam().numbers);
    EXPECT_EQ(erasedSectors(bench.target, 0x20000), GetParam().erased);
    EXPECT_EQ(result, GetParam().result);
}

constexpr FlashDevice kRow0 = kFlashDevices[0];
constexpr FlashDevice kPairedC{"paired", 4, 0, kFlashAmd | kFlashBus16 | kFlashPaired, &kLayoutC};
constexpr FlashDevice kWordD{"bottom", 4, 0, kFlashAmd | kFlashBus16 | kFlashBootBottom, &kLayoutD};
INSTANTIATE_TEST_SUITE_P(
    Layouts, EraseWalk,
    ::testing::Values(WalkCase{"WholeDeviceA",
                               kRow0,
                               0,
                               0x20000,
                               "0 1 2 3 4 5 6 7 \n",
                               {0x0000, 0x4000, 0x8000, 0xC000, 0x10000, 0x14000, 0x18000, 0x1C000},
                               EraseResult::covered},
                      WalkCase{"SkippedSectorStillCounts",
                               kRow0,
                               0x5000,
                               0x8000,
                               "1 2 3 \n",
                               {0x4000, 0x8000, 0xC000},
                               EraseResult::covered},
                      WalkCase{"EndsExactlyOnASectorEnd",
                               kRow0,
                               0x4000,
                               0x4000,
                               "1 \n",
                               {0x4000},
                               EraseResult::covered},
                      WalkCase{"PastTheEnd",
                               kRow0,
                               0x1C000,
                               0x8000,
                               "7 \nEraseFlashArea Warning: Area bigger that flash size\n",
                               {0x1C000},
                               EraseResult::exceeded},
                      WalkCase{"StartAtTheEnd",
                               kRow0,
                               0x20000,
                               0,
                               "\nEraseFlashArea Warning: Area bigger that flash size\n",
                               {},
                               EraseResult::exceeded},
                      WalkCase{"StartFarBeyondTheEnd",
                               kRow0,
                               0xFFFFFFFF,
                               0x10,
                               "\nEraseFlashArea Warning: Area bigger that flash size\n",
                               {},
                               EraseResult::exceeded},
                      WalkCase{"EmptyRange", kRow0, 0x4000, 0, "\n", {}, EraseResult::covered},
                      WalkCase{"NegativeLength", kRow0, 0, -5, "\n", {}, EraseResult::covered},
                      WalkCase{"PairedSectorsCountTwice",
                               kPairedC,
                               0x7FFE,
                               4,
                               "0 1 \n",
                               {0x0000, 0x8000},
                               EraseResult::covered},
                      WalkCase{"SmallSectorsAtTheBottom",
                               kWordD,
                               0x6000,
                               0x4000,
                               "2 3 \n",
                               {0x6000, 0x8000},
                               EraseResult::covered}),
    [](const auto& info) { return info.param.name; });

TEST(EraseFlashAll, WalksTheWholeDevice) {
    TargetBench bench;
    bench.flash.state.flashIndex = 3;  // layout B: eight 64 KB sectors
    SelectFlashOps(bench.flash);
    EXPECT_EQ(EraseFlashAll(bench.flash), EraseResult::covered);
    EXPECT_EQ(bench.output(), std::string(kHeading) + "0 1 2 3 4 5 6 7 \n");
    EXPECT_EQ(erasedSectors(bench.target, 0x20000),
              (std::vector<std::uint32_t>{0, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000,
                                          0x70000}));
}

// Each sector is finished, poll and reset included, before the next one starts.
TEST(EraseFlashArea, SectorsOneAfterAnother) {
    TargetBench bench;
    SelectFlashOps(bench.flash);
    bench.target.accesses.clear();
    EraseFlashArea(bench.flash, 0, 0x8000);
    const auto& all = bench.target.accesses;
    ASSERT_EQ(all.size(), 2u * 10u);
    EXPECT_EQ(all[6], (Access{AccessKind::byteRead, 0x20000, 0xFF}));
    EXPECT_EQ(all[9], (Access{AccessKind::byteWrite, 0x25555, 0xF0}));
    EXPECT_EQ(all[15], (Access{AccessKind::byteWrite, 0x24000, 0x30}));
}

}  // namespace
}  // namespace halvard::testing
