// Serial ports on Linux and macOS: a tty in raw mode, 8N1, no flow control, never blocking.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/stop.hpp"
#include "line/low_latency.hpp"
#include "line/system_line.hpp"

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace halvard {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// ---------------------------------------------------------------------------------------------
// Ports restored by a fatal signal. A signal handler can only reach process-wide state, so the
// open lines register their original settings here; the handler restores them with
// tcsetattr (async-signal-safe) and lets the signal take its usual course.

struct SavedPort {
    std::atomic<int> fd{-1};
    termios settings{};
};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr std::array kRestoringSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::array<SavedPort, 8> savedPorts;
std::array<struct sigaction, kRestoringSignals.size()> previousActions{};

std::size_t signalSlot(int signal) {
    for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
        if (kRestoringSignals[i] == signal)
            return i;
    }
    return 0;
}

void restoreSavedPorts() {
    for (SavedPort& port : savedPorts) {
        const int fd = port.fd.load(std::memory_order_acquire);
        if (fd >= 0)
            tcsetattr(fd, TCSANOW, &port.settings);
    }
}

extern "C" void restorePortsAndReraise(int signal) {
    const int savedErrno = errno;
    restoreSavedPorts();
    // The signal is blocked while this handler runs; it is delivered again, with the action it
    // had before, as soon as the handler returns.
    sigaction(signal, &previousActions[signalSlot(signal)], nullptr);
    raise(signal);
    errno = savedErrno;
}

void installRestoringHandlers() {
    static const bool installed = [] {
        for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
            struct sigaction current {};
            sigaction(kRestoringSignals[i], nullptr, &current);
            // A shell that started us with the signal ignored wants it to stay ignored, and a
            // program that handles it (the run unwinds on Ctrl-C) restores the ports its way.
            if (current.sa_handler != SIG_DFL)
                continue;
            previousActions[i] = current;
            struct sigaction action {};
            action.sa_handler = restorePortsAndReraise;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            sigaction(kRestoringSignals[i], &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

// Returns the slot, or savedPorts.size() when every slot is taken (the port then only gets its
// settings back on a normal close).
std::size_t registerPort(int fd, const termios& original) {
    installRestoringHandlers();
    for (std::size_t i = 0; i < savedPorts.size(); ++i) {
        if (savedPorts[i].fd.load(std::memory_order_acquire) < 0) {
            savedPorts[i].settings = original;
            savedPorts[i].fd.store(fd, std::memory_order_release);
            return i;
        }
    }
    return savedPorts.size();
}

void unregisterPort(std::size_t slot) {
    if (slot < savedPorts.size())
        savedPorts[slot].fd.store(-1, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

struct StandardRate {
    std::int32_t rate;
    speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},         {110, B110},   {134, B134},
    {150, B150},         {200, B200},       {300, B300},   {600, B600},
    {1200, B1200},       {1800, B1800},     {2400, B2400}, {4800, B4800},
#ifdef B7200
    {7200, B7200},
#endif
    {9600, B9600},
#ifdef B14400
    {14400, B14400},
#endif
    {19200, B19200},
#ifdef B28800
    {28800, B28800},
#endif
    {38400, B38400},     {57600, B57600},
#ifdef B76800
    {76800, B76800},
#endif
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

const StandardRate* standardRate(std::int32_t rate) {
    for (const StandardRate& entry : kStandardRates) {
        if (entry.rate == rate)
            return &entry;
    }
    return nullptr;
}

// Raw bytes both ways: no echo, no line editing, no CR/LF translation, no XON/XOFF, no
// signals from the data, and modem lines ignored.
termios rawSettings(termios settings) {
    cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    settings.c_iflag |= IGNBRK;
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return settings;
}

constexpr tcflag_t kFrameFlags = CSIZE | PARENB | CSTOPB | CRTSCTS;

// tcsetattr succeeds when any part of the request was taken, so the result is read back.
bool frameTaken(int fd) {
    termios now{};
    return tcgetattr(fd, &now) == 0 && (now.c_cflag & kFrameFlags) == CS8 &&
           (now.c_iflag & (IXON | IXOFF)) == 0 && (now.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

bool rateTaken(int fd, std::int32_t rate, const StandardRate* standard) {
    if (standard != nullptr) {
        termios now{};
        return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == standard->code &&
               cfgetispeed(&now) == standard->code;
    }
    const auto actual = SetArbitraryLineRate(fd, static_cast<std::uint32_t>(rate));
    if (!actual)
        return false;
    // A driver that cannot make the rate reports the one it fell back to.
    const auto wanted = static_cast<std::int64_t>(rate);
    return std::abs(static_cast<std::int64_t>(*actual) - wanted) * 100 <= wanted;
}

bool configure(int fd, const termios& original, std::int32_t rate) {
    termios settings = rawSettings(original);
    const StandardRate* standard = standardRate(rate);
    if (standard != nullptr && (cfsetispeed(&settings, standard->code) != 0 ||
                                cfsetospeed(&settings, standard->code) != 0)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;
    return frameTaken(fd) && rateTaken(fd, rate, standard);
}

std::string describeErrno(int error) {
    return std::strerror(error);
}

// The driver's serial flags, where it has them (Linux serial and USB serial drivers).
LowLatencyRequest::Driver serialFlagsOf(int fd) {
#ifdef __linux__
    return {[fd]() -> std::optional<int> {
                serial_struct serial{};
                if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
                    return std::nullopt;
                return serial.flags;
            },
            [fd](int flags) {
                serial_struct serial{};
                if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
                    return false;
                serial.flags = flags;
                return ioctl(fd, TIOCSSERIAL, &serial) == 0;
            }};
#else
    (void)fd;
    return {[] { return std::optional<int>{}; }, [](int) { return false; }};
#endif
}

#ifdef __linux__
constexpr int kLowLatencyFlag = ASYNC_LOW_LATENCY;
#else
constexpr int kLowLatencyFlag = 0;
#endif

int modemBit(ModemLine line) {
    return line == ModemLine::dtr ? TIOCM_DTR : TIOCM_RTS;
}

class PosixLine final : public SerialLine {
  public:
    PosixLine(int fd, const termios& original, std::string device, std::int32_t baudRate)
        : fd_(fd),
          original_(original),
          device_(std::move(device)),
          baudRate_(baudRate),
          lowLatency_(std::in_place, serialFlagsOf(fd), kLowLatencyFlag) {
        slot_ = registerPort(fd_, original_);
    }
    PosixLine(const PosixLine&) = delete;
    PosixLine& operator=(const PosixLine&) = delete;

    // Waits for the last bytes to leave before the old rate comes back; on a port that has gone
    // every call here fails at once, which is fine.
    ~PosixLine() override {
        unregisterPort(slot_);
        lowLatency_.reset();  // the driver's flags come back while the port is still open
        tcsetattr(fd_, TCSADRAIN, &original_);
        ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    std::size_t write(std::span<const std::uint8_t> bytes) override {
        const Deadline deadline = std::chrono::steady_clock::now() + writeAllowance(bytes.size());
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                gone("write", errno);
            if (!pollFor(POLLOUT, deadline))
                break;
        }
        return written;
    }

    std::size_t read(std::span<std::uint8_t> into) override {
        if (into.empty())
            return 0;
        for (;;) {
            const ssize_t n = ::read(fd_, into.data(), into.size());
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            gone("read", errno);
        }
    }

    std::size_t inputCount() override {
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0)
            gone("input count", errno);
        return static_cast<std::size_t>(std::max(waiting, 0));
    }

    // Bytes already taken into the line discipline are read away as well, so that nothing
    // received before this call is ever read.
    void flushInput() override {
        if (tcflush(fd_, TCIFLUSH) != 0)
            gone("input flush", errno);
        std::array<std::uint8_t, 256> discard{};
        while (read(discard) > 0) {
        }
    }

    void drainOutput() override {
        while (tcdrain(fd_) != 0) {
            if (errno != EINTR)
                gone("drain", errno);
        }
    }

    bool waitForInput(std::chrono::milliseconds timeout) override {
        return pollFor(POLLIN, std::chrono::steady_clock::now() + timeout);
    }

    // A signal ends the rest early; the caller then looks at the stop request.
    void rest(std::chrono::milliseconds time) override {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time);
        const timespec span{static_cast<time_t>(seconds.count()),
                            static_cast<long>((time - seconds).count()) * 1'000'000L};
        ::nanosleep(&span, nullptr);
    }

    std::optional<std::uint32_t> setRate(std::uint32_t rate) override {
        termios before{};
        if (rate == 0 || rate > static_cast<std::uint32_t>(INT32_MAX) ||
            tcgetattr(fd_, &before) != 0) {
            return std::nullopt;
        }
        const auto wanted = static_cast<std::int32_t>(rate);
        const StandardRate* standard = standardRate(wanted);
        termios settings = before;
        const bool taken = standard != nullptr ? cfsetispeed(&settings, standard->code) == 0 &&
                                                     cfsetospeed(&settings, standard->code) == 0 &&
                                                     tcsetattr(fd_, TCSANOW, &settings) == 0 &&
                                                     rateTaken(fd_, wanted, standard)
                                               : rateTaken(fd_, wanted, nullptr);
        if (!taken) {
            tcsetattr(fd_, TCSANOW, &before);
            return std::nullopt;
        }
        const std::uint32_t reported = ArbitraryLineRate(fd_).value_or(rate);
        baudRate_ = static_cast<std::int32_t>(reported);
        return reported;
    }

    // A pseudo-terminal has no modem lines and refuses (ENOTTY, EINVAL).
    bool setModemLine(ModemLine line, bool set) override {
        const int bit = modemBit(line);
        return ioctl(fd_, set ? TIOCMBIS : TIOCMBIC, &bit) == 0;
    }

  private:
    [[noreturn]] void gone(const char* what, int error) const {
        throw LineGone("port " + device_ + " is gone (" + what + ": " + describeErrno(error) + ")");
    }

    // Enough for the bytes at the line's rate, plus a second for a slow driver.
    std::chrono::milliseconds writeAllowance(std::size_t bytes) const {
        const auto rate = static_cast<std::uint64_t>(std::max(baudRate_, 1));
        return std::chrono::milliseconds(1000 + bytes * 10 * 1000 / rate);
    }

    // Sleeps in poll until the event or the deadline; a hang-up or an error on the port ends the
    // run, except that input which arrived before the hang-up can still be read.
    bool pollFor(short event, Deadline deadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int timeoutMs = static_cast<int>(
                std::clamp<std::chrono::milliseconds::rep>(left.count() + 1, 0, INT_MAX));
            pollfd entry{fd_, event, 0};
            const int ready = ::poll(&entry, 1, timeoutMs);
            if (ready < 0) {
                // A run asked to stop looks at the request before it waits on.
                if (errno == EINTR && StopSignal() != 0)
                    return false;
                if (errno == EINTR)
                    continue;
                gone("poll", errno);
            }
            if (ready == 0) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return false;
                continue;
            }
            if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                if (event == POLLIN && inputCount() > 0)
                    return true;
                gone("poll", entry.revents & POLLNVAL ? EBADF : EIO);
            }
            if ((entry.revents & event) != 0)
                return true;
        }
    }

    int fd_;
    termios original_;
    std::string device_;
    std::int32_t baudRate_;
    std::optional<LowLatencyRequest> lowLatency_;
    std::size_t slot_ = 0;
};

LineOpenResult refused(LineOpenCause cause) {
    return {nullptr, LineOpenError::openFailed, cause};
}

// A lock held by another process reads EWOULDBLOCK; a port held with TIOCEXCL reads EBUSY.
LineOpenCause causeOf(int error) {
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return LineOpenCause::missing;
    if (error == EACCES || error == EPERM)
        return LineOpenCause::permission;
    if (error == EBUSY || error == EWOULDBLOCK || error == EAGAIN)
        return LineOpenCause::busy;
    return LineOpenCause::unknown;
}

}  // namespace

void RestoreSystemLinesNow() {
    restoreSavedPorts();
}

LineOpenResult OpenSystemLine(const LineRequest& request) {
    // Only a path names a device here; "SIM" and other bare words are no port of this machine,
    // and a relative path would open whatever happens to lie in the working folder.
    if (request.device.empty() || request.device.front() != '/')
        return refused(LineOpenCause::missing);
    FileDescriptor fd(::open(request.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return refused(causeOf(errno));
    if (!isatty(fd.get()))
        return refused(LineOpenCause::notSerial);
    // The lock keeps out a second halvard even when it runs as root, which TIOCEXCL does not;
    // TIOCEXCL keeps out other programs that open the port without taking the lock.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return refused(causeOf(errno));
    if (ioctl(fd.get(), TIOCEXCL) != 0)
        return {nullptr, LineOpenError::openFailed};

    termios original{};
    if (tcgetattr(fd.get(), &original) != 0)
        return {nullptr, LineOpenError::openFailed};
    // A rate of 0 would mean "hang up" to the driver.
    if (request.baudRate <= 0 || !configure(fd.get(), original, request.baudRate)) {
        tcsetattr(fd.get(), TCSANOW, &original);
        ioctl(fd.get(), TIOCNXCL);
        return {nullptr, LineOpenError::configureFailed};
    }
    tcflush(fd.get(), TCIOFLUSH);
    return {std::make_unique<PosixLine>(fd.release(), original, request.device, request.baudRate),
            LineOpenError::openFailed};
}

}  // namespace halvard
