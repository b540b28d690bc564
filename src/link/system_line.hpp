#pragma once

#include "link/serial_line.hpp"

namespace halvard {

// Opens a serial port of this machine (a tty on POSIX, a COM port on Windows), 8N1 at the rate.
LineOpenResult OpenSystemLine(const LineRequest& request);

}  // namespace halvard
