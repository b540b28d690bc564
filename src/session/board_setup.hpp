#pragma once

#include <cstdint>

namespace halvard {

class Session;

// The line after failures that the developers should hear of.
inline constexpr const char* kContactLine =
    "\nPlease send the lines above to the Halvard developers.\n";

// From the open port to a board whose monitor runs and whose flash chip is known: the /RESET=
// sequence, the handshake, the CPU, its clock, /SPEED= and the flash chip.
void BringUp(Session& session);
// The CPU clock the loader measured from the zero byte; prints the "CPU clock" line.
double MeasureCpuClock(Session& session);
// T6 counts 9 bit times of the zero byte at a quarter of the CPU clock: f = T6 x baud x 4/9.
double CpuClockMHz(std::uint16_t t6, std::int32_t baudRate);
// The registers the monitor's commands and the flash algorithm rely on.
void SetUpCpuRegisters(Session& session);
// Finds the flash chip and readies its command set; an unknown chip ends the run (20).
void IdentifyFlash(Session& session);
// Loads the flash algorithm behind the monitor and checks it (8 when it does not arrive whole).
void LoadFlashAlgorithm(Session& session);

}  // namespace halvard
