#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "monitor/fake_monitor.hpp"
#include "session/board_setup.hpp"
#include "session/bringup.hpp"
#include "session/bringup_fake_board.hpp"
#include "session/cpu_table.hpp"
#include "support/fakes.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

struct IdentifyCase {
    const char* name;
    std::uint32_t id;
    bool found;
    const char* line;
};

class IdentifyCpuTest : public ::testing::TestWithParam<IdentifyCase> {
  protected:
    KeptLineSession scripted;
    FakeMonitor monitor{scripted.line};
};

TEST_P(IdentifyCpuTest, MatchesTheFirstRowAndPrintsTheRevision) {
    monitor.setWord(0xF07E, static_cast<std::uint16_t>(GetParam().id >> 16));
    monitor.setWord(0xF07C, static_cast<std::uint16_t>(GetParam().id));
    EXPECT_EQ(IdentifyCpu(scripted.session), GetParam().found);
    EXPECT_EQ(scripted.output.text(), GetParam().line);
    const std::vector<std::uint8_t> reads{0x07, 0x7E, 0xF0, 0x00, 0x07, 0x7C, 0xF0, 0x00};
    EXPECT_EQ(scripted.line.written(), reads) << "manufacturer first, then chip";
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdentifyCpuTest,
    ::testing::Values(
        IdentifyCase{"c167cs_revision_3", 0x18200C02, true, "CPU = Infineon C167CS, Revision 3\n"},
        IdentifyCase{"zero_id_is_c167cr_revision_1", 0x00000000, true,
                     "CPU = Infineon C167CR/C167SR, Revision 1\n"},
        IdentifyCase{"c167cr_highest_revision", 0x000000FF, true,
                     "CPU = Infineon C167CR/C167SR, Revision 256\n"},
        IdentifyCase{"c161pi_revision_2", 0x18201301, true, "CPU = Infineon C161PI, Revision 2\n"},
        IdentifyCase{"c161ri_revision_1", 0x18200900, true, "CPU = Infineon C161RI, Revision 1\n"},
        IdentifyCase{"unknown_chip_0D_of_maker_1820", 0x18200D01, false, ""},
        IdentifyCase{"unknown_chip_01_of_maker_0", 0x00000100, false, ""}),
    NamedAfter<&IdentifyCase::name>{});

TEST(CpuTable, BootIdsOfTheTableOnly) {
    for (int b = 0; b < 256; ++b) {
        const bool expected = b == 0xC5 || b == 0xD5;
        EXPECT_EQ(IsBootId(static_cast<std::uint8_t>(b)), expected) << b;
    }
    EXPECT_FALSE(IsBootId(0xC5, {})) << "an empty table knows no CPU";
}

TEST(CpuTable, FirstMatchingRowWins) {
    const std::array<CpuType, 2> table{
        {{"wide", 0xD5, 0x18200000, 0xFFFF0000, 0xFA00}, {"exact", 0xD5, 0x18200C00, 0xFFFFFF00, 0xFA00}}};
    const CpuType* cpu = FindCpu(0x18200C05, table);
    ASSERT_NE(cpu, nullptr);
    EXPECT_EQ(cpu->name, "wide");
    EXPECT_EQ(CpuRevision(*cpu, 0x18200C05), 0x0C06);
    EXPECT_EQ(FindCpu(0x18200C05, {}), nullptr);
}

TEST(CpuClock, FollowsTheLoadersMeasurement) {
    char text[32];
    const auto printed = [&](std::uint16_t t6, std::int32_t baud) {
        std::snprintf(text, sizeof text, "%3.1f", CpuClockMHz(t6, baud));
        return std::string(text);
    };
    EXPECT_EQ(printed(1125, 38400), "19.2");
    EXPECT_EQ(printed(1172, 38400), "20.0");
    EXPECT_EQ(printed(781, 115200), "40.0");
    EXPECT_EQ(printed(0, 38400), "0.0");
    EXPECT_EQ(printed(1464, 38400), "25.0");
}

}  // namespace
}  // namespace halvard::testing
