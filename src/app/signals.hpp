#pragma once

namespace halvard {

// Readies the process for one run and undoes it on destruction:
// - standard streams that the caller closed are opened on the null device, so that no file or
//   port of the run can take their numbers and receive the console's lines;
// - a console that went away (a closed pipe, `| head`) no longer ends the process: the lines are
//   lost, the run goes on and its status tells the function's result;
// - Ctrl-C, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows) ask the run to stop: at its
//   next access to the line it unwinds like a failure, so the port gets its settings back, a
//   half-written output file is removed and the virtual board's flash is saved. A second one
//   ends the process at once (the port's settings still come back).
class ProcessGuard {
  public:
    ProcessGuard();
    ~ProcessGuard();
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

    // Ends the process the way the stop signal would have, now that the run has unwound, so
    // that a calling shell sees an interrupted program. Returns where there is no such way.
    static void endBySignal(int signal);
};

}  // namespace halvard
