// Many boards in one run, their serial numbers, the log and the JSON, on in-process virtual
// boards (several /COM=SIM entries), each board with its own clock as the program runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/board_log.hpp"
#include "app/board_ports.hpp"
#include "app/run_sequence.hpp"
#include "app/serial_counter.hpp"
#include "base/errors.hpp"
#include "base/shared_file.hpp"
#include "simline/sim_line.hpp"
#include "support/bytes.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<unsigned char>;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct RunOutput {
    int status;
    std::string text;
};

// A run as main makes it: real time outside, each virtual board's own time inside. Empty
// arguments are left out.
RunOutput runBoards(std::vector<std::string> args) {
    std::erase(args, std::string());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    SteadyClock steady;
    CapturedConsole output;
    const int status = RunHalvard(
        static_cast<int>(args.size()), argv.data(), output.console(), steady,
        [](const LineRequest& request, BoardClock& clock) { return OpenSimLine(request, &clock); });
    return {status, output.text()};
}

class Production : public ::testing::Test {
  protected:
    Production() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.path());
    }
    ~Production() override { std::filesystem::current_path(previous_); }

    TempFolder folder_;
    std::filesystem::path previous_;
};

constexpr const char* kThreeBoards = "/COM=SIM:FILE=a.sim,SIM:FILE=b.sim,SIM:FILE=c.sim,FLASH=none";

// Faults caught: a serial number not in the board's image (or in another byte order, or at
// another place), two boards with one number, a failed number handed out again, a failing board
// that stops the others or whose status is lost, a log that repeats its header or loses rows,
// and /R files of several boards that overwrite each other.
TEST_F(Production, BoardsGetTheirOwnNumbersAndEveryBoardIsLogged) {
    const Bytes image = randomBytes(0x4000, 7);
    folder_.write("app.bin", image);
    for (int run = 0; run < 2; ++run) {
        const auto out = runBoards(
            {"halvard", "/P", "app.bin", kThreeBoards, "/SERIAL=21000:100:10", "/LOG=boards.csv"});
        ASSERT_EQ(out.status, 20) << "the board without flash fails, the first failure counts\n"
                                  << out.text;
    }
    // Numbers 100, 110, 120 in the first run, 130, 140, 150 in the second.
    const std::uint32_t expected[2][2] = {{0x100, 0x110}, {0x130, 0x140}};
    for (int board = 0; board < 2; ++board) {
        Bytes want = image;
        const std::uint32_t serial = expected[1][board];
        for (int i = 0; i < 4; ++i)
            want[0x1000 + i] = static_cast<unsigned char>(serial >> (8 * i));
        Bytes flash = readFile(board == 0 ? "a.sim" : "b.sim");
        flash.resize(want.size());
        EXPECT_EQ(flash, want) << "board " << board;
    }
    const std::string counter = fileText("app.bin.serial");
    EXPECT_NE(counter.find("next=0x00000160\n"), std::string::npos) << counter;
    EXPECT_NE(counter.find("failed=0x00000120\nfailed=0x00000150\n"), std::string::npos) << counter;

    const auto rows = linesOf(fileText("boards.csv"));
    ASSERT_EQ(rows.size(), 7u) << "a header and three rows a run";
    EXPECT_EQ(rows[0] + "\n", kLogHeader);
    EXPECT_NE(rows[4].find(",SIM:FILE=a.sim,Infineon C167CR/C167SR,20.0,WSI PSD813Fx,program,"
                           "app.bin,"),
              std::string::npos)
        << rows[4];
    EXPECT_NE(rows[5].find(",0x0,0x4000,0x00000140,0,"), std::string::npos) << rows[5];
    EXPECT_NE(rows[6].find(",0x00000150,20,"), std::string::npos) << rows[6];

    const auto read =
        runBoards({"halvard", "/R", "back.bin", "/COM=SIM:FILE=a.sim,SIM:FILE=b.sim", "/L=4000"});
    ASSERT_EQ(read.status, 0) << read.text;
    Bytes flashA = readFile("a.sim");
    flashA.resize(0x4000);
    EXPECT_EQ(readFile("back.SIM_FILE_a.sim.bin"), flashA);
    EXPECT_NE(readFile("back.SIM_FILE_a.sim.bin"), readFile("back.SIM_FILE_b.sim.bin"));
    EXPECT_NE(read.text.find("\nPort "), std::string::npos) << "the table follows\n" << read.text;
}

// Faults caught: anything but JSON on standard output, an event without its port or stage, a
// board without its final object, and a failure before any board that a JSON reader never sees.
TEST_F(Production, JsonRunPrintsOnlyObjects) {
    folder_.write("app.bin", randomBytes(0x2000, 3));
    const auto out =
        runBoards({"halvard", "/P", "app.bin", "/COM=SIM:FILE=a.sim,SIM:FILE=b.sim", "--json"});
    ASSERT_EQ(out.status, 0) << out.text;
    int boards = 0;
    bool progress = false;
    for (const std::string& line : linesOf(out.text)) {
        ASSERT_TRUE(line.starts_with("{\"type\":\"") && line.ends_with("}")) << line;
        if (line.starts_with("{\"type\":\"board\""))
            ++boards;
        else
            EXPECT_NE(line.find("\"port\":\"SIM:FILE="), std::string::npos) << line;
        progress = progress || line.find("\"stage\":\"program\",\"percent\":") != std::string::npos;
    }
    EXPECT_EQ(boards, 2);
    EXPECT_TRUE(progress) << out.text;

    const auto refused = runBoards({"halvard", "/P", "app.bin", "/COM=SIM,sim", "--json"});
    EXPECT_EQ(refused.status, 11);
    EXPECT_EQ(refused.text,
              "{\"type\":\"error\",\"status\":11,\"error\":\"ParseCmdLine: /COM=: the port sim is "
              "named twice\\nError 11: Illegal option\"}\n");
}

// Faults caught: bad input that reaches a board (its flash changes) instead of ending the run
// first with its status.
TEST_F(Production, BadInputEndsTheRunBeforeAnyBoard) {
    folder_.write("app.bin", randomBytes(0x2000, 4));
    std::ofstream("corrupt.serial") << "next=0x00000005\nnext=7\n";
    std::filesystem::create_directory("folder.csv");
    const struct {
        std::string port;
        std::string option;
        std::string other;
        int status;
    } cases[] = {
        {"SIM:FILE=a.sim,SIM:FILE=b.sim", "/SERIAL=21FFE", "", 11},
        {"SIM:FILE=a.sim", "/SERIAL=22000", "", 11},
        {"SIM:FILE=a.sim", "/SERIAL=20000:1:0", "", 11},
        {"SIM:FILE=a.sim", "/SERIAL=2000G", "", 11},
        {"SIM:FILE=a.sim", "/SERIAL-FILE=x", "", 11},
        {"SIM:FILE=a.sim,SIM:FILE=b.sim", "/LOG=folder.csv", "", 5},
        {"SIM:FILE=a.sim,SIM:FILE=b.sim", "/SERIAL=20000", "/SERIAL-FILE=corrupt.serial", 13},
        {"SIM:FILE=a.sim,ttyNOSUCHPORT", "", "", 3},
        {"SIM,SIM:APP", "", "", 11},
        {"SIM:FILE=a.sim,SIM:FILE=./a.sim", "", "", 11},
    };
    for (const auto& c : cases) {
        std::filesystem::remove("a.sim");
        const auto out =
            runBoards({"halvard", "/P", "app.bin", "/COM=" + c.port, c.option, c.other});
        EXPECT_EQ(out.status, c.status) << c.option << " " << c.port << "\n" << out.text;
        const Bytes flash = readFile("a.sim");
        EXPECT_EQ(flash, Bytes(flash.size(), 0xFF)) << c.option << " " << c.port;
        EXPECT_EQ(out.text.find("Loading bootstrap"), std::string::npos) << out.text;
    }
    EXPECT_EQ(fileText("corrupt.serial"), "next=0x00000005\nnext=7\n") << "left as it was";
}

// Faults caught: a SIM option taken for a port of its own, or a port taken for a SIM option.
TEST(PortList, SimOptionsStayWithTheirEntry) {
    const struct {
        const char* typed;
        std::vector<std::string> ports;
    } cases[] = {
        {"SIM:ADAPTER=16,APP", {"SIM:ADAPTER=16,APP"}},
        {"SIM:FILE=a,base=40000,SIM:FILE=b", {"SIM:FILE=a,base=40000", "SIM:FILE=b"}},
        {"/dev/ttyUSB0,APP,SIM", {"/dev/ttyUSB0", "APP", "SIM"}},
        {"3,4", {"3", "4"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitPortList(c.typed), c.ports) << c.typed;
}

// Faults caught: a board's file put in another folder, or its extension lost.
TEST(PortList, ABoardsFileCarriesItsPortBeforeTheExtension) {
    const struct {
        const char* file;
        const char* port;
        const char* named;
    } cases[] = {
        {"out.bin", "/dev/ttyUSB0", "out.ttyUSB0.bin"},
        {"dir/out.hex", "COM7", "dir/out.COM7.hex"},
        {"out", "SIM:FILE=a.sim", "out.SIM_FILE_a.sim"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileNameForBoard(c.file, ShortPortName(c.port)), c.named) << c.port;
}

// Faults caught: two runs at once that hand out one number twice or lose a change of the
// counter, and log rows that two writers mix or give two headers.
TEST_F(Production, CounterAndLogHoldAgainstWritersAtOnce) {
    const SerialSettings serial{0, 1, 1, "shared.serial"};
    std::vector<std::vector<std::uint32_t>> taken(4);
    std::vector<std::thread> writers;
    for (std::size_t w = 0; w < taken.size(); ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 20; ++i) {
                const auto numbers = TakeSerialNumbers(serial, 2);
                taken[w].insert(taken[w].end(), numbers.begin(), numbers.end());
                RunSettings settings;
                BoardResult row;
                row.port = "writer" + std::to_string(w);
                EXPECT_EQ(AppendLogRow("shared.csv", settings, row), "");
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    std::set<std::uint32_t> all;
    for (const auto& numbers : taken)
        all.insert(numbers.begin(), numbers.end());
    EXPECT_EQ(all.size(), 160u);
    EXPECT_EQ(*all.rbegin(), 160u);
    const auto rows = linesOf(fileText("shared.csv"));
    ASSERT_EQ(rows.size(), 81u);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), rows.front()), 1);
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 13) << rows[i];
}

}  // namespace
}  // namespace halvard::testing
