// The open COM port's life: reads that never block, waits that sleep in the driver until the
// first byte comes, and the state it gives back when it closes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "line/serial_windows_line.hpp"

namespace halvard::com {

namespace {

// A wait sleeps in the driver in slices of this length, so that Ctrl-C can restore the port
// soon: the handler cannot change the port while a read on it is in progress.
constexpr DWORD kWaitSliceMs = 250;

}  // namespace

WindowsLine::WindowsLine(HANDLE handle, Handle claim, const DCB& originalState,
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

WindowsLine::~WindowsLine() {
    unregisterPort(slot_);
    FlushFileBuffers(handle_);
    SetCommState(handle_, &originalState_);
    SetCommTimeouts(handle_, &originalTimeouts_);
    CloseHandle(handle_);
}

std::size_t WindowsLine::write(std::span<const std::uint8_t> bytes) {
    DWORD written = 0;
    if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        gone("write");
    }
    return written;
}

std::size_t WindowsLine::read(std::span<std::uint8_t> into) {
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

std::size_t WindowsLine::inputCount() {
    return queuedBytes() + (ahead_ ? 1 : 0);
}

void WindowsLine::flushInput() {
    ahead_.reset();
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT))
        gone("input flush");
}

void WindowsLine::drainOutput() {
    if (!FlushFileBuffers(handle_))
        gone("drain");
}

// A read of one byte that the driver ends at the first byte or after the slice; the byte is
// kept for the next read.
bool WindowsLine::waitForInput(std::chrono::milliseconds timeout) {
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

void WindowsLine::gone(const char* what) const {
    // Taken first: building the message may allocate, and an allocation may change it.
    const DWORD error = GetLastError();
    throw LineGone("port " + device_ + " is gone (" + what + ": Windows error " +
                   std::to_string(error) + ")");
}

// Also clears a line error (framing, overrun), which would otherwise stop all reads.
std::size_t WindowsLine::queuedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status))
        gone("input count");
    return status.cbInQue;
}

// With interval and multiplier at MAXDWORD, a read returns as soon as one byte is there, or
// empty after the constant.
void WindowsLine::setReadWait(DWORD ms) {
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

}  // namespace halvard::com
