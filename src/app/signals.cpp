#include "app/signals.hpp"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "line/system_line.hpp"
#endif

namespace halvard {

namespace {

// Written by the handlers, so lock-free.
std::atomic<int> stopSignal{0};
std::atomic<bool> guardInstalled{false};
static_assert(std::atomic<int>::is_always_lock_free);

// The first request wins; true when this was it.
bool firstRequest(int signal) {
    int none = 0;
    return stopSignal.compare_exchange_strong(none, signal);
}

#ifdef _WIN32

// Close, logoff and shutdown end the process whatever a handler does: they are left to the
// handlers behind this one (the ports' restore, then the default).
BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    return firstRequest(SIGINT) ? TRUE : FALSE;
}

#else

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, kStopSignals.size()> previousStop{};
struct sigaction previousPipe {};

extern "C" void onStopSignal(int signal) {
    if (firstRequest(signal))
        return;
    RestoreSystemLinesNow();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void openClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

struct sigaction actionOf(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    return action;
}

#endif

}  // namespace

ProcessGuard::ProcessGuard() {
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    openClosedStandardStreams();
    const struct sigaction ignore = actionOf(SIG_IGN);
    sigaction(SIGPIPE, &ignore, &previousPipe);
    // Without SA_RESTART, so that a wait sleeping in poll() returns at once. A signal that the
    // caller ignores (nohup) stays ignored.
    const struct sigaction stop = actionOf(onStopSignal);
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        sigaction(kStopSignals[i], nullptr, &previousStop[i]);
        if (previousStop[i].sa_handler != SIG_IGN)
            sigaction(kStopSignals[i], &stop, nullptr);
    }
#endif
    guardInstalled = true;
}

ProcessGuard::~ProcessGuard() {
    guardInstalled = false;
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        sigaction(kStopSignals[i], &previousStop[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
#endif
}

void ProcessGuard::endBySignal(int signal) {
#ifdef _WIN32
    (void)signal;
    ExitProcess(STATUS_CONTROL_C_EXIT);
#else
    std::signal(signal, SIG_DFL);
    std::raise(signal);
#endif
}

int StopSignal() {
    return stopSignal.load();
}

void RequestStop(int signal) {
    firstRequest(signal);
}

void ClearStopRequest() {
    stopSignal = 0;
}

bool StopUnwindsRun() {
    return guardInstalled.load();
}

}  // namespace halvard
