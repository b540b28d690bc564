#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/run_sequence.hpp"
#include "session/bringup_fake_board.hpp"
#include "support/fakes.hpp"

namespace halvard::testing {
namespace {

// The whole run from the command line against a scripted board, as far as bring-up reaches.
class BringUpRun : public ::testing::Test {
  protected:
    BringUpRun() {
        board.monitor.setWord(0xFE48, 1125);  // T6: the loader's measurement of the zero byte
        board.monitor.setWord(0xF07E, 0x1820);
        board.monitor.setWord(0xF07C, 0x0C02);
    }

    int runWith(Args args) {
        return RunHalvard(
            args.argc(), args.argv(), output.console(), clock, [this](const LineRequest&) {
                return LineOpenResult{std::make_unique<LineView>(line), LineOpenError::openFailed};
            });
    }

    FakeClock clock;
    CapturedConsole output;
    ScriptedLine line{clock};
    FakeBoard board{line};
};

TEST_F(BringUpRun, PrintsTheBringUpLinesInOrderAndSetsUpTheCpu) {
    board.syncAnswer = {{{0xD5}, 0}};
    runWith({"halvard", "/R", "out.bin"});
    const std::string text = output.text();
    const std::string expected =
        "Port COM1 used\n"
        "Loading bootstrap code (32 Bytes)\n"
        "Loading target monitor (274 Bytes)\n"
        "Target Monitor located to 0xfa40\n"
        "Monitor OK\n"
        "CPU = Infineon C167CS, Revision 3\n"
        "CPU clock = 19.2 MHz\n";
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_EQ(board.monitor.at(0xFF12), 0x80);  // SYSCON
    EXPECT_EQ(board.monitor.at(0xFE02), 0x01);  // DPP1
}

TEST_F(BringUpRun, UnsupportedCpuEndsAfterTheHandshake) {
    board.monitor.setWord(0xF07C, 0x0D01);
    const int status = runWith({"halvard", "/R", "out.bin"});
    const std::string text = output.text();
    EXPECT_EQ(status, 9);
    EXPECT_NE(text.find("Monitor OK\nCPU Not Supported\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("CPU ="), std::string::npos);
}

}  // namespace
}  // namespace halvard::testing
