#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "line/serial_line.hpp"

namespace halvard {

// Opens the line that a request names. main installs the real one (tty, COM port, or the
// virtual board for /COM=SIM); tests install scripted lines.
using LineFactory = std::function<LineOpenResult(const LineRequest&)>;

// The device that a /COM= value names: COMn on Windows, /dev/ttyS(n-1) on Linux for a number,
// an absolute path as typed, SIM for the virtual board. Without a value, the port of the index
// (0 for COM1) that /COM1../COM4 chose.
std::string PortDeviceFor(std::string_view typed, std::uint32_t index);

// The port a board is reached through.
struct PortChoice {
    std::string name;    // as messages name it: "COM1", "COM7" for /COM=7, or the path
    std::string device;  // what to open (PortDeviceFor)
    std::int32_t baudRate;
    bool xc16x = false;  // the board is an XC16x (the virtual board is built as one)
};

// Opens and configures the port; a port that cannot be had ends the run with status 3 after
// its lines (and, for a missing one, the ports there are).
std::unique_ptr<SerialLine> OpenPort(const PortChoice& port, const LineFactory& open,
                                     Console& console);

// One board's serial line as the layers above use it: the line, the clock its waits run on, the
// console its few lines go to and the rate it runs at. Every access looks at the stop request
// first, so a stop signal unwinds the run at its next step on the line.
class Link {
  public:
    Link(std::unique_ptr<SerialLine> line, Clock& clock, Console& console, std::int32_t baudRate)
        : clock(clock), console(console), baudRate(baudRate), line_(std::move(line)) {}
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The open line; ends a stopped run, and throws LineGone once the port is closed.
    SerialLine& line();
    // The open line without a look at the stop request, for the steps that finish what was
    // started on it (the flash algorithm's answer, a rate switch).
    SerialLine& unchecked();
    bool isOpen() const { return line_ != nullptr; }
    // Lets go of the port, which gets its own settings back.
    void close() { line_.reset(); }

    Clock& clock;
    Console& console;
    std::int32_t baudRate;  // the host's side; a rate switch changes it

  private:
    std::unique_ptr<SerialLine> line_;
};

// Milliseconds that the bytes need on the wire at the link's rate (8N1: 10 bits a byte),
// rounded up. Every wait adds this for the bytes still in flight when it starts.
std::uint32_t wireTimeMs(const Link& link, std::size_t bytes);

// Sends one byte; a failure is printed and otherwise ignored.
void PortWriteByte(Link& link, std::uint8_t byte);
// Sends the bytes with one write; true when all of them went.
bool PortWrite(Link& link, std::span<const std::uint8_t> bytes);
// Told how many bytes of the buffer are in, each time more have arrived.
using ArrivalProgress = std::function<void(std::size_t received)>;

// Waits for count bytes within timeoutMs; true when they are all in the buffer.
bool WaitForBytes(Link& link, std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                  const ArrivalProgress& onArrival = {});
// Puts a monitor that lost step back to the start of a command and empties the input. It sends
// kResyncZeros zeros, enough to end a 512-byte block write, and the monitor answers each zero
// that reaches it at the start of a command with 0xAA.
inline constexpr std::uint32_t kResyncZeros = 512;
void PortResync(Link& link);
// The same after an answer that came whole but did not agree, where the line was most likely
// fine: the resynchronisation is told only when the monitor's answers show it was out of step.
void PortResyncQuietly(Link& link);
// Discards what the target sends until the line has been quiet for the gap that ends an answer;
// a line that never goes quiet ends the wait after limitMs. True when anything arrived.
bool PortDiscardInput(Link& link, std::uint32_t limitMs);

}  // namespace halvard
