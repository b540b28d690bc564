#include "sim/tool/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "sim/tool/pty_rate.hpp"

namespace halvard::sim::tool {

namespace {

struct SpeedCode {
    speed_t code;
    std::uint32_t baud;
};

constexpr std::array kSpeeds{
    SpeedCode{B300, 300},       SpeedCode{B600, 600},       SpeedCode{B1200, 1200},
    SpeedCode{B2400, 2400},     SpeedCode{B4800, 4800},     SpeedCode{B9600, 9600},
    SpeedCode{B19200, 19200},   SpeedCode{B38400, 38400},   SpeedCode{B57600, 57600},
    SpeedCode{B115200, 115200}, SpeedCode{B230400, 230400},
};

std::optional<speed_t> speedCode(std::uint32_t baud) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.baud == baud)
            return s.code;
    }
    return std::nullopt;
}

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The write end of the signal pipe, for the handler: the one piece of process-wide state a
// signal handler cannot do without.
int signalWriteFd = -1;

extern "C" void onSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(signalWriteFd, &byte, 1);
    errno = saved;
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// ---- PseudoTerminal ----

std::optional<PseudoTerminal> PseudoTerminal::open(std::uint32_t initialBaud, std::string& error) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        error = systemError("posix_openpt");
        return std::nullopt;
    }
    PseudoTerminal terminal(fd, {});
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        error = systemError("grantpt/unlockpt");
        return std::nullopt;
    }
    const char* name = ::ptsname(fd);
    if (name == nullptr) {
        error = systemError("ptsname");
        return std::nullopt;
    }
    terminal.slavePath_ = name;
    // Termios requests on the master reach the line's settings: raw, 8N1, the default speed,
    // so that a host which does not configure everything still gets a clean byte pipe.
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        if (const auto code = speedCode(initialBaud)) {
            ::cfsetispeed(&settings, *code);
            ::cfsetospeed(&settings, *code);
        }
        ::tcsetattr(fd, TCSANOW, &settings);
        if (!speedCode(initialBaud))
            SetExactRate(fd, initialBaud);
    }
    terminal.initialBaud_ = initialBaud;
    if (!setNonBlocking(fd)) {
        error = systemError("fcntl");
        return std::nullopt;
    }
    return terminal;
}

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      slavePath_(std::move(other.slavePath_)),
      initialBaud_(other.initialBaud_) {}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
}

void PseudoTerminal::hangUp() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

// The terminal's settings are the host's: whatever it set last, the server's initial speed
// until it sets one. The kernel's arbitrary-rate interface reports any rate exactly.
std::uint32_t PseudoTerminal::lineBaud() const {
    if (const auto exact = ExactRate(fd_); exact && *exact > 0)
        return *exact;
    termios settings{};
    if (::tcgetattr(fd_, &settings) != 0)
        return initialBaud_;
    const speed_t code = ::cfgetospeed(&settings);
    for (const SpeedCode& s : kSpeeds) {
        if (s.code == code)
            return s.baud;
    }
    return initialBaud_;
}

// ---- SignalPipe ----

std::optional<SignalPipe> SignalPipe::install(std::string& error) {
    std::array<int, 2> fds{};
    if (::pipe(fds.data()) != 0) {
        error = systemError("pipe");
        return std::nullopt;
    }
    SignalPipe pipe(fds[0], fds[1]);
    setNonBlocking(fds[0]);
    setNonBlocking(fds[1]);
    signalWriteFd = fds[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(number, &action, nullptr) != 0) {
            error = systemError("sigaction");
            return std::nullopt;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    return pipe;
}

SignalPipe::SignalPipe(SignalPipe&& other) noexcept
    : readFd_(std::exchange(other.readFd_, -1)), writeFd_(std::exchange(other.writeFd_, -1)) {}

SignalPipe::~SignalPipe() {
    if (writeFd_ >= 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        signalWriteFd = -1;
        ::close(writeFd_);
    }
    if (readFd_ >= 0)
        ::close(readFd_);
}

SignalPipe::Pending SignalPipe::drain() {
    Pending pending;
    std::array<unsigned char, 64> bytes{};
    ssize_t count = 0;
    while ((count = ::read(readFd_, bytes.data(), bytes.size())) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (bytes[static_cast<std::size_t>(i)] == SIGHUP) {
                pending.reset = true;
            } else {
                pending.stop = true;
            }
        }
    }
    return pending;
}

// ---- the serve loop ----

namespace {

// Unpaced, the board runs in slices of this much simulated time, so that signals and host
// bytes are looked at even while the code computes.
constexpr std::uint64_t kUnpacedSliceNs = 20'000'000;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
// While nobody holds the line open the master reports a hang-up at every poll; look again this
// often for a host that opens it.
constexpr std::int64_t kHungUpPollNs = 50'000'000;
// Paced, bytes for the host are passed on in bursts, as a UART's FIFO or a USB adapter's latency
// timer would: at the latest this long after the first of them completed its frame, and at once
// when nothing more is on its way. A reply's last byte thus reaches the host as its frame ends,
// while the host is not woken for every byte of a long reply.
constexpr std::uint64_t kHoldNs = 1'000'000;
#ifdef __linux__
// The kernel may let a timed wait run this much late (its default is 50 us per wait).
constexpr unsigned long kTimerSlackNs = 1'000;
#endif

class Server {
  public:
    Server(VirtualBoard& board, PseudoTerminal& terminal, SignalPipe& signals,
           ServeSettings settings)
        : board_(board),
          terminal_(terminal),
          signals_(signals),
          settings_(settings),
          start_(std::chrono::steady_clock::now()) {}

    int run();

  private:
    std::uint64_t wallNs() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now() - start_)
                                              .count());
    }
    Halt runBoard();
    void collectOutput();
    bool outputDue() const;
    void writeOutput();
    std::int64_t timeoutNs(Halt halt) const;
    // Reads what the host sent; false when the host has closed the line.
    bool readHost();
    void lineClosed();
    void saveFlash();
    void reportLostBytes();
    void lineOpened();
    bool masterHungUp() const;

    VirtualBoard& board_;
    PseudoTerminal& terminal_;
    SignalPipe& signals_;
    ServeSettings settings_;
    std::chrono::steady_clock::time_point start_;
    std::deque<std::uint8_t> output_;
    std::uint64_t heldSinceNs_ = 0;  // paced: when the oldest byte in output_ was collected
    bool hungUp_ = false;
    std::uint64_t lostBeforeHost_ = 0;  // the board's lost host bytes when this host came
};

// Paced, the board keeps step with real time. Unpaced, it runs ahead as fast as it can, but
// real time still passes while it waits, so the flash is no faster than its own timing.
Halt Server::runBoard() {
    if (board_.paced())
        return board_.run({.untilNs = wallNs(), .idleTimePasses = true});
    const Halt halt = board_.run({.untilNs = board_.nowNs() + kUnpacedSliceNs});
    if (halt != Halt::idle)
        return halt;
    return board_.run({.untilNs = std::max(board_.nowNs(), wallNs()), .idleTimePasses = true});
}

void Server::collectOutput() {
    std::array<std::uint8_t, 4096> bytes{};
    while (const std::size_t count = board_.hostRead(bytes)) {
        if (hungUp_)
            continue;
        if (output_.empty())
            heldSinceNs_ = wallNs();
        output_.insert(output_.end(), bytes.begin(), bytes.begin() + count);
    }
}

bool Server::outputDue() const {
    if (output_.empty())
        return false;
    // A board behind an adapter model: the adapter has done the holding.
    return !board_.paced() || board_.hasAdapter() || board_.nextOutputNs() == kForever ||
           wallNs() - heldSinceNs_ >= kHoldNs;
}

void Server::writeOutput() {
    while (!output_.empty()) {
        std::array<std::uint8_t, 4096> chunk{};
        const std::size_t count = std::min(chunk.size(), output_.size());
        std::copy_n(output_.begin(), count, chunk.begin());
        const ssize_t written = ::write(terminal_.fd(), chunk.data(), count);
        if (written <= 0)
            return;  // the host is not reading yet (EAGAIN) or has gone (EIO)
        output_.erase(output_.begin(), output_.begin() + written);
    }
}

// Negative: no time limit.
std::int64_t Server::timeoutNs(Halt halt) const {
    if (hungUp_)
        return kHungUpPollNs;
    if (!board_.paced()) {
        // Busy: come straight back.
        return halt == Halt::idle || halt == Halt::stopped ? -1 : 0;
    }
    const std::uint64_t now = board_.nowNs();
    std::uint64_t wake = kForever;
    if (!output_.empty())
        wake = heldSinceNs_ + kHoldNs;  // in wall time, which the board's clock follows
    // The next byte for the host is passed on as its frame ends. While the code computes, or
    // takes in the host's bytes, it may start a reply at any moment: look again within a
    // frame time, so that the reply's first frame is seen before it ends.
    wake = std::min(wake, board_.nextOutputNs());
    if (halt != Halt::idle && halt != Halt::stopped)
        wake = std::min(wake, now + 10 * kNsPerSecond / std::max<std::uint32_t>(board_.baud(), 1));
    if (wake == kForever)
        return -1;
    return wake > now ? static_cast<std::int64_t>(wake - now) : 0;
}

bool Server::readHost() {
    std::array<std::uint8_t, 4096> bytes{};
    for (;;) {
        const ssize_t count = ::read(terminal_.fd(), bytes.data(), bytes.size());
        if (count > 0) {
            board_.setBaud(terminal_.lineBaud());
            // Paced: the bytes go on the wire now, not when the board last stopped.
            if (board_.paced())
                board_.run({.untilNs = wallNs()});
            board_.hostWrite(std::span(bytes.data(), static_cast<std::size_t>(count)));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        return !(count < 0 && errno == EIO) && !masterHungUp();
    }
}

bool Server::masterHungUp() const {
    pollfd probe{terminal_.fd(), POLLIN, 0};
    return ::poll(&probe, 1, 0) > 0 && (probe.revents & POLLHUP) != 0;
}

void Server::lineClosed() {
    hungUp_ = true;
    output_.clear();
    reportLostBytes();
    saveFlash();
}

// A byte from the host that the board never read (its receiver was off, or the next byte
// overwrote it) is a fault of the host's timing or of the target code's speed: say so, so that a
// run at a high rate shows whether the monitor keeps up.
void Server::reportLostBytes() {
    const std::uint64_t lost = board_.board().lostBytes() - lostBeforeHost_;
    lostBeforeHost_ = board_.board().lostBytes();
    if (lost != 0) {
        std::fprintf(stderr,
                     "halvard-sim: %llu bytes from the host were lost (receiver off or overrun)\n",
                     static_cast<unsigned long long>(lost));
    }
}

void Server::saveFlash() {
    try {
        board_.saveFlash();
    } catch (const FlashImageError& error) {
        std::fprintf(stderr, "halvard-sim: %s\n", error.what());
    }
}

void Server::lineOpened() {
    hungUp_ = false;
    if (settings_.resetOnOpen)
        board_.reset();
    lostBeforeHost_ = board_.board().lostBytes();
}

int Server::run() {
#ifdef __linux__
    ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
#endif
    // Some kernels report a hang-up before anybody has opened the slave: wait for a host then.
    hungUp_ = masterHungUp();
    for (;;) {
        const Halt halt = runBoard();
        collectOutput();
        const bool due = outputDue();
        if (due)
            writeOutput();
        if (board_.lineGone()) {
            std::fprintf(stderr, "halvard-sim: the line is gone (fault hangup)\n");
            terminal_.hangUp();
            saveFlash();
            return 0;
        }

        std::array<pollfd, 2> fds{pollfd{signals_.fd(), POLLIN, 0}, pollfd{-1, 0, 0}};
        if (!hungUp_) {
            const bool blocked = due && !output_.empty();  // the host is not reading
            fds[1] =
                pollfd{terminal_.fd(), static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
        }
        const std::int64_t timeout = timeoutNs(halt);
        const timespec limit{static_cast<time_t>(timeout / kNsPerSecond),
                             static_cast<long>(timeout % kNsPerSecond)};
        if (::ppoll(fds.data(), fds.size(), timeout < 0 ? nullptr : &limit, nullptr) < 0 &&
            errno != EINTR) {
            return 1;
        }

        const SignalPipe::Pending pending = signals_.drain();
        if (pending.stop)
            return 0;
        if (pending.reset)
            board_.reset();

        if (hungUp_) {
            if (!masterHungUp())
                lineOpened();
            continue;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !readHost()) {
            if (settings_.exitOnClose)
                return 0;
            lineClosed();
        }
    }
}

}  // namespace

int serve(VirtualBoard& board, PseudoTerminal& terminal, SignalPipe& signals,
          const ServeSettings& settings) {
    return Server(board, terminal, signals, settings).run();
}

}  // namespace halvard::sim::tool
