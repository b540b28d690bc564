// <asm/termbits.h> redefines struct termios, so this unit must not include <termios.h>, directly
// or through a header that does.
#include "sim/tool/pty_rate.hpp"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace halvard::sim::tool {

#ifdef __linux__

std::optional<std::uint32_t> ExactRate(int fd) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return std::nullopt;
    return settings.c_ospeed;
}

std::optional<std::uint32_t> SetExactRate(int fd, std::uint32_t rate) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return std::nullopt;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ospeed = rate;
    settings.c_ispeed = rate;
    if (ioctl(fd, TCSETS2, &settings) != 0)
        return std::nullopt;
    return ExactRate(fd);
}

#else

std::optional<std::uint32_t> ExactRate(int) {
    return std::nullopt;
}
std::optional<std::uint32_t> SetExactRate(int, std::uint32_t) {
    return std::nullopt;
}

#endif

}  // namespace halvard::sim::tool
