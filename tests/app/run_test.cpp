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

TEST(Banner, NamesVersionAndBuildDate) {
    ScriptedRun scripted;
    PrintBanner(scripted.output.console());
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
        "powered and connected\n"
        "Hint: a run cut short while it loaded the board leaves it deaf until it is reset: "
        "/RESET= does that\n";
    ASSERT_GE(text.size(), ending.size()) << text;
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
    EXPECT_EQ(text.find("Error 16"), text.rfind("Error 16")) << text;
}

}  // namespace
}  // namespace halvard::testing
