#pragma once

// Shared by the pieces of the Windows serial line (com_*_windows.cpp) and by nothing else:
// opening and configuring the COM port, giving ports their settings back on a console event, the
// line's reads, writes and waits, and its rates and modem lines.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the SDK's macros (MSVC)
#endif
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "line/serial_line.hpp"

namespace halvard::com {

using Deadline = std::chrono::steady_clock::time_point;

// Registers an open port's original state for the console event handler to restore; the slot
// goes back with unregisterPort when the port closes.
std::size_t registerPort(HANDLE handle, const DCB& state, const COMMTIMEOUTS& timeouts);
void unregisterPort(std::size_t slot);

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

// The time-outs for a line at the rate, and whether the driver took the frame and rate asked for.
COMMTIMEOUTS lineTimeouts(std::int32_t rate);
bool sameFrame(const DCB& now, const DCB& wanted);

class WindowsLine final : public SerialLine {
  public:
    WindowsLine(HANDLE handle, Handle claim, const DCB& originalState,
                const COMMTIMEOUTS& originalTimeouts, const COMMTIMEOUTS& timeouts,
                std::string device);
    WindowsLine(const WindowsLine&) = delete;
    WindowsLine& operator=(const WindowsLine&) = delete;
    ~WindowsLine() override;

    std::size_t write(std::span<const std::uint8_t> bytes) override;
    std::size_t read(std::span<std::uint8_t> into) override;
    std::size_t inputCount() override;
    void flushInput() override;
    void drainOutput() override;
    bool waitForInput(std::chrono::milliseconds timeout) override;
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override;
    bool setModemLine(ModemLine line, bool set) override;

  private:
    std::uint32_t fastestNamedRate();
    [[noreturn]] void gone(const char* what) const;
    std::size_t queuedBytes();
    void setReadWait(DWORD ms);

    Handle claim_;  // released after the port is closed
    HANDLE handle_;
    DCB originalState_;
    COMMTIMEOUTS originalTimeouts_;
    COMMTIMEOUTS timeouts_;
    std::string device_;
    std::optional<std::uint8_t> ahead_;
    std::size_t slot_ = 0;
};

}  // namespace halvard::com
