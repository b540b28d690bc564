#pragma once

namespace halvard {

// The request to stop that a signal (Ctrl-C, SIGTERM) makes. One flag for the process: every
// board's line looks at it before each access and unwinds its run when it is set.

// The signal that asked the runs to stop, 0 while none has.
int StopSignal();
// Asks every run to stop; true for the first request, which is the one that counts.
bool RequestStop(int signal);
void ClearStopRequest();
// True while the process's signal owner is installed: a stop signal then unwinds the runs
// instead of ending the process, and the serial ports leave the first one to it.
bool StopUnwindsRun();
void SetStopUnwindsRun(bool unwinds);
// A run that stopped on a signal ends with 128 + its number, as shells report it.
inline int StoppedStatus(int signal) {
    return 128 + signal;
}

}  // namespace halvard
