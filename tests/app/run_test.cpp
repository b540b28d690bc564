#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/run_sequence.hpp"
#include "session/bringup_fake_board.hpp"
#include "support/fakes.hpp"
#include "support/forwarding_line.hpp"

namespace halvard::testing {
namespace {

struct Settled {
    int status;
    std::string output;
    std::uint32_t length;
};

Settled settle(std::uint32_t offset, std::uint32_t length, std::uint32_t size) {
    ScriptedRun scripted;
    scripted.run.settings.flashOffset = offset;
    scripted.run.settings.length = length;
    const int status = exitStatusOf([&] { SettleRange(scripted.run, size); });
    return {status, scripted.output.text(), scripted.run.settings.length};
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

TEST(Banner, NamesVersionAndBuildDate) {
    ScriptedRun scripted;
    PrintBanner(scripted.run);
    const std::string text = scripted.output.text();
    EXPECT_EQ(
        text.rfind(
            "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n",
            0),
        0u);
    EXPECT_NE(text.find("Version 1.08. Compiled at " + std::string(__DATE__)), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

// Tells when the run lets go of its port.
class WatchedLine final : public ForwardingLine {
  public:
    WatchedLine(std::unique_ptr<SerialLine> line, bool& closed)
        : ForwardingLine(std::move(line)), closed_(closed) {}
    ~WatchedLine() override { closed_ = true; }

  private:
    bool& closed_;
};

// A failure deep in the run is told once, at the top, after every line the run printed before
// it, with its hint last; the status is the error's, and the port is let go.
TEST(OneWayOut, TheTopTellsTheFailureOnceAndLast) {
    FakeClock clock;
    CapturedConsole output;
    ScriptedLine silent(clock);
    bool closed = false;
    Args args{"halvard", "/R", "out.bin"};
    const int status =
        RunHalvard(args.argc(), args.argv(), output.console(), clock, [&](const LineRequest&) {
            return LineOpenResult{
                std::make_unique<WatchedLine>(std::make_unique<LineView>(silent), closed),
                LineOpenError::openFailed};
        });
    EXPECT_EQ(status, 16);
    EXPECT_TRUE(closed);
    const std::string text = output.text();
    const std::string ending =
        "Error 16: Timeout! Boot mode not active\n"
        "Hint: no answer: check that the board is in boot mode (boot pin held at reset), "
        "powered and connected\n";
    ASSERT_GE(text.size(), ending.size()) << text;
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
    EXPECT_EQ(text.find("Error 16"), text.rfind("Error 16")) << text;
}

}  // namespace
}  // namespace halvard::testing
