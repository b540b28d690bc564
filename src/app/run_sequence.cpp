#include "app/run_sequence.hpp"

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/board_log.hpp"
#include "app/board_output.hpp"
#include "app/board_ports.hpp"
#include "app/board_result.hpp"
#include "app/run.hpp"
#include "app/serial_counter.hpp"
#include "cmdline/cmdline.hpp"
#include "flash/flash.hpp"
#include "line/port_list.hpp"
#include "ops/ops.hpp"
#include "session/board_setup.hpp"
#include "session/session.hpp"

namespace halvard {

namespace {

constexpr const char* kVersion = "1.08";

void runFunction(Job& job) {
    switch (job.settings.operation) {
        case Operation::program:
            LoadFlashAlgorithm(job.board);
            ProgramVerify(job);
            break;
        case Operation::read:
            ReadFlash(job);
            break;
        case Operation::verify:
            ProgramVerify(job);
            break;
    }
}

const char* stageOf(Operation operation) {
    switch (operation) {
        case Operation::program:
            return "program";
        case Operation::read:
            return "read";
        case Operation::verify:
            return "verify";
    }
    return "";
}

// One board of the run: its port, its settings, where its lines go, its clock and its line.
struct Board {
    std::string typed;  // the port as given on the command line
    RunSettings settings;
    std::unique_ptr<BoardSink> sink;  // none when its lines go to the run's console as they are
    std::unique_ptr<Console> ownConsole;
    Console* console = nullptr;
    std::unique_ptr<BoardClock> ownClock;
    Clock* clock = nullptr;
    LineFactory openLine;
    std::unique_ptr<SerialLine> line;
    std::optional<std::uint32_t> serial;
    BoardResult result;

    void setStage(const char* stage) {
        if (sink)
            sink->setStage(stage);
    }
};

// The serial number, little-endian, where the command line puts it in this board's image.
std::optional<ImagePatch> serialPatchOf(const Board& board) {
    if (!board.serial || !board.settings.serial)
        return std::nullopt;
    ImagePatch patch;
    patch.flashOffset = board.settings.serial->address - board.settings.deviceBase;
    for (std::size_t i = 0; i < patch.bytes.size(); ++i)
        patch.bytes[i] = static_cast<std::uint8_t>(*board.serial >> (8 * i));
    return patch;
}

void runOnBoard(Board& board, std::optional<SparseImage> image, std::optional<Session>& session,
                std::optional<Job>& job) {
    const RunSettings& settings = board.settings;
    Session& boardSession =
        session.emplace(std::move(board.line), *board.clock, *board.console, settings.baudRate,
                        BoardOf(settings), FlashOf(settings));
    BringUp(boardSession);
    JobSettings jobSettings = JobOf(settings);
    jobSettings.patch = serialPatchOf(board);
    Job& boardJob = job.emplace(boardSession, std::move(jobSettings), std::move(image));
    // The range is settled, and an image that does not fit refused, before anything is erased.
    if (boardJob.image)
        PlaceImage(boardJob, FlashSize(boardSession.flash));
    else
        SettleRange(boardJob, FlashSize(boardSession.flash));
    if (boardJob.settings.eraseAll && !boardJob.settings.noErase) {
        board.setStage("erase");
        EraseFlashAll(boardSession.flash);
    }
    board.setStage(stageOf(settings.operation));
    runFunction(boardJob);
    CheckErasedSectors(boardSession.flash);
    boardSession.link.close();
}

// One board from its open port to its end. Its failure is told on its own console, once; then
// the job's files, then the session (the start rate back where the end allows, the port closed)
// go with the objects that own them.
void RunBoard(Board& board, std::optional<SparseImage> image) {
    const std::uint32_t startMs = board.clock->tickMs();
    BoardResult& result = board.result;
    std::optional<Session> session;
    std::optional<Job> job;
    try {
        runOnBoard(board, std::move(image), session, job);
    } catch (const RunError& error) {
        board.console->print("%s%s", error.message().c_str(), error.hint().c_str());
        result.status = error.status();
        result.error = error.message() + error.hint();
    }
    result.offset = job ? job->settings.flashOffset : board.settings.flashOffset;
    result.length = job ? job->settings.length : board.settings.length;
    job.reset();
    if (session) {
        session->endWith(result.status);
        result.cpu = session->cpuName;
        result.clockMHz = session->clockMHz;
        result.flash = session->flashName;
    }
    session.reset();
    result.seconds = (board.clock->tickMs() - startMs) * 0.001;
    if (board.sink)
        board.sink->flush();
}

std::vector<std::string> portsOf(const RunSettings& settings) {
    if (settings.portDevice.empty())
        return {settings.portName};
    return SplitPortList(settings.portDevice);
}

std::vector<Board> planBoards(Run& run, const std::vector<std::string>& ports,
                              std::optional<BoardOutput>& output) {
    const RunSettings& settings = run.command.settings;
    const bool apart = ports.size() > 1 || settings.json;
    if (apart) {
        const auto form = settings.json               ? BoardOutput::Form::json
                          : IsStatusTerminal(run.out) ? BoardOutput::Form::terminal
                                                      : BoardOutput::Form::plain;
        output.emplace(run.out, form, ports);
    }
    std::vector<Board> boards(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        Board& board = boards[i];
        board.typed = ports[i];
        board.settings = settings;
        board.result.port = ports[i];
        if (ports.size() > 1) {
            SetTypedPort(board.settings, ports[i]);
            if (settings.operation == Operation::read)
                board.settings.fileName =
                    FileNameForBoard(settings.fileName, ShortPortName(ports[i]));
        }
        board.result.file = board.settings.fileName;
        board.console = &run.console;
        board.clock = &run.clock;
        board.openLine = run.openLine;
        if (!apart)
            continue;
        board.sink = std::make_unique<BoardSink>(*output, i);
        board.ownConsole = std::make_unique<Console>(*board.sink);
        board.console = board.ownConsole.get();
        if (run.openBoardLine && run.outsideClock != nullptr) {
            board.ownClock = std::make_unique<BoardClock>(*run.outsideClock);
            board.clock = board.ownClock.get();
            board.openLine = [&run, clock = board.ownClock.get()](const LineRequest& request) {
                return run.openBoardLine(request, *clock);
            };
        }
    }
    return boards;
}

// Every port is opened before any board is touched, so that a port that is not there ends the
// run with every board as it was.
void openPorts(std::vector<Board>& boards) {
    for (Board& board : boards) {
        board.console->print("Port %s used\n", board.settings.portName.c_str());
        board.line = OpenPort(PortOf(board.settings), board.openLine, *board.console);
    }
}

void takeSerialNumbers(const RunSettings& settings, std::vector<Board>& boards) {
    if (!settings.serial)
        return;
    const std::vector<std::uint32_t> numbers = TakeSerialNumbers(*settings.serial, boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i) {
        boards[i].serial = numbers[i];
        boards[i].result.serial = numbers[i];
    }
}

// One thread a board, so that a board that is slow, hangs or fails holds up no other.
void runBoards(Run& run, std::vector<Board>& boards) {
    if (boards.size() == 1) {
        RunBoard(boards.front(), std::move(run.command.image));
        return;
    }
    std::vector<std::thread> threads;
    for (Board& board : boards)
        threads.emplace_back([&run, &board] { RunBoard(board, run.command.image); });
    for (std::thread& thread : threads)
        thread.join();
}

// Told on the run's console, and on standard error where that console is a JSON run's.
void warn(Run& run, const std::string& text) {
    run.console.print("%s", text.c_str());
    if (run.command.settings.json)
        std::fputs(text.c_str(), stderr);
}

// The counter file learns which numbers failed, the log gets a row per board. A record that
// cannot be written leaves the run failed, never reported as done.
int keepRecords(Run& run, const std::vector<Board>& boards) {
    const RunSettings& settings = run.command.settings;
    int recordStatus = exit_status::ok;
    if (settings.serial) {
        std::vector<std::uint32_t> failed;
        for (const Board& board : boards) {
            if (board.result.status != 0 && board.serial)
                failed.push_back(*board.serial);
        }
        if (const std::string why = RecordFailedSerials(*settings.serial, failed); !why.empty()) {
            warn(run, "Error: the failed serial numbers could not be recorded in " +
                          settings.serial->counterFile + ": " + why + "\n");
            recordStatus = status(ErrorCode::CreateFile);
        }
    }
    if (settings.logFile.empty())
        return recordStatus;
    for (const Board& board : boards) {
        if (const std::string why = AppendLogRow(settings.logFile, board.settings, board.result);
            !why.empty()) {
            warn(run, "Error: no row for " + board.typed + " in the log: " + why + "\n");
            recordStatus = status(ErrorCode::CreateFile);
        }
    }
    return recordStatus;
}

bool asksForJson(int argc, char* argv[]) {
    for (int i = 3; i < argc; ++i) {
        std::string option(argv[i]);
        UpcaseArgument(option.data());
        if (option == "--JSON")
            return true;
    }
    return false;
}

int runAndTell(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine,
               BoardLineFactory openBoardLine, Clock* outside) {
    const bool json = asksForJson(argc, argv);
    KeptText kept;
    Console keptConsole(kept);
    Run run(json ? keptConsole : console, clock, std::move(openLine), std::move(openBoardLine));
    run.outsideClock = outside;
    if (console.stream() != nullptr)
        run.out = console.stream();
    int exitStatus = exit_status::ok;
    try {
        exitStatus = RunSequence(run, argc, argv);
    } catch (const RunError& error) {
        // The one place where a failure of the run itself is told.
        run.console.print("%s%s", error.message().c_str(), error.hint().c_str());
        exitStatus = error.status();
        if (json && !run.boardsReported)
            BoardOutput::jsonError(run.out, exitStatus, kept.kept());
    }
    console.flush();
    return exitStatus;
}

}  // namespace

void PrintVersionLine(Console& console) {
    console.print("Version %s. Compiled at %s, portable edition with virtual board\n", kVersion,
                  __DATE__);
}

void PrintBanner(Console& console) {
    console.print(
        "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n");
    console.print("Made by the Halvard developers, free flash tools for C16x boards\n");
    PrintVersionLine(console);
    console.print("\n");
}

int RunSequence(Run& run, int argc, char* argv[]) {
    // Answers for scripts and people looking for a port: one line each, no banner.
    switch (RequestOf(argc, argv)) {
        case Request::version:
            PrintVersionLine(run.console);
            return exit_status::ok;
        case Request::ports:
            PrintSerialPorts(run.console, ListSerialPorts());
            return exit_status::ok;
        case Request::help:
        case Request::run:
            break;
    }
    if (!asksForJson(argc, argv))
        PrintBanner(run.console);
    run.command = ParseCmdLine(run.console, argc, argv);
    const RunSettings& settings = run.command.settings;
    const std::vector<std::string> ports = portsOf(settings);
    if (ports.size() > 1)
        RefuseSharedPorts(ports, run.console);
    if (!settings.logFile.empty())
        CheckLogWritable(settings.logFile);
    std::optional<BoardOutput> output;
    std::vector<Board> boards = planBoards(run, ports, output);
    openPorts(boards);
    takeSerialNumbers(settings, boards);
    runBoards(run, boards);
    const int recordStatus = keepRecords(run, boards);
    std::vector<BoardResult> results;
    for (const Board& board : boards)
        results.push_back(board.result);
    if (output)
        output->finish(results);
    run.boardsReported = true;
    for (const BoardResult& result : results) {
        if (result.status != 0)
            return result.status;
    }
    return recordStatus;
}

int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine) {
    return runAndTell(argc, argv, console, clock, std::move(openLine), {}, nullptr);
}

int RunHalvard(int argc, char* argv[], Console& console, Clock& outside,
               BoardLineFactory openBoardLine) {
    BoardClock clock(outside);
    LineFactory openLine = [&openBoardLine, &clock](const LineRequest& request) {
        return openBoardLine(request, clock);
    };
    return runAndTell(argc, argv, console, clock, std::move(openLine), openBoardLine, &outside);
}

}  // namespace halvard
