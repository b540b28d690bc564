// The open tty's life: its reads, writes and waits, never blocking and sleeping in poll, and the
// settings it gives back when it closes.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/stop.hpp"
#include "line/low_latency.hpp"
#include "line/serial_posix_line.hpp"

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace halvard::tty {

namespace {

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

}  // namespace

PosixLine::PosixLine(int fd, const termios& original, std::string device, std::int32_t baudRate)
    : fd_(fd),
      original_(original),
      device_(std::move(device)),
      baudRate_(baudRate),
      lowLatency_(std::in_place, serialFlagsOf(fd), kLowLatencyFlag) {
    slot_ = registerPort(fd_, original_);
}

// Waits for the last bytes to leave before the old rate comes back; on a port that has gone
// every call here fails at once, which is fine.
PosixLine::~PosixLine() {
    unregisterPort(slot_);
    lowLatency_.reset();  // the driver's flags come back while the port is still open
    tcsetattr(fd_, TCSADRAIN, &original_);
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
}

std::size_t PosixLine::write(std::span<const std::uint8_t> bytes) {
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

std::size_t PosixLine::read(std::span<std::uint8_t> into) {
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

std::size_t PosixLine::inputCount() {
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0)
        gone("input count", errno);
    return static_cast<std::size_t>(std::max(waiting, 0));
}

// Bytes already taken into the line discipline are read away as well, so that nothing
// received before this call is ever read.
void PosixLine::flushInput() {
    if (tcflush(fd_, TCIFLUSH) != 0)
        gone("input flush", errno);
    std::array<std::uint8_t, 256> discard{};
    while (read(discard) > 0) {
    }
}

void PosixLine::drainOutput() {
    while (tcdrain(fd_) != 0) {
        if (errno != EINTR)
            gone("drain", errno);
    }
}

bool PosixLine::waitForInput(std::chrono::milliseconds timeout) {
    return pollFor(POLLIN, std::chrono::steady_clock::now() + timeout);
}

// A signal ends the rest early; the caller then looks at the stop request.
void PosixLine::rest(std::chrono::milliseconds time) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time);
    const timespec span{static_cast<time_t>(seconds.count()),
                        static_cast<long>((time - seconds).count()) * 1'000'000L};
    ::nanosleep(&span, nullptr);
}

void PosixLine::gone(const char* what, int error) const {
    throw LineGone("port " + device_ + " is gone (" + what + ": " + describeErrno(error) + ")");
}

// Enough for the bytes at the line's rate, plus a second for a slow driver.
std::chrono::milliseconds PosixLine::writeAllowance(std::size_t bytes) const {
    const auto rate = static_cast<std::uint64_t>(std::max(baudRate_, 1));
    return std::chrono::milliseconds(1000 + bytes * 10 * 1000 / rate);
}

// Sleeps in poll until the event or the deadline; a hang-up or an error on the port ends the
// run, except that input which arrived before the hang-up can still be read.
bool PosixLine::pollFor(short event, Deadline deadline) {
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

}  // namespace halvard::tty
