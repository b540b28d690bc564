#pragma once

namespace halvard {

struct Run;

// /SPEED=: once the monitor runs and the CPU clock is known, moves board and port to the faster
// rate and proves it with a ping and the monitor's checksum. Returns on the new rate, or on the
// start rate when the board kept it. A rate that board or port cannot make is refused before
// anything changes; a board that answers at neither rate ends the run.
void SwitchLineRate(Run& run, double clockMHz);

}  // namespace halvard
