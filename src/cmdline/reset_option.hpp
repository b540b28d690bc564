#pragma once

#include <string>
#include <string_view>

#include "cmdline/settings.hpp"

namespace halvard {

// /RESET=BEFORE[:AFTER]. Each part is a preset or a sequence of steps separated by commas:
// DTR+ and DTR- set and clear DTR, RTS+ and RTS- the same for RTS, and a decimal number waits
// that many milliseconds (at most kMaxResetWaitMs). The presets name the line that drives RESET;
// the other drives the boot pin:
//   DTR-RESET   before: RTS+,DTR+,50,DTR-,50   after: RTS-,DTR+,50,DTR-
//   RTS-RESET   before: DTR+,RTS+,50,RTS-,50   after: DTR-,RTS+,50,RTS-
// BEFORE runs after the port opens and before the handshake; AFTER runs when the function has
// succeeded. Both lines are cleared (released) at the end of each.
inline constexpr std::uint32_t kMaxResetWaitMs = 10000;

// Fills resetBefore and resetAfter from the option's value (upper case); returns why it is not
// a sequence, or "".
std::string ParseResetOption(std::string_view value, RunSettings& settings);

}  // namespace halvard
