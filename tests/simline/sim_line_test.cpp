// /COM=SIM: whole runs of the host against the in-process virtual board.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/run_sequence.hpp"
#include "sim/board/faults.hpp"
#include "simline/sim_line.hpp"
#include "support/bytes.hpp"
#include "support/fakes.hpp"
#include "support/forwarding_line.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes flashStart(std::size_t count) {
    Bytes flash = readFile(kSimFlashFile);
    flash.resize(std::min(count, flash.size()));
    return flash;
}

struct SimRunResult;

// Counts the host's waits on the line, to show that a wait ends at its deadline instead of
// coming back early again and again; records the modem lines the host drives, and whether the
// board runs its application when the line closes.
class CountingLine final : public SerialLine {
  public:
    CountingLine(std::unique_ptr<SerialLine> line, SimRunResult& result)
        : line_(std::move(line)), result_(result) {}
    ~CountingLine() override;
    std::size_t write(std::span<const std::uint8_t> bytes) override { return line_->write(bytes); }
    std::size_t read(std::span<std::uint8_t> into) override { return line_->read(into); }
    std::size_t inputCount() override { return line_->inputCount(); }
    void flushInput() override { line_->flushInput(); }
    void drainOutput() override { line_->drainOutput(); }
    bool waitForInput(std::chrono::milliseconds timeout) override;
    bool setModemLine(ModemLine line, bool set) override;
    std::string keepBoardState() override { return line_->keepBoardState(); }

  private:
    std::unique_ptr<SerialLine> line_;
    SimRunResult& result_;
};

struct SimRunResult {
    int status = -1;
    std::string text;
    std::string modemLines;  // "DTR+ RTS- ..." as the host drove them
    bool endedInApplication = false;
    unsigned waits = 0;           // calls of waitForInput
    std::uint32_t outsideMs = 0;  // time slept on the clock outside the board
    std::uint32_t elapsedMs = 0;  // the run's time as the host saw it
    double cpuSeconds = 0;
};

CountingLine::~CountingLine() {
    result_.endedInApplication = static_cast<SimLine&>(*line_).board().inApplication();
}

bool CountingLine::waitForInput(std::chrono::milliseconds timeout) {
    ++result_.waits;
    return line_->waitForInput(timeout);
}

bool CountingLine::setModemLine(ModemLine line, bool set) {
    result_.modemLines += std::string(line == ModemLine::dtr ? "DTR" : "RTS") + (set ? "+ " : "- ");
    return line_->setModemLine(line, set);
}

// One run of the host in the current folder, its line to a virtual board built from `board`.
SimRunResult runOnBoard(std::initializer_list<std::string> args,
                        sim::VirtualBoardOptions board = DefaultSimBoard()) {
    FakeClock outside;
    BoardClock clock(outside);
    CapturedConsole output;
    Args argv(args);
    SimRunResult result;
    const std::uint32_t startMs = clock.tickMs();
    const std::uint32_t outsideStart = outside.now;
    const std::clock_t cpuStart = std::clock();
    result.status = RunHalvard(
        argv.argc(), argv.argv(), output.console(), clock, [&](const LineRequest& request) {
            EXPECT_TRUE(IsSimDevice(request.device)) << request.device;
            LineOpenResult opened = OpenSimLine(request, &clock, board);
            if (opened.line)
                opened.line = std::make_unique<CountingLine>(std::move(opened.line), result);
            return opened;
        });
    result.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    result.elapsedMs = clock.tickMs() - startMs;
    result.outsideMs = outside.now - outsideStart;
    result.text = output.text();
    return result;
}

sim::VirtualBoardOptions boardWith(std::initializer_list<std::string_view> faults) {
    sim::VirtualBoardOptions options = DefaultSimBoard();
    for (const auto fault : faults)
        EXPECT_EQ(sim::addFault(options.faults, fault), "") << fault;
    return options;
}

// Every test runs in a fresh current folder, where the board keeps halvard-sim.bin.
class SimLineRun : public ::testing::Test {
  protected:
    SimLineRun() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.path());
    }
    ~SimLineRun() override { std::filesystem::current_path(previous_); }

    TempFolder folder_;
    std::filesystem::path previous_;
};

TEST_F(SimLineRun, ProgramVerifyAndReadSeeOneBoardThroughItsFlashFile) {
    const Bytes image = randomBytes(32 * 1024, 5);
    folder_.write("image.bin", image);

    const auto programmed = runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM"});
    ASSERT_EQ(programmed.status, 0) << programmed.text;
    EXPECT_NE(programmed.text.find("Programming Successfully!!"), std::string::npos);
    EXPECT_EQ(flashStart(image.size()), image);

    const auto verified = runOnBoard({"halvard", "/V", "image.bin", "/COM=SIM"});
    ASSERT_EQ(verified.status, 0) << verified.text;
    EXPECT_NE(verified.text.find("Verifying Successfully!!"), std::string::npos);

    const auto read = runOnBoard({"halvard", "/R", "back.bin", "/L=8000", "/COM=SIM"});
    ASSERT_EQ(read.status, 0) << read.text;
    EXPECT_EQ(readFile("back.bin"), image);
    // The host never waited in real time: the board's clock carried every wait.
    EXPECT_EQ(programmed.outsideMs + verified.outsideMs + read.outsideMs, 0U);
    std::printf(
        "[ measure  ] /COM=SIM 32 KB: /P %.2f s CPU (%u ms simulated), /V %.2f s, /R %.2f s\n",
        programmed.cpuSeconds, programmed.elapsedMs, verified.cpuSeconds, read.cpuSeconds);
}

TEST_F(SimLineRun, MissingFlashFileIsCreatedErased) {
    const auto read = runOnBoard({"halvard", "/R", "back.bin", "/L=4000", "/COM=SIM"});
    ASSERT_EQ(read.status, 0) << read.text;
    EXPECT_EQ(readFile(kSimFlashFile), Bytes(128 * 1024, 0xFF));
    EXPECT_EQ(readFile("back.bin"), Bytes(0x4000, 0xFF));
}

TEST_F(SimLineRun, SilentBoardTimesOutWithoutSpinningOrRealWaiting) {
    const auto run = runOnBoard({"halvard", "/R", "back.bin", "/COM=SIM"}, boardWith({"silent"}));
    EXPECT_EQ(run.status, 16) << run.text;
    EXPECT_NE(run.text.find("Error 16: Timeout! Boot mode not active"), std::string::npos);
    // The host's time limits passed on the board's clock, one wait each.
    EXPECT_GE(run.elapsedMs, 2000U);
    EXPECT_LT(run.waits, 50U);
    EXPECT_EQ(run.outsideMs, 0U);
    std::printf("[ measure  ] silent board: %u waits, %u ms simulated, %.3f s CPU\n", run.waits,
                run.elapsedMs, run.cpuSeconds);
}

TEST_F(SimLineRun, Xc16xOptionGetsAnXc16xBoard) {
    const Bytes image = randomBytes(16 * 1024, 9);
    folder_.write("image.bin", image);
    const auto run = runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM", "/XC16X"});
    ASSERT_EQ(run.status, 0) << run.text;
    EXPECT_NE(run.text.find("Target Monitor located to 0xe00000"), std::string::npos) << run.text;
    EXPECT_EQ(flashStart(image.size()), image);
}

// The C161PI has the least RAM of the models (1 KB from 0xFA00): programming and verifying
// there shows that the monitor, its stack and registers, the flash algorithm and its buffer and
// the CRC routine all stay inside it, or the board would stop the run.
TEST_F(SimLineRun, SmallestRamProgramsAndVerifies) {
    const Bytes image = randomBytes(20 * 1024, 13);
    folder_.write("image.bin", image);
    sim::VirtualBoardOptions c161pi = DefaultSimBoard();
    c161pi.board.cpu = *sim::findCpuModel("c161pi");
    const auto programmed = runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM"}, c161pi);
    ASSERT_EQ(programmed.status, 0) << programmed.text;
    EXPECT_NE(programmed.text.find("CPU = Infineon C161PI"), std::string::npos) << programmed.text;
    EXPECT_EQ(flashStart(image.size()), image);
    const auto verified = runOnBoard({"halvard", "/V", "image.bin", "/COM=SIM"}, c161pi);
    EXPECT_EQ(verified.status, 0) << verified.text;
}

// A flash base where no memory is: the monitor's writes there go nowhere, as on a board, and the
// run ends at identification instead of stopping the board.
TEST_F(SimLineRun, FlashBaseWhereNoMemoryIsEndsAtIdentification) {
    const auto run = runOnBoard({"halvard", "/R", "back.bin", "/DB=80000", "/COM=SIM"});
    EXPECT_EQ(run.status, 20) << run.text;
    EXPECT_NE(run.text.find("ID: 0xffff. Error 20: Wrong Flash Identifier"), std::string::npos)
        << run.text;
}

TEST_F(SimLineRun, UnpluggedLineEndsTheRunAsALostPort) {
    folder_.write("image.bin", randomBytes(32 * 1024, 2));
    const auto run =
        runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM"}, boardWith({"hangup=5000"}));
    EXPECT_EQ(run.status, 3) << run.text;
    EXPECT_NE(run.text.find("Serial line lost: port SIM is gone"), std::string::npos) << run.text;
}

TEST_F(SimLineRun, SpreadOutFlashAnswersAreStillUnderstood) {
    const Bytes image = randomBytes(4 * 1024, 3);
    folder_.write("image.bin", image);
    const auto run =
        runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM"}, boardWith({"split-answer"}));
    ASSERT_EQ(run.status, 0) << run.text;
    EXPECT_EQ(flashStart(image.size()), image);
}

TEST_F(SimLineRun, BoardThatCannotBeBuiltFailsLikeAPortThatDoesNotOpen) {
    folder_.write(std::string(kSimFlashFile), Bytes(1000, 0xFF));  // not the chip's size
    const auto run = runOnBoard({"halvard", "/R", "back.bin", "/COM=SIM"});
    EXPECT_EQ(run.status, 3) << run.text;
    EXPECT_NE(run.text.find("Error: Unable to open port COMSIM"), std::string::npos) << run.text;
    EXPECT_EQ(std::filesystem::file_size(kSimFlashFile), 1000U);
}

// A flash file that cannot be saved (here a folder in the place of its temporary file, which
// stops root too) fails a /P that changed the flash, with the file and the reason, and never as
// a success; a /R that changed nothing has nothing to save.
TEST_F(SimLineRun, FlashFileThatCannotBeSavedFailsTheRunThatChangedIt) {
    folder_.write(std::string(kSimFlashFile), Bytes(128 * 1024, 0xFF));
    std::filesystem::create_directory(std::string(kSimFlashFile) + ".tmp");
    folder_.write("image.bin", randomBytes(4 * 1024, 4));
    const auto programmed = runOnBoard({"halvard", "/P", "image.bin", "/COM=SIM"});
    EXPECT_EQ(programmed.status, 3) << programmed.text;
    EXPECT_NE(programmed.text.find("Error: virtual board: flash image 'halvard-sim.bin' cannot be "
                                   "saved: 'halvard-sim.bin.tmp': Is a directory"),
              std::string::npos)
        << programmed.text;
    EXPECT_EQ(programmed.text.find("Successfully"), std::string::npos) << programmed.text;
    EXPECT_EQ(readFile(kSimFlashFile), Bytes(128 * 1024, 0xFF));

    const auto read = runOnBoard({"halvard", "/R", "back.bin", "/L=100", "/COM=SIM"});
    EXPECT_EQ(read.status, 0) << read.text;
}

double printedSeconds(const std::string& text) {
    const std::string label = "Total Elapsed time = ";
    const std::size_t at = text.rfind(label);
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + label.size()));
}

// The in-process board is unpaced: what the adapter adds to the read's time is its latency,
// once per exchange. Page reads (4 KB at 38400 baud) pay it about a dozen times for 32 KB;
// 512-byte reads would pay it at least 64 times at 16 ms, 1 s.
struct AdapterCase {
    const char* port;
    bool hint;
    double minExtra;  // seconds over the run without an adapter
    double maxExtra;
};

TEST_F(SimLineRun, PageReadsThroughTheAdapterModel) {
    double plain = -1;
    for (const AdapterCase& c : {AdapterCase{"/COM=SIM", false, 0.0, 0.0},
                                 AdapterCase{"/COM=SIM:ADAPTER=1", false, 0.0, 0.04},
                                 AdapterCase{"/COM=sim:adapter=16", true, 0.03, 0.3}}) {
        const auto read = runOnBoard({"halvard", "/R", "back.bin", "/L=8000", c.port});
        ASSERT_EQ(read.status, 0) << read.text;
        EXPECT_EQ(readFile("back.bin"), Bytes(0x8000, 0xFF));
        EXPECT_EQ(read.text.find("Hint: the line takes ") != std::string::npos, c.hint) << c.port;
        if (plain < 0)
            plain = printedSeconds(read.text);
        EXPECT_GE(printedSeconds(read.text) - plain, c.minExtra) << c.port;
        EXPECT_LE(printedSeconds(read.text) - plain, c.maxExtra) << c.port;
    }
}

// A page that loses a byte times out, is resynchronised and read again whole. Byte 1000 the
// board sends lies in the first page read.
TEST_F(SimLineRun, LostPageBehindTheAdapterIsReadAgain) {
    const auto run = runOnBoard({"halvard", "/R", "back.bin", "/L=8000", "/COM=SIM:ADAPTER=16"},
                                boardWith({"drop=1000"}));
    ASSERT_EQ(run.status, 0) << run.text;
    EXPECT_NE(run.text.find("target2Host:\t\t\nError 24: Timeout Reading\n"
                            "Trying to Resyncronize....\n"),
              std::string::npos)
        << run.text;
    EXPECT_EQ(readFile("back.bin"), Bytes(0x8000, 0xFF));
}

// The in-process board wires DTR to RESET and RTS to the boot pin; with APP it starts in its
// application and answers nothing until a sequence starts its loader.
struct ResetCase {
    const char* port;
    const char* reset;  // "" for none
    int status;
    const char* modemLines;
    bool endsInApplication;
};

TEST_F(SimLineRun, ResetSequencesEndToEnd) {
    const ResetCase cases[] = {
        {"/COM=SIM:APP", "", 16, "", true},
        {"/COM=SIM:APP", "/RESET=DTR-RESET", 0, "RTS+ DTR+ DTR- DTR- RTS- ", false},
        {"/COM=SIM:APP", "/RESET=DTR-RESET:DTR-RESET", 0,
         "RTS+ DTR+ DTR- DTR- RTS- RTS- DTR+ DTR- DTR- RTS- ", true},
        {"/COM=SIM", "/RESET=RTS+,DTR+,5,DTR-:DTR+,DTR-", 0,
         "RTS+ DTR+ DTR- DTR- RTS- DTR+ DTR- DTR- RTS- ", true},
        // The swapped wiring's sequence leaves this board in its application.
        {"/COM=SIM:APP", "/RESET=RTS-RESET", 16, "DTR+ RTS+ RTS- DTR- RTS- ", true},
        {"/COM=SIM:APP", "/RESET=DTR", 11, "", true},
        {"/COM=SIM:APPX", "", 3, "", false},
    };
    for (const ResetCase& c : cases) {
        SimRunResult run =
            std::string(c.reset).empty()
                ? runOnBoard({"halvard", "/R", "back.bin", "/L=100", c.port})
                : runOnBoard({"halvard", "/R", "back.bin", "/L=100", c.port, c.reset});
        EXPECT_EQ(run.status, c.status) << c.port << " " << c.reset << "\n" << run.text;
        EXPECT_EQ(run.modemLines, c.modemLines) << c.reset;
        if (c.status != 3 && c.status != 11) {
            EXPECT_EQ(run.endedInApplication, c.endsInApplication) << c.reset;
        }
    }
}

// FLASH= puts another chip on the in-process board, by halvard-sim's names in any case; an
// unknown name fails like a port that does not open. Every case starts without a flash file; at
// the end the default chip finds the file of a chip of another size and leaves it alone.
struct FlashChipCase {
    const char* port;
    int status;
    const char* shows;  // a line of the run's output
};

TEST_F(SimLineRun, FlashOptionChoosesTheChip) {
    const FlashChipCase cases[] = {
        {"/COM=SIM:FLASH=am29f400bb", 0, "AMD Am29F400BB, Boot Block Bottom detected"},
        {"/COM=sim:adapter=1,flash=Mx29lv160cb", 0, "Macronix MX29LV160CB, Boot Block Bottom"},
        {"/COM=SIM:FLASH=am29lv320dt", 0, "Flash found by its CFI query"},
        {"/COM=SIM:FLASH=none", 20, "Error 20: Wrong Flash Identifier"},
        {"/COM=SIM:FLASH=am29f999", 3, "Error: Unable to open port COMSIM"},
    };
    for (const FlashChipCase& c : cases) {
        std::filesystem::remove(kSimFlashFile);
        const auto run = runOnBoard({"halvard", "/R", "back.bin", "/L=100", c.port});
        EXPECT_EQ(run.status, c.status) << c.port << "\n" << run.text;
        EXPECT_NE(run.text.find(c.shows), std::string::npos) << c.port << "\n" << run.text;
    }
    const auto first =
        runOnBoard({"halvard", "/R", "back.bin", "/L=100", "/COM=SIM:FLASH=am29f400bb"});
    ASSERT_EQ(first.status, 0) << first.text;
    const auto other = runOnBoard({"halvard", "/R", "back.bin", "/L=100", "/COM=SIM"});
    EXPECT_EQ(other.status, 3) << other.text;
    EXPECT_EQ(std::filesystem::file_size(kSimFlashFile), 512U * 1024);
}

// BASE= moves the in-process flash chip on the bus: a board whose BASE= the run ignored or
// misread would answer at the default 0x20000 and fail the run that names its address.
TEST_F(SimLineRun, BaseOptionMovesTheFlashChip) {
    const struct {
        const char* port;
        const char* deviceBase;
        int status;
    } cases[] = {
        {"/COM=SIM:BASE=40000", "/DB=40000", 0},
        {"/COM=SIM:base=0x40000,FLASH=am29f400bb", "/DB=40000", 0},
        {"/COM=SIM:BASE=40000", "/DB=20000", 20},
        {"/COM=SIM:BASE=1000000", "/DB=40000", 3},
        {"/COM=SIM:BASE=4G", "/DB=40000", 3},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(kSimFlashFile);
        const auto run = runOnBoard({"halvard", "/R", "back.bin", "/L=100", c.port, c.deviceBase});
        EXPECT_EQ(run.status, c.status) << c.port << " " << c.deviceBase << "\n" << run.text;
    }
}

// What the line changes on the way to the board, as noise would.
struct LineChange {
    const char* name;
    bool flashBlocks;       // one bit of every block for the flash algorithm, which programs,
                            // verifies and acknowledges the bytes it received
    bool firstSectorErase;  // the first sector-erase command, which then erases nothing
    bool blockAddresses;    // the address of a 512-byte flash block, which then lands 16 KB
                            // further on, in an unerased sector
    int status;
    const char* shows;  // lines of the run's output
    // The first block lands this far further on, once: 24 KB puts it in the erased sector that
    // the image's end shares, beyond the image, where no page of the image looks; 64 KB in a
    // sector the run keeps.
    std::uint32_t strayFirstBlockBy = 0;
    std::size_t imageSize = 0x800;
    std::uint8_t flashFill = 0x20;  // not erased, and DQ5 set, so that a poll gives up at once
    int lostReset = 0;  // the reset command (F0) of this number, counted from 1, becomes 00
};

class ChangingLine final : public ForwardingLine {
  public:
    ChangingLine(std::unique_ptr<SerialLine> line, const LineChange& change)
        : ForwardingLine(std::move(line)), change_(change) {}
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        constexpr std::uint8_t kFlashWrite = 0x0E;
        constexpr std::uint8_t kByteWrite = 0x06;
        constexpr std::uint8_t kSectorErase = 0x30;
        constexpr std::uint8_t kReset = 0xF0;
        std::vector<std::uint8_t> sent(bytes.begin(), bytes.end());
        if (change_.flashBlocks && blockCount_ != 0 && sent.size() == blockCount_)
            sent[sent.size() / 2] ^= 0x10;
        blockCount_ = sent.size() == 6 && sent[0] == kFlashWrite ? sent[4] | sent[5] << 8 : 0;
        // One block of each pass of four (the first, then the second, the third): its cell
        // that fails lies at another offset each time.
        if (change_.blockAddresses && blockCount_ == 0x200 && blocksSeen_++ % 5 == 0)
            sent[2] = static_cast<std::uint8_t>(sent[2] + 0x40);
        if (change_.strayFirstBlockBy != 0 && !strayed_ && blockCount_ == 0x200) {
            const std::uint32_t address =
                (sent[1] | sent[2] << 8 | sent[3] << 16) + change_.strayFirstBlockBy;
            for (int i = 0; i < 3; ++i)
                sent[1 + i] = static_cast<std::uint8_t>(address >> (8 * i));
            strayed_ = true;
        }
        if (sent.size() == 5 && sent[0] == kByteWrite && sent[4] == kReset &&
            ++resets_ == change_.lostReset)
            sent[4] = 0x00;
        if (change_.firstSectorErase && !eraseChanged_ && sent.size() == 5 &&
            sent[0] == kByteWrite && sent[4] == kSectorErase) {
            sent[4] = 0x00;
            eraseChanged_ = true;
        }
        return inner().write(sent);
    }

  private:
    LineChange change_;
    std::size_t blockCount_ = 0;
    bool eraseChanged_ = false;
    bool strayed_ = false;
    unsigned blocksSeen_ = 0;
    int resets_ = 0;
};

// A whole run in-process, over the virtual board's line with the change applied.
int runOverChangingLine(std::initializer_list<std::string> words, const LineChange& change,
                        CapturedConsole& output) {
    FakeClock outside;
    BoardClock clock(outside);
    Args argv(words);
    return RunHalvard(
        argv.argc(), argv.argv(), output.console(), clock, [&](const LineRequest& request) {
            LineOpenResult opened = OpenSimLine(request, &clock);
            if (opened.line)
                opened.line = std::make_unique<ChangingLine>(std::move(opened.line), change);
            return opened;
        });
}

// Noise is the line's fault, not the chip's (the monitor's blocks of /PLAIN). A page that holds
// other data after every reprogramming, although the flash algorithm reported each block
// programmed, got other bytes over the line (1), and so did a block that the flash algorithm could
// not program where the line sent it, at another cell each time. A sector whose erase command was
// garbled is erased once more. (A cell or sector that fails again and again is the chip's, 22: the
// fault tests.)
TEST_F(SimLineRun, ChangesOnTheLineBlameTheLine) {
    const LineChange changes[] = {
        {"blocks", true, false, false, 1,
         "Page at offset 0x0 does not hold the file's data\n"
         "Error 1: Checksum Error in file transfer\n"},
        {"erase", false, true, false, 0,
         "Erasing Flash-EPROM Block #:0 cellVerifyAMD8 Error. Addr = 0x0, Data = 0xff.Read = "
         "0x20\n\nProgramming File image.bin (2048 bytes)\n"},
        {"addresses", false, false, true, 1, "host2Flash: Monitor send error at offset 0x"},
        {"stray", false, false, false, 0,
         "Page at offset 0x5800 not proved, erasing and programming it again\n", 0x6000, 0x4800},
        {"stray into a kept sector", false, false, false, 1,
         "Block #4 changed at offset 0x10000, although this run did not write it\n", 0x10000, 0x800,
         0xFF},
    };
    for (const LineChange& change : changes) {
        SCOPED_TRACE(change.name);
        folder_.write(std::string(kSimFlashFile), Bytes(128 * 1024, change.flashFill));
        const Bytes image = randomBytes(change.imageSize, 6);
        folder_.write("image.bin", image);
        CapturedConsole output;
        const int status = runOverChangingLine({"halvard", "/P", "image.bin", "/COM=SIM", "/PLAIN"},
                                               change, output);
        const std::string text = output.text();
        EXPECT_EQ(status, change.status) << text;
        EXPECT_NE(text.find(change.shows), std::string::npos) << text;
        if (status == 0) {
            // The image, and the rest of its 16 KB sectors erased.
            const std::size_t sectorsEnd = (image.size() + 0x3FFF) & ~std::size_t{0x3FFF};
            const Bytes flash = flashStart(sectorsEnd);
            EXPECT_EQ(Bytes(flash.begin(), flash.begin() + image.size()), image);
            EXPECT_EQ(Bytes(flash.begin() + image.size(), flash.end()),
                      Bytes(sectorsEnd - image.size(), 0xFF));
        }
    }
}

// Identification leaves the chip in autoselect mode, where every read gives its identifier
// bytes. A reset that the line garbled must not leave it there: the routine would read those
// bytes and prove them, and /R would write them into the file as the flash's.
TEST_F(SimLineRun, ResetThatTheLineLostLeavesNoIdentifierInARead) {
    const Bytes flash = randomBytes(128 * 1024, 12);
    folder_.write(std::string(kSimFlashFile), flash);
    LineChange change{"reset", false, false, false, 0, ""};
    change.lostReset = 2;  // the reset after the identifier reads
    CapturedConsole output;
    const int status =
        runOverChangingLine({"halvard", "/R", "out.bin", "/COM=SIM", "/L=40"}, change, output);
    ASSERT_EQ(status, 0) << output.text();
    EXPECT_EQ(readFile("out.bin"), Bytes(flash.begin(), flash.begin() + 0x40));
}

// The executable itself: the flash file carries the board from one process to the next.
TEST(SimLineExecutable, ReadAfterProgramInAnotherProcessGivesTheImage) {
    TempFolder folder;
    const Bytes image = randomBytes(16 * 1024, 11);
    folder.write("image.bin", image);
    const auto programmed = runProcess(HALVARD_EXE, {"/P", "image.bin", "/COM=SIM"}, folder.path());
    ASSERT_EQ(programmed.status, 0) << programmed.output;
    const auto read =
        runProcess(HALVARD_EXE, {"/R", "back.bin", "/L=8000", "/COM=SIM"}, folder.path());
    ASSERT_EQ(read.status, 0) << read.output;
    Bytes expected = image;
    expected.resize(0x8000, 0xFF);  // the rest of the chip is still erased
    EXPECT_EQ(readFile(folder.file("back.bin")), expected);
}

// Another run (here a board of this process) holds the flash file: a second run waits a few
// seconds for it, and goes on with the flash the first one saved when it lets go in time, or
// is refused like a port in use.
TEST(SimLineExecutable, SecondRunWaitsForTheFlashFileAndIsRefusedWhenItStaysHeld) {
    TempFolder folder;
    const std::string flashFile = folder.file(std::string(kSimFlashFile));
    for (const bool letGo : {true, false}) {
        SCOPED_TRACE(letGo ? "let go after 1 s" : "held");
        sim::VirtualBoardOptions options = DefaultSimBoard();
        options.flashImage = flashFile;
        auto holder = std::make_unique<sim::VirtualBoard>(options);
        holder->flashChip()->array()[0] = 0x5A;  // the first run's work, saved when it ends
        const auto start = std::chrono::steady_clock::now();
        std::thread letGoLater([&] {
            if (!letGo)
                return;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            holder.reset();
        });
        const auto read =
            runProcess(HALVARD_EXE, {"/R", "back.bin", "/L=2", "/COM=SIM"}, folder.path());
        const auto took = std::chrono::steady_clock::now() - start;
        letGoLater.join();
        if (letGo) {
            EXPECT_EQ(read.status, 0) << read.output;
            EXPECT_EQ(readFile(folder.file("back.bin")), (Bytes{0x5A, 0xFF}));
            EXPECT_GE(took, std::chrono::milliseconds(900));
        } else {
            EXPECT_EQ(read.status, 3) << read.output;
            EXPECT_NE(read.output.find("Error: Unable to open port COMSIM"), std::string::npos)
                << read.output;
            EXPECT_GE(took, std::chrono::seconds(2));
        }
        EXPECT_LT(took, std::chrono::seconds(20));
    }
}

}  // namespace
}  // namespace halvard::testing
