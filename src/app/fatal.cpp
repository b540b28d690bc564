#include "app/run.hpp"
#include "app/signals.hpp"
#include "line/port.hpp"
#include "session/rate_switch.hpp"

namespace halvard {

void FatalError(Run& run, ErrorCode code) {
    run.console.print("Error %d: %s\n", status(code), textOf(code).data());
    RestoreStartRate(run, status(code));
    PortClose(run);
    throw RunExit{status(code)};
}

void EndRun(Run& run, int exitStatus, HostFile* hostFile) {
    RestoreStartRate(run, exitStatus);
    PortClose(run, hostFile);
    throw RunExit{exitStatus};
}

void EndStoppedRun(Run& run) {
    run.console.print("\nInterrupted\n");
    EndRun(run, StoppedStatus(StopSignal()));
}

}  // namespace halvard
