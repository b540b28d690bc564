#pragma once

#include <cstdint>
#include <optional>

namespace halvard::sim::tool {

// The kernel's arbitrary-rate interface on the pseudo-terminal (Linux termios2): any rate, read
// back exactly. Its header cannot share a translation unit with <termios.h>, hence a unit of its
// own. Both return the rate the terminal reports afterwards, or nothing where the interface is
// missing or refuses; the server then keeps to the named rates.
std::optional<std::uint32_t> ExactRate(int fd);
std::optional<std::uint32_t> SetExactRate(int fd, std::uint32_t rate);

}  // namespace halvard::sim::tool
