// Serial ports on Windows: a COM port, 8N1, no flow control, reads that never block, and waits
// that sleep in the driver until the first byte comes. Opening one: the claim that keeps a second
// halvard out, and the state and time-outs, read back to be sure.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "line/serial_windows_line.hpp"
#include "line/system_line.hpp"

namespace halvard {

namespace com {

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

}  // namespace com

namespace {

using com::Handle;

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr DWORD kQueueSize = 16384;

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
        !GetCommState(handle.get(), &now) || !com::sameFrame(now, wanted)) {
        SetCommState(handle.get(), &original);
        return {nullptr, LineOpenError::configureFailed};
    }
    COMMTIMEOUTS timeouts = com::lineTimeouts(request.baudRate);
    if (!SetCommTimeouts(handle.get(), &timeouts)) {
        SetCommState(handle.get(), &original);
        return {nullptr, LineOpenError::timeoutsFailed};
    }
    PurgeComm(handle.get(), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return {std::make_unique<com::WindowsLine>(handle.release(), std::move(claim.mutex), original,
                                               originalTimeouts, timeouts, request.device),
            LineOpenError::openFailed};
}

}  // namespace halvard
