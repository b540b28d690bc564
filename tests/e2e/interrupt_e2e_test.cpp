// Runs that are cut short from outside: Ctrl-C, a console that goes away.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "e2e/e2e_support.hpp"

namespace halvard::testing {
namespace {

using namespace std::chrono_literals;

struct Ending {
    bool signalled = false;
    int code = -1;  // exit status, or the signal's number
    std::string output;
};

enum class Console { pipe, closed };

// Runs halvard in the folder. With a pipe, `reader` sees the output so far after every piece
// and returns false to close the pipe's end, as `| head` does; `onOutput` may also act on the
// process (signal it).
Ending runWith(const std::vector<std::string>& args, const std::string& folder, Console console,
               const std::function<bool(pid_t, const std::string&)>& reader = {}) {
    int fds[2] = {-1, -1};
    if (console == Console::pipe && ::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        if (console == Console::pipe) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
        } else {
            ::close(STDOUT_FILENO);
        }
        ::close(devNull);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        std::vector<std::string> all{HALVARD_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Ending ending;
    if (console == Console::pipe) {
        ::close(fds[1]);
        char buffer[512];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            ending.output.append(buffer, static_cast<std::size_t>(n));
            if (reader && !reader(pid, ending.output))
                break;
        }
        ::close(fds[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ending.signalled = WIFSIGNALED(status);
    ending.code = ending.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
    return ending;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Ctrl-C in the middle of a /R: the run unwinds and ends as interrupted, the existing file is
// as it was and nothing is left beside it.
TEST(StoppedRun, CtrlCDuringReadLeavesTheFileAsItWas) {
    TempFolder folder;
    SimProcess sim({"--paced"});
    const std::vector<unsigned char> before(1000, 0x5A);
    folder.write("out.bin", before);
    const auto start = std::chrono::steady_clock::now();
    bool sent = false;  // a second Ctrl-C would end the process at once
    const auto interruptOnce = [&sent](pid_t pid, const std::string& output) {
        if (!sent && output.find("Completed") != std::string::npos) {
            ::kill(pid, SIGINT);
            sent = true;
        }
        return true;
    };
    const Ending ending = runWith({"/R", "out.bin", "/COM=" + sim.device()}, folder.path(),
                                  Console::pipe, interruptOnce);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(ending.signalled);
    EXPECT_EQ(ending.code, SIGINT);
    EXPECT_NE(ending.output.find("\nInterrupted\n"), std::string::npos) << ending.output;
    EXPECT_EQ(ending.output.find("Reading Successfully"), std::string::npos);
    EXPECT_EQ(readFile(folder.file("out.bin")), before);
    EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"out.bin"});
}

// A run killed in the middle of a block read leaves the board sending the rest of the block
// (4.3 s at 1200 baud); the next run reads that away before its handshake.
TEST(StoppedRun, NextRunStartsCleanWhileTheBoardStillSends) {
    TempFolder folder;
    SimProcess sim({"--paced"});
    const std::vector<std::string> args = {"/BAUD=1200", "/COM=" + sim.device()};
    std::vector<std::string> first = {"/R", "a.bin", "/L=200"};
    first.insert(first.end(), args.begin(), args.end());
    bool killed = false;
    runWith(first, folder.path(), Console::pipe, [&killed](pid_t pid, const std::string& output) {
        if (!killed && output.find("Reading to File") != std::string::npos) {
            std::this_thread::sleep_for(1s);
            ::kill(pid, SIGKILL);
            killed = true;
        }
        return true;
    });
    ASSERT_TRUE(killed);
    std::vector<std::string> second = {"/R", "b.bin", "/L=2"};
    second.insert(second.end(), args.begin(), args.end());
    const ProcessResult r = runHalvard(second, folder.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readFile(folder.file("b.bin")), std::vector<unsigned char>(2, 0xFF));
}

// A run killed after /SPEED= moved the line leaves the monitor listening at the fast rate: the
// next run without /SPEED= finds it there, says at which rate, moves it back and succeeds, and
// the run after that starts at the start rate as usual.
TEST(StoppedRun, RunAfterAKilledSwitchFindsTheBoardAtItsFastRate) {
    TempFolder folder;
    SimProcess sim({"--paced"});
    const std::string port = "/COM=" + sim.device();
    std::string switchedLine;
    const Ending killed =
        runWith({"/R", "a.bin", "/L=1000", "/SPEED=MAX", port}, folder.path(), Console::pipe,
                [&switchedLine](pid_t pid, const std::string& output) {
                    const std::size_t at = output.find("Line switched to ");
                    const std::size_t end = output.find('\n', at);
                    if (switchedLine.empty() && end != std::string::npos) {
                        ::kill(pid, SIGKILL);
                        switchedLine = output.substr(at, end - at);
                    }
                    return true;
                });
    ASSERT_TRUE(killed.signalled) << killed.output;
    ASSERT_EQ(killed.code, SIGKILL);
    const std::string fastRate = switchedLine.substr(std::string("Line switched to ").size());
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult rerun = runHalvard({"/R", "b.bin", "/L=1000", port}, folder.path());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(rerun.status, 0) << rerun.output;
    EXPECT_NE(rerun.output.find("The board answered at " + fastRate +
                                ", where an interrupted /SPEED= run left it\n"),
              std::string::npos)
        << rerun.output;
    const ProcessResult next = runHalvard({"/R", "c.bin", "/L=1000", port}, folder.path());
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(next.output.find("The board answered at"), std::string::npos) << next.output;
}

// A run killed while the loader takes frames leaves the loader, not the monitor, listening: the
// next run finds it, sends it back to its monitor, says so and programs the image.
TEST(StoppedRun, RunAfterAKilledLoaderSendsItBackAndPrograms) {
    TempFolder folder;
    SimProcess sim({"--paced"});
    const std::string port = "/COM=" + sim.device();
    folder.write("image.bin", randomBytes(0x2000, 5));
    bool killed = false;
    runWith({"/P", "image.bin", port}, folder.path(), Console::pipe,
            [&killed](pid_t pid, const std::string& output) {
                if (!killed && output.find("Completed 1") != std::string::npos) {
                    ::kill(pid, SIGKILL);
                    killed = true;
                }
                return true;
            });
    ASSERT_TRUE(killed);
    const ProcessResult rerun = runHalvard({"/P", "image.bin", port}, folder.path());
    EXPECT_EQ(rerun.status, 0) << rerun.output;
    EXPECT_NE(rerun.output.find("The board was still running the loader of an interrupted run; "
                                "it is back in its monitor\n"),
              std::string::npos)
        << rerun.output;
}

// A console that goes away (`| head -3`, or closed from the start) stops nothing: the function
// completes and the status is its result. Closed from the start, no line may land in the file.
TEST(StoppedRun, LostConsoleStopsNothing) {
    for (const Console console : {Console::pipe, Console::closed}) {
        TempFolder folder;
        const auto image = randomBytes(0x10000, 5);
        folder.write("image.bin", image);
        int lines = 0;
        const Ending p =
            runWith({"/P", "image.bin", "/COM=SIM"}, folder.path(), console,
                    [&lines](pid_t, const std::string& output) {
                        lines = static_cast<int>(std::count(output.begin(), output.end(), '\n'));
                        return lines < 3;
                    });
        EXPECT_FALSE(p.signalled);
        EXPECT_EQ(p.code, 0);
        const auto flash = readFile(folder.file("halvard-sim.bin"));
        ASSERT_EQ(flash.size(), 0x20000u);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        const Ending r = runWith({"/R", "back.bin", "/L=10000", "/COM=SIM"}, folder.path(), console,
                                 [](pid_t, const std::string&) { return false; });
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(readFile(folder.file("back.bin")), image);
    }
}

}  // namespace
}  // namespace halvard::testing
