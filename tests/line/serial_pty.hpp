#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvard::testing {

// A pseudo-terminal pair: the code under test opens the slave by its path as it would open a
// serial port, and the test plays the far end on the master. Termios calls on the master act on
// the slave's settings, so the test can also look at what the port was set to.
class PtyPair {
  public:
    PtyPair() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slavePath_ = ptsname(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair() { closeMaster(); }

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // The far end hangs up, as an unplugged adapter does.
    void closeMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    void send(std::span<const std::uint8_t> bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd entry{master_, POLLOUT, 0};
                ::poll(&entry, 1, 100);
            }
        }
    }
    void send(std::initializer_list<std::uint8_t> bytes) const {
        send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }

    // Whatever arrives until count bytes are there or nothing more comes within quietMs.
    std::vector<std::uint8_t> receive(std::size_t count, int quietMs = 1000) const {
        std::vector<std::uint8_t> got;
        std::uint8_t chunk[512];
        while (got.size() < count) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, quietMs) <= 0 || (entry.revents & POLLIN) == 0)
                break;
            const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    termios slaveSettings() const {
        termios settings{};
        if (tcgetattr(master_, &settings) != 0)
            throw std::runtime_error("tcgetattr on the master");
        return settings;
    }
    void setSlaveSettings(const termios& settings) const {
        if (tcsetattr(master_, TCSANOW, &settings) != 0) {
            throw std::runtime_error("tcsetattr on the master");
        }
    }

  private:
    int master_;
    std::string slavePath_;
};

// A cooked terminal at 9600 baud: the state a port must find itself in again after a run.
inline termios cookedSettings(termios settings) {
    settings.c_iflag |= ICRNL | IXON;
    settings.c_oflag |= OPOST | ONLCR;
    settings.c_lflag |= ICANON | ECHO | ISIG;
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    return settings;
}

inline std::chrono::milliseconds elapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

}  // namespace halvard::testing
