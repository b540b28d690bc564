// Two boards in one process, each with a session of its own: the structure that runs several
// boards at once. Nothing of one board's run may reach the other.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flash/flash.hpp"
#include "ops/ops.hpp"
#include "session/board_setup.hpp"
#include "session/session.hpp"
#include "simline/sim_line.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

// One virtual board, its own time and console, and the session on its line.
struct Board {
    explicit Board(const std::string& flashFile) {
        sim::VirtualBoardOptions options = DefaultSimBoard();
        options.flashImage = flashFile;
        LineOpenResult opened = OpenSimLine(LineRequest{"SIM", 38400}, &clock, options);
        EXPECT_NE(opened.line, nullptr);
        BoardSettings settings;
        settings.portName = "SIM";
        settings.device = "SIM";
        session.emplace(std::move(opened.line), clock, output.console(), 38400, settings,
                        FlashSettings{});
    }

    // Runs the function on this board; the job's status as the top would end with it.
    int run(Operation operation, const std::string& file) {
        JobSettings settings;
        settings.operation = operation;
        settings.fileName = file;
        settings.length = 0x2000;
        Job job(*session, settings);
        return exitStatusOf([&] {
            SettleRange(job, FlashSize(session->flash));
            if (operation == Operation::program)
                LoadFlashAlgorithm(*session);
            if (operation == Operation::read)
                ReadFlash(job);
            else
                ProgramVerify(job);
        });
    }

    FakeClock outside;
    BoardClock clock{outside};
    CapturedConsole output;
    std::optional<Session> session;
};

std::vector<unsigned char> image(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(0x2000);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

std::vector<unsigned char> contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Two sessions alive at once, brought up in turn; then one function on each. A function ends
// its session's line, so each step starts two sessions anew, as two runs would.
struct BoardPair {
    explicit BoardPair(const TempFolder& folder)
        : a(folder.file("board_a.sim")), b(folder.file("board_b.sim")) {
        EXPECT_EQ(exitStatusOf([&] { BringUp(*a.session); }), -1) << a.output.text();
        EXPECT_EQ(exitStatusOf([&] { BringUp(*b.session); }), -1) << b.output.text();
    }
    Board a;
    Board b;
};

TEST(TwoBoards, SessionsSideBySideKeepTheirBoardsApart) {
    TempFolder folder;
    const std::string imageA = folder.write("a.bin", image(1));
    const std::string imageB = folder.write("b.bin", image(2));
    {
        BoardPair boards(folder);
        EXPECT_EQ(boards.a.run(Operation::program, imageA), -1) << boards.a.output.text();
        EXPECT_EQ(boards.b.run(Operation::program, imageB), -1) << boards.b.output.text();
    }
    {
        BoardPair boards(folder);
        EXPECT_EQ(boards.b.run(Operation::verify, imageA), 21) << "board B holds its own image";
        EXPECT_EQ(boards.a.run(Operation::verify, imageA), -1) << boards.a.output.text();
    }
    {
        BoardPair boards(folder);
        EXPECT_EQ(boards.b.run(Operation::read, folder.file("back_b.bin")), -1);
        EXPECT_EQ(boards.a.run(Operation::read, folder.file("back_a.bin")), -1);
    }
    EXPECT_EQ(contentsOf(folder.file("back_a.bin")), image(1));
    EXPECT_EQ(contentsOf(folder.file("back_b.bin")), image(2));
}

}  // namespace
}  // namespace halvard::testing
