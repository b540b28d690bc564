// The CFI fallback against the query tables of the virtual board's chip models, with a device
// table that knows none of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "sim/flash/flash_chip.hpp"
#include "support/fake_target.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

constexpr std::array<FlashDevice, 1> kNoRows{};
constexpr const char* kLooking = "Looking for a known flash device. Please wait..\n";

// What the model shows on its bus, byte by byte, once in query mode.
std::vector<std::uint8_t> queryWindowOf(const char* key) {
    sim::FlashChip chip(*sim::findChipModel(key), sim::fastTiming());
    if (chip.model().busWidth == 16)
        chip.write16(0xAA, 0x9898, 0);
    else
        chip.write8(0xAA, 0x98, 0);
    std::vector<std::uint8_t> window(0xA0);
    for (std::uint32_t i = 0; i < window.size(); ++i)
        window[i] = chip.read8(i, 0);
    return window;
}

struct QueryBench : TargetBench {
    explicit QueryBench(const char* key) {
        flash.state.devices = kNoRows;
        target.queryWindow = queryWindowOf(key);
    }
};

struct QueryCase {
    const char* key;
    std::vector<std::uint8_t> autoselectId;
    const char* line;
    std::uint16_t flags;
    std::uint32_t size;
    SectorGroup firstGroup;
};

class CfiQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(CfiQuery, DescribesTheDeviceAndLeavesItInReadMode) {
    const QueryCase& c = GetParam();
    QueryBench bench(c.key);
    bench.target.autoselectId = c.autoselectId;
    ASSERT_TRUE(FindFlashDevice(bench.flash)) << bench.output();
    EXPECT_FALSE(bench.target.query);
    PrintFlashDevice(bench.flash);
    EXPECT_EQ(bench.output(), std::string(kLooking) + c.line);
    const FlashDevice& device = CurrentFlashDevice(bench.flash);
    EXPECT_EQ(device.flags, c.flags);
    EXPECT_EQ(FlashSize(bench.flash), c.size);
    EXPECT_EQ(device.layout->groups[0].sectorCount, c.firstGroup.sectorCount);
    EXPECT_EQ(device.layout->groups[0].sectorSize, c.firstGroup.sectorSize);
    SelectFlashOps(bench.flash);
    EXPECT_FALSE(bench.target.autoselect);
}

INSTANTIATE_TEST_SUITE_P(
    Wirings, CfiQuery,
    ::testing::Values(
        // Regions listed bottom first by a top-boot part: turned round.
        QueryCase{"am29lv320dt",
                  {0x01, 0x00, 0xF6, 0x22},
                  "Flash found by its CFI query, ID 0x22f60001, 4096 KB, 16-bit bus, Boot Block "
                  "Top detected\n",
                  kFlashAmd | kFlashBus16 | kFlashBootTop,
                  0x400000,
                  {63, 0x100}},
        // Both lanes answer and the parts are x8 only: a pair, each sector counting twice.
        QueryCase{"am29f010-pair",
                  {0x01, 0x01, 0x20, 0x20},
                  "Flash found by its CFI query, ID 0x20200101, 256 KB, two chips on a 16-bit "
                  "bus detected\n",
                  kFlashAmd | kFlashBus16 | kFlashPaired,
                  0x40000,
                  {8, 0x40}},
        // Both lanes answer but the part is x8/x16: one part in byte mode on an 8-bit bus.
        QueryCase{"am29lv160db-x8",
                  {0x01, 0x01, 0x49},
                  "Flash found by its CFI query, ID 0x4901, 2048 KB, 8-bit bus, Boot Block "
                  "Bottom detected\n",
                  kFlashAmd | kFlashBus8 | kFlashBootBottom,
                  0x200000,
                  {1, 0x40}}),
    NamedAfter<&QueryCase::key>{});

TEST(CfiQueryRefused, OtherCommandSetIsNamedAndTheDeviceGetsItsReadArrayCommand) {
    QueryBench bench("28f800b3b");
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.output(), std::string(kLooking) +
                                  "Flash answers its CFI query with command set 0x0003 (Intel "
                                  "standard), not the AMD command set 0x0002\n");
    EXPECT_EQ(bench.target.accesses.back(), (Access{AccessKind::wordWrite, 0x20000, 0xFFFF}));
}

TEST(CfiQueryRefused, RegionsThatMissTheDeviceSizeAreNotUsed) {
    QueryBench bench("am29lv320dt");
    bench.target.queryWindow[2 * 0x27] = 23;  // 8 MB claimed, 4 MB in the regions
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.output(), std::string(kLooking) +
                                  "Flash answers its CFI query with a geometry that cannot be "
                                  "used\n");
    EXPECT_FALSE(bench.target.query);
}

TEST(CfiQueryRefused, SixteenBitOnlyIgnoresAPartOnAnEightBitBus) {
    QueryBench bench("am29lv160db-x8");
    bench.flash.settings.only16Bit = true;
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0x0. ");
    EXPECT_FALSE(bench.target.query);
}

}  // namespace
}  // namespace halvard::testing
