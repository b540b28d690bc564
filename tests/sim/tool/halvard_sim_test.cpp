// halvard-sim as a process: the pseudo-terminal, the loader over it, signals and hang-ups.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "line/system_line.hpp"
#include "target/target_image.hpp"

namespace {

using namespace std::chrono_literals;

constexpr int kReplyTimeoutMs = 3000;

// Waits for the process for up to `limit`; the exit status, or nullopt if it is still running
// (or did not exit normally).
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

// One halvard-sim process with its standard output on a pipe; killed at the end if still alive.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        std::array<int, 2> fds{};
        if (::pipe(fds.data()) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            const int devNull = ::open("/dev/null", O_RDWR);
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDERR_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            args.insert(args.begin(), HALVARD_SIM_EXE);
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            ::close(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The first line of standard output, without its newline.
    std::string firstLine() {
        std::string line;
        char c = 0;
        while (readWithin(out_, &c, 1, kReplyTimeoutMs) == 1 && c != '\n')
            line += c;
        return line;
    }
    std::string restOfOutput() {
        std::string text;
        char c = 0;
        while (readWithin(out_, &c, 1, 500) == 1)
            text += c;
        return text;
    }

    std::optional<int> stop(int signal) {
        ::kill(pid_, signal);
        return waitUntilExit(3s);
    }
    std::optional<int> waitUntilExit(std::chrono::milliseconds limit) {
        const auto status = waitForExit(pid_, limit);
        exited_ = status.has_value();
        return status;
    }

    static ssize_t readWithin(int fd, void* into, std::size_t count, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return 0;
        return ::read(fd, into, count);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
};

// The host's end of the line: the slave device in raw mode.
class Line {
  public:
    // Raw mode; the speed is left as the terminal has it when none is given.
    explicit Line(const std::string& path, std::optional<speed_t> speed = B38400) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0)
            return;
        termios settings{};
        ::tcgetattr(fd_, &settings);
        ::cfmakeraw(&settings);
        if (speed) {
            ::cfsetispeed(&settings, *speed);
            ::cfsetospeed(&settings, *speed);
        }
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    ~Line() { close(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Sends the bytes and collects `expected` reply bytes (fewer on a time-out).
    std::vector<std::uint8_t> exchange(std::span<const std::uint8_t> bytes, std::size_t expected) {
        if (!bytes.empty() && ::write(fd_, bytes.data(), bytes.size()) < 0)
            return {};
        std::vector<std::uint8_t> reply(expected);
        std::size_t got = 0;
        while (got < expected) {
            const ssize_t n =
                SimProcess::readWithin(fd_, reply.data() + got, expected - got, kReplyTimeoutMs);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        reply.resize(got);
        return reply;
    }
    std::vector<std::uint8_t> exchange(std::initializer_list<std::uint8_t> bytes,
                                       std::size_t expected) {
        return exchange(std::span(bytes.begin(), bytes.size()), expected);
    }

    // Loader handshake and monitor upload; returns ID byte, 'V' and the ping's answer.
    std::vector<std::uint8_t> startMonitor() {
        auto answers = exchange({0x00}, 1);
        const auto v = exchange(std::span(halvard::TargetImage).first(32), 1);
        exchange(std::span(halvard::TargetImage).subspan(32, 274), 0);
        const auto aa = exchange({0x00}, 1);
        answers.insert(answers.end(), v.begin(), v.end());
        answers.insert(answers.end(), aa.begin(), aa.end());
        return answers;
    }

  private:
    int fd_ = -1;
};

TEST(HalvardSim, ServesTheLoaderOnANewTerminalAndStopsOnSigterm) {
    SimProcess sim({});
    const std::string path = sim.firstLine();
    ASSERT_EQ(path.rfind("/dev/", 0), 0U) << path;
    Line line(path);
    ASSERT_TRUE(line.isOpen());
    EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xC5});
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(HalvardSim, RunsTheMonitorAndMeasuresTheSpeedTheHostSet) {
    SimProcess sim({"--cpu", "c161pi"});
    Line line(sim.firstLine(), B9600);
    ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xD5, 'V', 0xAA}));
    // Word read of T6: round(9/4 x 20 MHz / 9600).
    EXPECT_EQ(line.exchange({0x07, 0x48, 0xFE, 0x00}, 2), (std::vector<std::uint8_t>{0x50, 0x12}));
    EXPECT_EQ(line.exchange({0x07, 0x7C, 0xF0, 0x00}, 2), (std::vector<std::uint8_t>{0x00, 0x13}));
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

// Paced, replies are passed on in bursts; every byte must still arrive, in order.
TEST(HalvardSim, PacedBlockReadArrivesWhole) {
    SimProcess sim({"--paced", "--clock", "18.432"});  // makes 115200 exactly
    Line line(sim.firstLine(), B115200);
    ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    // Block read of the image in RAM at 0xFA40: code 09, address, count 0x0120.
    const auto block = line.exchange({0x09, 0x40, 0xFA, 0x00, 0x20, 0x01}, 0x120);
    const auto image = std::span(halvard::TargetImage).first(0x120);
    EXPECT_EQ(block, std::vector<std::uint8_t>(image.begin(), image.end()));
    EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xAA});
}

TEST(HalvardSim, BaudOptionCountsWhenTheHostLeavesTheSpeedAlone) {
    // A rate the terminal cannot even express: only the option can tell it.
    SimProcess sim({"--baud", "31250"});
    Line line(sim.firstLine(), std::nullopt);
    ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    // round(9/4 x 20 MHz / 31250) = 1440
    EXPECT_EQ(line.exchange({0x07, 0x48, 0xFE, 0x00}, 2), (std::vector<std::uint8_t>{0xA0, 0x05}));
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(HalvardSim, MonitorKeepsRunningBetweenHostRunsUntilSighup) {
    SimProcess sim({});
    const std::string path = sim.firstLine();
    {
        Line line(path);
        ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    }
    std::this_thread::sleep_for(150ms);
    {
        Line line(path);
        EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xAA});
        ::kill(sim.pid(), SIGHUP);
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xC5});
    }
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(HalvardSim, ResetOnOpenPutsTheBoardBackIntoItsLoader) {
    SimProcess sim({"--reset-on-open"});
    const std::string path = sim.firstLine();
    {
        Line line(path);
        ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    }
    std::this_thread::sleep_for(150ms);
    Line line(path);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xC5});
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

// The loader measures the rate the host set, exactly: rates above 230400 and rates no speed code
// names, one host after another with the board reset in between. 29.4912 MHz makes each of them
// exactly, so the monitor answers and shows T6 = round(9/4 x clock / rate).
TEST(HalvardSim, LoaderMeasuresTheHostsExactRateRunAfterRun) {
    SimProcess sim({"--reset-on-open", "--clock", "29.4912"});
    const std::string path = sim.firstLine();
    for (const std::uint32_t rate : {921600U, 307200U, 38400U}) {
        std::this_thread::sleep_for(150ms);  // the server sees the last host go
        Line line(path);
        ASSERT_EQ(halvard::SetArbitraryLineRate(line.fd(), rate), rate);
        std::this_thread::sleep_for(150ms);  // and the new one come
        ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA})) << rate;
        const auto t6 =
            static_cast<std::uint16_t>((9ULL * 29'491'200 + 2ULL * rate) / (4ULL * rate));
        EXPECT_EQ(line.exchange({0x07, 0x48, 0xFE, 0x00}, 2),
                  (std::vector<std::uint8_t>{static_cast<std::uint8_t>(t6),
                                             static_cast<std::uint8_t>(t6 >> 8)}))
            << rate;
    }
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(HalvardSim, ExitOnCloseEndsWhenTheHostClosesTheLine) {
    SimProcess sim({"--exit-on-close"});
    Line line(sim.firstLine());
    EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xC5});
    line.close();
    EXPECT_EQ(sim.waitUntilExit(3s), 0);
}

TEST(HalvardSim, HelpAndBadOptions) {
    {
        SimProcess sim({"--help"});
        EXPECT_NE(sim.restOfOutput().find("--cpu NAME"), std::string::npos);
        EXPECT_EQ(sim.waitUntilExit(3s), 0);
    }
    for (const char* bad : {"--cpu=c999", "--bogus", "--clock", "--cpu-id=xyz", "--fault=melt",
                            "--fault=stuck=zz", "--fault=erase-fail=99", "--fault=echo=1"}) {
        SimProcess sim({bad});
        EXPECT_EQ(sim.restOfOutput(), "") << bad;
        EXPECT_EQ(sim.waitUntilExit(3s), 2) << bad;
    }
}

TEST(HalvardSimFaults, LoaderFaultsChangeTheHandshakeBytes) {
    SimProcess sim({"--fault", "id=a5", "--fault=bad-ack"});
    Line line(sim.firstLine());
    EXPECT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xA5, 'U', 0xAA}));
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(HalvardSimFaults, HangupClosesTheTerminalUnderTheHost) {
    SimProcess sim({"--fault", "hangup=3"});
    Line line(sim.firstLine());
    EXPECT_EQ(line.exchange({0x00}, 1), std::vector<std::uint8_t>{0xC5});
    // The third byte is the last: the board takes it, then the line is gone.
    EXPECT_EQ(line.exchange(std::span(halvard::TargetImage).first(32), 1),
              std::vector<std::uint8_t>{});
    EXPECT_EQ(sim.waitUntilExit(3s), 0);
    pollfd p{line.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
}

// AMD byte program through the monitor's byte writes: unlock, A0, data.
void programFlashByte(Line& line, std::uint32_t offset, std::uint8_t value) {
    const auto write = [&](std::uint32_t address, std::uint8_t byte) {
        line.exchange(
            {0x06, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address >> 16), byte},
            0);
    };
    write(0x25555, 0xAA);
    write(0x22AAA, 0x55);
    write(0x25555, 0xA0);
    write(0x20000 + offset, value);
}

std::uint8_t readByte(Line& line, std::uint32_t address) {
    const auto reply = line.exchange(
        {0x05, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
         static_cast<std::uint8_t>(address >> 16)},
        1);
    return reply.empty() ? 0 : reply[0];
}

std::optional<std::uint8_t> fileByteWithin(const std::string& path, std::size_t offset,
                                           std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file != nullptr) {
            int byte = EOF;
            if (std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0)
                byte = std::fgetc(file);
            std::fclose(file);
            if (byte == 0x42)
                return static_cast<std::uint8_t>(byte);
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return std::nullopt;
}

TEST(HalvardSimFaults, FlashImageIsSavedWhenTheHostLeavesAndSurvivesTheProcess) {
    const std::string image = "/tmp/halvard-sim-image-" + std::to_string(::getpid()) + ".bin";
    std::remove(image.c_str());
    {
        SimProcess sim({"--flash-image", image});
        {
            Line line(sim.firstLine());
            ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
            programFlashByte(line, 0x123, 0x42);
            EXPECT_EQ(readByte(line, 0x20123), 0x42);
        }
        // The host has closed the line: the board keeps running, its flash is on disk already.
        EXPECT_EQ(fileByteWithin(image, 0x123, 2s), 0x42);
        EXPECT_EQ(sim.stop(SIGTERM), 0);
    }
    SimProcess sim({"--flash-image", image});
    Line line(sim.firstLine());
    ASSERT_EQ(line.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    EXPECT_EQ(readByte(line, 0x20123), 0x42);
    EXPECT_EQ(readByte(line, 0x20124), 0xFF);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    std::remove(image.c_str());
}

}  // namespace
