// Serial ports on Linux and macOS: a tty in raw mode, 8N1, no flow control, never blocking.
// Opening one: the lock that keeps other programs out, and the settings, read back to be sure.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "line/serial_posix_line.hpp"
#include "line/system_line.hpp"

namespace halvard {

namespace {

using tty::StandardRate;

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

bool configure(int fd, const termios& original, std::int32_t rate) {
    termios settings = rawSettings(original);
    const StandardRate* standard = tty::standardRate(rate);
    if (standard != nullptr && (cfsetispeed(&settings, standard->code) != 0 ||
                                cfsetospeed(&settings, standard->code) != 0)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;
    return frameTaken(fd) && tty::rateTaken(fd, rate, standard);
}

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
    return {
        std::make_unique<tty::PosixLine>(fd.release(), original, request.device, request.baudRate),
        LineOpenError::openFailed};
}

}  // namespace halvard
