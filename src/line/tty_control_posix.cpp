// The tty's rate and modem lines: the rates with a speed_t code of their own, the check that the
// driver took a rate, switching the rate during a run, and DTR and RTS.
#include <sys/ioctl.h>
#include <termios.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "line/serial_posix_line.hpp"
#include "line/system_line.hpp"

namespace halvard::tty {

namespace {

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

int modemBit(ModemLine line) {
    return line == ModemLine::dtr ? TIOCM_DTR : TIOCM_RTS;
}

}  // namespace

const StandardRate* standardRate(std::int32_t rate) {
    for (const StandardRate& entry : kStandardRates) {
        if (entry.rate == rate)
            return &entry;
    }
    return nullptr;
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

std::optional<std::uint32_t> PosixLine::setRate(std::uint32_t rate) {
    termios before{};
    if (rate == 0 || rate > static_cast<std::uint32_t>(INT32_MAX) || tcgetattr(fd_, &before) != 0) {
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
bool PosixLine::setModemLine(ModemLine line, bool set) {
    const int bit = modemBit(line);
    return ioctl(fd_, set ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

}  // namespace halvard::tty
