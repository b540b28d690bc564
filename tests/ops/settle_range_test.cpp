#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ops/ops.hpp"
#include "support/fakes.hpp"

namespace halvard::testing {
namespace {

struct Settled {
    int status;
    std::string output;
    std::uint32_t length;
};

Settled settle(std::uint32_t offset, std::uint32_t length, std::uint32_t size) {
    ScriptedRun scripted;
    scripted.job.settings.operation =
        Operation::read;  // a read keeps the cut: it reads what is there
    scripted.job.settings.flashOffset = offset;
    scripted.job.settings.length = length;
    const int status = exitStatusOf([&] { SettleRange(scripted.job, size); });
    return {status, scripted.output.text(), scripted.job.settings.length};
}

TEST(SettleRange, LengthToTheEndOfTheDevice) {
    EXPECT_EQ(settle(0, kLengthToEnd, 0x20000).length, 0x20000u);
    EXPECT_EQ(settle(0x1000, kLengthToEnd, 0x20000).length, 0x1F000u);
    const Settled atEnd = settle(0x20000, kLengthToEnd, 0x20000);
    EXPECT_EQ(atEnd.status, -1);
    EXPECT_EQ(atEnd.length, 0u);
}

TEST(SettleRange, OffsetBeyondTheDevice) {
    const Settled beyond = settle(0x20002, kLengthToEnd, 0x20000);
    EXPECT_EQ(beyond.status, 19);
    EXPECT_EQ(beyond.output, "Error 19: Value of option /OFFSET= out of range\n");
}

TEST(SettleRange, LongRangesAreCutWithAWarning) {
    const char* warning = "warning: /OFFSET + /LENGHT bigger than Flash. Cutted to flash size\n";
    const Settled cut = settle(0x1F000, 0x2000, 0x20000);
    EXPECT_EQ(cut.output, warning);
    EXPECT_EQ(cut.length, 0x1000u);
    const Settled fits = settle(0x1F000, 0x1000, 0x20000);
    EXPECT_EQ(fits.output, "");
    EXPECT_EQ(fits.length, 0x1000u);
    // 0x1F000 + 0xFFFFF000 wraps to 0x1E000 in 32 bits; it must still be cut.
    const Settled wrap = settle(0x1F000, 0xFFFFF000, 0x20000);
    EXPECT_EQ(wrap.output, warning);
    EXPECT_EQ(wrap.length, 0x1000u);
}

}  // namespace
}  // namespace halvard::testing
