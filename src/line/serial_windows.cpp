// Serial ports on Windows: a COM port, 8N1, no flow control, reads that never block, and waits
// that sleep in the driver until the first byte comes.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the SDK's macros (MSVC)
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/stop.hpp"
#include "line/system_line.hpp"

namespace halvard {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr DWORD kQueueSize = 16384;
// A wait sleeps in the driver in slices of this length, so that Ctrl-C can restore the port
// soon: the handler cannot change the port while a read on it is in progress.
constexpr DWORD kWaitSliceMs = 250;

// ---------------------------------------------------------------------------------------------
// Ports restored on Ctrl-C, Ctrl-Break and console close. The console runs its handler in a
// thread of its own, so the registry is guarded by a mutex.

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

// ---------------------------------------------------------------------------------------------

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(other.release()) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&&) = delete;
    ~Handle() {
        if (valid())
            CloseHandle(handle_);
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

  private:
    HANDLE handle_;
};

// "COM12" must be opened as "\\.\COM12" (plain names work only up to COM9); a name given in
// that form already, or a path, is taken as it is.
std::string windowsDeviceName(const std::string& device) {
    if (device.starts_with(kDevicePrefix) || device.front() == '/' || device.front() == '\\') {
        return device;
    }
    return std::string(kDevicePrefix) + device;
}

// Share mode 0 keeps every other program off an open port, but some drivers (virtual ports) and
// Wine let a second CreateFile through, and that second halvard would reconfigure and purge the
// first one's port. A named mutex per port exists exactly as long as a halvard holds the port, so
// a second halvard meets it before it touches the port. Only the creation can tell.
enum class PortClaim { claimed, heldByAnother, unavailable };

struct ClaimResult {
    PortClaim claim;
    Handle mutex;
};

std::string claimName(std::string_view device) {
    if (device.starts_with(kDevicePrefix))
        device.remove_prefix(kDevicePrefix.size());
    std::string name = "Global\\halvard-port-";
    for (const char c : device) {
        // A backslash would name a namespace; the rest is compared without case, as Windows does.
        name += c == '\\' ? '/' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return name;
}

ClaimResult claimPort(std::string_view device) {
    const std::string name = claimName(device);
    Handle mutex(CreateMutexA(nullptr, FALSE, name.c_str()));
    if (!mutex.valid())
        return {PortClaim::unavailable, std::move(mutex)};
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return {PortClaim::heldByAnother, Handle(nullptr)};
    return {PortClaim::claimed, std::move(mutex)};
}

bool isReservedName(std::string_view device) {
    return device.size() == 3 && (device[0] == 'S' || device[0] == 's') &&
           (device[1] == 'I' || device[1] == 'i') && (device[2] == 'M' || device[2] == 'm');
}

DCB lineState(DCB state, std::int32_t rate) {
    state.DCBlength = sizeof(DCB);
    state.BaudRate = static_cast<DWORD>(rate);
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = FALSE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fDsrSensitivity = FALSE;
    state.fTXContinueOnXoff = TRUE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.fAbortOnError = FALSE;
    return state;
}

// Reads return at once with what is waiting. Writes may take the bytes' time on the wire plus
// a second; a driver that takes longer has failed the write.
COMMTIMEOUTS lineTimeouts(std::int32_t rate) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(10000 / rate + 1);
    timeouts.WriteTotalTimeoutConstant = 1000;
    return timeouts;
}

bool sameFrame(const DCB& now, const DCB& wanted) {
    return now.BaudRate == wanted.BaudRate && now.ByteSize == 8 && now.Parity == NOPARITY &&
           now.StopBits == ONESTOPBIT;
}

class WindowsLine final : public SerialLine {
  public:
    WindowsLine(HANDLE handle, Handle claim, const DCB& originalState,
                const COMMTIMEOUTS& originalTimeouts, const COMMTIMEOUTS& timeouts,
                std::string device)
        : claim_(std::move(claim)),
          handle_(handle),
          originalState_(originalState),
          originalTimeouts_(originalTimeouts),
          timeouts_(timeouts),
          device_(std::move(device)) {
        slot_ = registerPort(handle_, originalState_, originalTimeouts_);
    }
    WindowsLine(const WindowsLine&) = delete;
    WindowsLine& operator=(const WindowsLine&) = delete;

    ~WindowsLine() override {
        unregisterPort(slot_);
        FlushFileBuffers(handle_);
        SetCommState(handle_, &originalState_);
        SetCommTimeouts(handle_, &originalTimeouts_);
        CloseHandle(handle_);
    }

    std::size_t write(std::span<const std::uint8_t> bytes) override {
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr)) {
            gone("write");
        }
        return written;
    }

    std::size_t read(std::span<std::uint8_t> into) override {
        std::size_t count = 0;
        if (!into.empty() && ahead_) {
            into[count++] = *std::exchange(ahead_, std::nullopt);
        }
        // Only what is already waiting is asked for, so the read returns at once whatever the
        // current read time-outs are.
        const std::size_t waiting = std::min(queuedBytes(), into.size() - count);
        if (waiting == 0)
            return count;
        DWORD got = 0;
        if (!ReadFile(handle_, into.data() + count, static_cast<DWORD>(waiting), &got, nullptr)) {
            gone("read");
        }
        return count + got;
    }

    std::size_t inputCount() override { return queuedBytes() + (ahead_ ? 1 : 0); }

    void flushInput() override {
        ahead_.reset();
        if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT))
            gone("input flush");
    }

    void drainOutput() override {
        if (!FlushFileBuffers(handle_))
            gone("drain");
    }

    // A read of one byte that the driver ends at the first byte or after the slice; the byte is
    // kept for the next read.
    bool waitForInput(std::chrono::milliseconds timeout) override {
        const Deadline deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            // Asking for the count each slice also notices a port that has gone: a read on it
            // may just come back empty.
            if (inputCount() > 0)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            setReadWait(static_cast<DWORD>(
                std::min<std::chrono::milliseconds::rep>(left.count(), kWaitSliceMs)));
            std::uint8_t byte = 0;
            DWORD got = 0;
            if (!ReadFile(handle_, &byte, 1, &got, nullptr))
                gone("wait");
            if (got == 1) {
                ahead_ = byte;
                return true;
            }
        }
    }

    // The driver's own read-back decides; a driver that cannot take rates of any size is held
    // to the fastest rate it names.
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override {
        if (rate == 0 || rate > fastestNamedRate())
            return std::nullopt;
        DCB before{};
        before.DCBlength = sizeof(DCB);
        if (!GetCommState(handle_, &before))
            gone("rate");
        DCB wanted = before;
        wanted.BaudRate = rate;
        DCB now{};
        now.DCBlength = sizeof(DCB);
        if (!SetCommState(handle_, &wanted) || !GetCommState(handle_, &now) ||
            !sameFrame(now, wanted)) {
            SetCommState(handle_, &before);
            return std::nullopt;
        }
        COMMTIMEOUTS timeouts = timeouts_;
        const auto writeRate = static_cast<std::int32_t>(std::min<std::uint32_t>(rate, INT32_MAX));
        timeouts.WriteTotalTimeoutMultiplier = lineTimeouts(writeRate).WriteTotalTimeoutMultiplier;
        if (SetCommTimeouts(handle_, &timeouts))
            timeouts_ = timeouts;
        return now.BaudRate;
    }

    bool setModemLine(ModemLine line, bool set) override {
        const DWORD function =
            line == ModemLine::dtr ? (set ? SETDTR : CLRDTR) : (set ? SETRTS : CLRRTS);
        return EscapeCommFunction(handle_, function) != 0;
    }

  private:
    std::uint32_t fastestNamedRate() {
        COMMPROP properties{};
        if (!GetCommProperties(handle_, &properties))
            return 115200;
        if ((properties.dwMaxBaud & BAUD_USER) != 0)
            return UINT32_MAX;
        struct Named {
            DWORD flag;
            std::uint32_t rate;
        };
        constexpr Named kNamed[] = {{BAUD_128K, 128000}, {BAUD_115200, 115200}, {BAUD_57600, 57600},
                                    {BAUD_56K, 56000},   {BAUD_38400, 38400},   {BAUD_19200, 19200},
                                    {BAUD_9600, 9600}};
        for (const Named& named : kNamed) {
            if ((properties.dwMaxBaud & named.flag) != 0)
                return named.rate;
        }
        return 9600;
    }

    [[noreturn]] void gone(const char* what) const {
        // Taken first: building the message may allocate, and an allocation may change it.
        const DWORD error = GetLastError();
        throw LineGone("port " + device_ + " is gone (" + what + ": Windows error " +
                       std::to_string(error) + ")");
    }

    // Also clears a line error (framing, overrun), which would otherwise stop all reads.
    std::size_t queuedBytes() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status))
            gone("input count");
        return status.cbInQue;
    }

    // With interval and multiplier at MAXDWORD, a read returns as soon as one byte is there, or
    // empty after the constant.
    void setReadWait(DWORD ms) {
        if (timeouts_.ReadTotalTimeoutMultiplier == MAXDWORD &&
            timeouts_.ReadTotalTimeoutConstant == ms) {
            return;
        }
        COMMTIMEOUTS waiting = timeouts_;
        waiting.ReadIntervalTimeout = MAXDWORD;
        waiting.ReadTotalTimeoutMultiplier = MAXDWORD;
        waiting.ReadTotalTimeoutConstant = ms;
        if (!SetCommTimeouts(handle_, &waiting))
            gone("wait");
        timeouts_ = waiting;
    }

    Handle claim_;  // released after the port is closed
    HANDLE handle_;
    DCB originalState_;
    COMMTIMEOUTS originalTimeouts_;
    COMMTIMEOUTS timeouts_;
    std::string device_;
    std::optional<std::uint8_t> ahead_;
    std::size_t slot_ = 0;
};

LineOpenResult refused(LineOpenCause cause) {
    return {nullptr, LineOpenError::openFailed, cause};
}

// A COM port that another program holds answers "access denied": its share mode is 0.
LineOpenCause causeOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return LineOpenCause::missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return LineOpenCause::busy;
        default:
            return LineOpenCause::unknown;
    }
}

}  // namespace

LineOpenResult OpenSystemLine(const LineRequest& request) {
    if (request.device.empty() || isReservedName(request.device)) {
        return refused(LineOpenCause::missing);
    }
    const std::string name = windowsDeviceName(request.device);
    ClaimResult claim = claimPort(name);
    if (claim.claim == PortClaim::heldByAnother)
        return refused(LineOpenCause::busy);
    // Share mode 0: no other program, and no second halvard, can open the port meanwhile.
    Handle handle(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr));
    if (!handle.valid())
        return refused(causeOf(GetLastError()));

    DCB original{};
    original.DCBlength = sizeof(DCB);
    COMMTIMEOUTS originalTimeouts{};
    // Anything that is no comm port (a file, a pipe) fails here.
    if (!GetCommState(handle.get(), &original) ||
        !GetCommTimeouts(handle.get(), &originalTimeouts)) {
        return refused(LineOpenCause::notSerial);
    }
    SetupComm(handle.get(), kQueueSize, kQueueSize);

    DCB wanted = lineState(original, std::max(request.baudRate, 1));
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (request.baudRate <= 0 || !SetCommState(handle.get(), &wanted) ||
        !GetCommState(handle.get(), &now) || !sameFrame(now, wanted)) {
        SetCommState(handle.get(), &original);
        return {nullptr, LineOpenError::configureFailed};
    }
    COMMTIMEOUTS timeouts = lineTimeouts(request.baudRate);
    if (!SetCommTimeouts(handle.get(), &timeouts)) {
        SetCommState(handle.get(), &original);
        return {nullptr, LineOpenError::timeoutsFailed};
    }
    PurgeComm(handle.get(), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return {std::make_unique<WindowsLine>(handle.release(), std::move(claim.mutex), original,
                                          originalTimeouts, timeouts, request.device),
            LineOpenError::openFailed};
}

}  // namespace halvard
