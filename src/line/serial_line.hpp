#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "base/errors.hpp"

namespace halvard {

// The two modem control lines a host drives; boards wire them to RESET and the boot pin.
enum class ModemLine { dtr, rts };

// A byte stream to the target at the run's baud rate, 8 data bits, no parity, 1 stop bit.
// Backends: POSIX tty, Windows COM port, and the in-process virtual board.
class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // Sends the bytes; returns how many were accepted (fewer is a failed write).
    virtual std::size_t write(std::span<const std::uint8_t> bytes) = 0;
    // Never blocks: returns what is waiting, at most into.size() bytes, 0 when nothing is.
    virtual std::size_t read(std::span<std::uint8_t> into) = 0;
    // Received bytes waiting to be read.
    virtual std::size_t inputCount() = 0;
    // Discards every received byte that is waiting.
    virtual void flushInput() = 0;
    // Returns when every written byte has left the host.
    virtual void drainOutput() = 0;
    // Sleeps until input is waiting or the time is up; true when input is waiting. Must not
    // burn CPU while it waits.
    virtual bool waitForInput(std::chrono::milliseconds timeout) = 0;
    // Lets the time pass without waking for input, which keeps arriving into the driver's buffer
    // meanwhile: for a caller that knows many bytes are still on their way and would otherwise
    // wake for every few of them. May end early (a signal); by default it is a wait for input.
    virtual void rest(std::chrono::milliseconds time) { waitForInput(time); }
    // Switches the line to the rate (call drainOutput first). Returns the rate the port reports
    // afterwards, which a driver may have rounded; nothing when it refuses, and the old rate
    // stays then. A line that cannot switch refuses every rate.
    virtual std::optional<std::uint32_t> setRate(std::uint32_t rate) {
        static_cast<void>(rate);
        return std::nullopt;
    }
    // Sets (asserts) or clears a modem line; false when the port has no such line (a
    // pseudo-terminal) or refuses.
    virtual bool setModemLine(ModemLine /*line*/, bool /*set*/) { return false; }
    // Makes what the far end holds lasting before a run reports success: the virtual board
    // writes its flash file. Returns why it could not, or "". A real board's flash keeps itself.
    virtual std::string keepBoardState() { return {}; }
};

// The line went away during a run (an unplugged USB adapter, a closed pty): the run ends with
// the port's status and one line that says why.
class LineGone : public RunError {
  public:
    explicit LineGone(const std::string& why)
        : RunError(exit_status::serialLine, "\nSerial line lost: " + why + "\n") {}
};

enum class LineOpenError { noPorts, openFailed, configureFailed, timeoutsFailed };

struct LineRequest {
    std::string device;  // what to open: "COM3", "/dev/ttyS2", "/dev/ttyUSB0", "SIM"
    std::int32_t baudRate;
    bool xc16x = false;  // the target is an XC16x: the virtual board ("SIM") is built as one
};

// Why the system refused to open a port, as far as it said; it chooses the hint after the error.
enum class LineOpenCause { unknown, missing, permission, busy, notSerial };

struct LineOpenResult {
    std::unique_ptr<SerialLine> line;  // null on failure
    LineOpenError error = LineOpenError::openFailed;
    LineOpenCause cause = LineOpenCause::unknown;
};

}  // namespace halvard
