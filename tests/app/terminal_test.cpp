// The console as a person at a terminal sees it: pieces of a line show as they are printed.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/process.hpp"
#include "support/sim_process.hpp"

namespace halvard::testing {
namespace {

using std::chrono::milliseconds;

TEST(Terminal, SectorNumbersShowWhileTheEraseGoesOn) {
    constexpr int kEraseMs = 200;  // per sector; the board's PSD813F has eight
    SimProcess board({"--fault", "slow-erase=" + std::to_string(kEraseMs)});
    TempFolder folder;
    const std::string image = folder.write("image.bin", {1, 2, 3, 4});
    const TerminalRun run =
        runOnTerminal(HALVARD_EXE, {"/P", image, "/ERASEALL", "/COM=" + board.device()});
    ASSERT_EQ(run.status, 0);
    const auto firstNumber = run.arrivalOf("Erasing Flash-EPROM Block #:0 ");
    const auto lineEnd = run.arrivalOf("Block #:0 1 2 3 4 5 6 7 \r\n");
    ASSERT_TRUE(firstNumber && lineEnd);
    // All eight sectors are erased after the first number is printed; half of that is plenty of
    // room for a slow machine, and a held-back line arrives in one piece.
    EXPECT_GE(*lineEnd - *firstNumber, milliseconds(4 * kEraseMs));
}

}  // namespace
}  // namespace halvard::testing
