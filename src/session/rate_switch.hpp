#pragma once

namespace halvard {

class Session;

// /SPEED=: once the monitor runs and the CPU clock is known, moves board and port to the faster
// rate and proves it with a ping and the monitor's checksum. Returns on the new rate, or on the
// start rate when the board kept it. A rate that board or port cannot make is refused before
// anything changes; a board that answers at neither rate ends the run.
void SwitchLineRate(Session& session, double clockMHz);

// At the end of a run whose line /SPEED= switched: moves board and port back to the start rate,
// so that the next run finds the monitor where the loader left it. Not after a line fault (the
// monitor may be mid-frame) or a stop signal; a board that does not answer at the start rate
// gets one line saying that it needs a reset. Never ends the run itself.
void RestoreStartRate(Session& session, int exitStatus);

// The start of a run whose start rate got no answer, or only garbage, after nothing but zeros
// went out: tries the rates a /SPEED= run may have left the board's monitor at, fastest first.
// A monitor that answers is moved back to the start rate (true; the line runs at the start rate
// either way). Costs about 20 ms a rate when nothing answers; a monitor that answers but cannot
// be moved back ends the run. heardAtStart: the start rate got garbage, which may be a loader's
// answer; then only a board that answers each of a few zeros there is probed.
bool FindMonitorLeftFast(Session& session, bool heardAtStart);

}  // namespace halvard
