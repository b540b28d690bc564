// Ports restored by a fatal signal. A signal handler can only reach process-wide state, so the
// open lines register their original settings here; the handler restores them with
// tcsetattr (async-signal-safe) and lets the signal take its usual course.
#include <termios.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>

#include "line/serial_posix_line.hpp"
#include "line/system_line.hpp"

namespace halvard {

namespace tty {

namespace {

struct SavedPort {
    std::atomic<int> fd{-1};
    termios settings{};
};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr std::array kRestoringSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A fixture may hold many adapters; a port beyond these still gets its settings back on close.
std::array<SavedPort, 32> savedPorts;
// A slot taken but not yet filled.
constexpr int kClaimed = -2;
std::array<struct sigaction, kRestoringSignals.size()> previousActions{};

std::size_t signalSlot(int signal) {
    for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
        if (kRestoringSignals[i] == signal)
            return i;
    }
    return 0;
}

void restoreSavedPorts() {
    for (SavedPort& port : savedPorts) {
        const int fd = port.fd.load(std::memory_order_acquire);
        if (fd >= 0)
            tcsetattr(fd, TCSANOW, &port.settings);
    }
}

extern "C" void restorePortsAndReraise(int signal) {
    const int savedErrno = errno;
    restoreSavedPorts();
    // The signal is blocked while this handler runs; it is delivered again, with the action it
    // had before, as soon as the handler returns.
    sigaction(signal, &previousActions[signalSlot(signal)], nullptr);
    raise(signal);
    errno = savedErrno;
}

void installRestoringHandlers() {
    static const bool installed = [] {
        for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
            struct sigaction current {};
            sigaction(kRestoringSignals[i], nullptr, &current);
            // A shell that started us with the signal ignored wants it to stay ignored, and a
            // program that handles it (the run unwinds on Ctrl-C) restores the ports its way.
            if (current.sa_handler != SIG_DFL)
                continue;
            previousActions[i] = current;
            struct sigaction action {};
            action.sa_handler = restorePortsAndReraise;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            sigaction(kRestoringSignals[i], &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

}  // namespace

// Returns the slot, or savedPorts.size() when every slot is taken (the port then only gets its
// settings back on a normal close).
std::size_t registerPort(int fd, const termios& original) {
    installRestoringHandlers();
    // Boards of one run open their ports side by side: a slot is claimed before it is filled,
    // and a handler skips a slot that is being filled.
    for (std::size_t i = 0; i < savedPorts.size(); ++i) {
        int free = -1;
        if (savedPorts[i].fd.compare_exchange_strong(free, kClaimed, std::memory_order_acq_rel)) {
            savedPorts[i].settings = original;
            savedPorts[i].fd.store(fd, std::memory_order_release);
            return i;
        }
    }
    return savedPorts.size();
}

void unregisterPort(std::size_t slot) {
    if (slot < savedPorts.size())
        savedPorts[slot].fd.store(-1, std::memory_order_release);
}

}  // namespace tty

void RestoreSystemLinesNow() {
    tty::restoreSavedPorts();
}

}  // namespace halvard
