#include "app/signals.hpp"

#include "base/stop.hpp"

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

#ifdef _WIN32

// Close, logoff and shutdown end the process whatever a handler does: they are left to the
// handlers behind this one (the ports' restore, then the default).
BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    return RequestStop(SIGINT) ? TRUE : FALSE;
}

#else

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, kStopSignals.size()> previousStop{};
struct sigaction previousPipe {};

extern "C" void onStopSignal(int signal) {
    if (RequestStop(signal))
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
    SetStopUnwindsRun(true);
}

ProcessGuard::~ProcessGuard() {
    SetStopUnwindsRun(false);
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

}  // namespace halvard
