#pragma once

#include <cstdint>
#include <optional>

#include "line/serial_line.hpp"

namespace halvard {

// Opens a serial port of this machine (a tty on POSIX, a COM port on Windows), 8N1 at the rate,
// for this process alone. The port's own settings come back when the line is destroyed, and
// also when the process is ended by Ctrl-C or SIGTERM while the line is open.
LineOpenResult OpenSystemLine(const LineRequest& request);

#ifndef _WIN32
// Gives every open port its own settings back at once; safe in a signal handler, for a process
// that is about to end by a signal.
void RestoreSystemLinesNow();

// The kernel's arbitrary-rate interface (Linux termios2). Its header cannot share a translation
// unit with <termios.h>, hence these two functions in a unit of their own. Both return the rate
// the tty reports afterwards, or nothing where the interface is missing or refuses.
std::optional<std::uint32_t> SetArbitraryLineRate(int fd, std::uint32_t rate);
std::optional<std::uint32_t> ArbitraryLineRate(int fd);
#endif

}  // namespace halvard
