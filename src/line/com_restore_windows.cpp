// Ports restored on Ctrl-C, Ctrl-Break and console close. The console runs its handler in a
// thread of its own, so the registry is guarded by a mutex.
#include <array>
#include <cstddef>
#include <mutex>

#include "base/stop.hpp"
#include "line/serial_windows_line.hpp"

namespace halvard::com {

namespace {

struct SavedPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB state{};
    COMMTIMEOUTS timeouts{};
};

std::mutex savedPortsMutex;
std::array<SavedPort, 8> savedPorts;

void restoreSavedPorts() {
    const std::lock_guard lock(savedPortsMutex);
    for (SavedPort& port : savedPorts) {
        if (port.handle == INVALID_HANDLE_VALUE)
            continue;
        SetCommState(port.handle, &port.state);
        SetCommTimeouts(port.handle, &port.timeouts);
    }
}

// Ends the process with the status Windows' own handler gives an interrupted program, so that an
// interrupted run never reads as a success (Wine's own handler ends it with 0).
// A run that unwinds on Ctrl-C (ProcessGuard) restores its port itself: the first Ctrl-C or
// Ctrl-Break is passed on to it, a second one ends the process here.
BOOL WINAPI restorePortsOnConsoleEvent(DWORD type) {
    const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    if (interrupt && StopUnwindsRun() && StopSignal() == 0)
        return FALSE;
    restoreSavedPorts();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

std::size_t registerPort(HANDLE handle, const DCB& state, const COMMTIMEOUTS& timeouts) {
    static const bool installed = SetConsoleCtrlHandler(restorePortsOnConsoleEvent, TRUE) != 0;
    (void)installed;
    const std::lock_guard lock(savedPortsMutex);
    for (std::size_t i = 0; i < savedPorts.size(); ++i) {
        if (savedPorts[i].handle == INVALID_HANDLE_VALUE) {
            savedPorts[i] = SavedPort{handle, state, timeouts};
            return i;
        }
    }
    return savedPorts.size();
}

void unregisterPort(std::size_t slot) {
    const std::lock_guard lock(savedPortsMutex);
    if (slot < savedPorts.size())
        savedPorts[slot] = SavedPort{};
}

}  // namespace halvard::com
