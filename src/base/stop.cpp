#include "base/stop.hpp"

#include <atomic>

namespace halvard {

namespace {

// Written by signal handlers, so lock-free.
std::atomic<int> stopSignal{0};
std::atomic<bool> unwindsRun{false};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

int StopSignal() {
    return stopSignal.load();
}

bool RequestStop(int signal) {
    int none = 0;
    return stopSignal.compare_exchange_strong(none, signal);
}

void ClearStopRequest() {
    stopSignal = 0;
}

bool StopUnwindsRun() {
    return unwindsRun.load();
}

void SetStopUnwindsRun(bool unwinds) {
    unwindsRun = unwinds;
}

}  // namespace halvard
