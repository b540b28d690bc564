#pragma once

// Shared by the pieces of the POSIX serial line (tty_*_posix.cpp) and by nothing else: opening
// and configuring the tty, giving ports their settings back on a fatal signal, the line's reads,
// writes and waits, and its rates and modem lines.
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "line/low_latency.hpp"
#include "line/serial_line.hpp"

namespace halvard::tty {

using Deadline = std::chrono::steady_clock::time_point;

// Registers an open port's original settings for the fatal-signal handler to restore; the slot
// goes back with unregisterPort when the port closes.
std::size_t registerPort(int fd, const termios& original);
void unregisterPort(std::size_t slot);

// A rate with its own speed_t code; other rates go through the kernel's arbitrary-rate interface.
struct StandardRate {
    std::int32_t rate;
    speed_t code;
};

// The entry of the rate, or null when the rate has no code of its own.
const StandardRate* standardRate(std::int32_t rate);
// Whether the tty now runs at the rate: a standard rate as set before, any other rate set here.
bool rateTaken(int fd, std::int32_t rate, const StandardRate* standard);

class PosixLine final : public SerialLine {
  public:
    PosixLine(int fd, const termios& original, std::string device, std::int32_t baudRate);
    PosixLine(const PosixLine&) = delete;
    PosixLine& operator=(const PosixLine&) = delete;
    ~PosixLine() override;

    std::size_t write(std::span<const std::uint8_t> bytes) override;
    std::size_t read(std::span<std::uint8_t> into) override;
    std::size_t inputCount() override;
    void flushInput() override;
    void drainOutput() override;
    bool waitForInput(std::chrono::milliseconds timeout) override;
    void rest(std::chrono::milliseconds time) override;
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override;
    bool setModemLine(ModemLine line, bool set) override;

  private:
    [[noreturn]] void gone(const char* what, int error) const;
    std::chrono::milliseconds writeAllowance(std::size_t bytes) const;
    bool pollFor(short event, Deadline deadline);

    int fd_;
    termios original_;
    std::string device_;
    std::int32_t baudRate_;
    std::optional<LowLatencyRequest> lowLatency_;
    std::size_t slot_ = 0;
};

}  // namespace halvard::tty
