#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.hpp"
#include "line/serial_line.hpp"
#include "sim/board/virtual_board.hpp"

namespace halvard {

// The device name that /COM=SIM opens, and the file in the current folder that keeps the
// virtual board's flash between runs (created erased when missing).
inline constexpr std::string_view kSimDevice = "SIM";

// "SIM", or "SIM:" and options for the board, separated by commas: ADAPTER=MS (a USB serial
// adapter with this latency timer in the line), APP (the board starts in its application,
// so that only a /RESET= sequence brings it into its loader), BASE=HEX (the flash chip's address,
// as halvard-sim --flash-base takes it), FILE=NAME (the file that keeps its flash, instead of
// kSimFlashFile) and FLASH=CHIP (the flash chip, by the names halvard-sim --flash takes).
bool IsSimDevice(std::string_view device);
// True for a word that is one of those options: in a list of ports (/COM=a,b) it belongs to the
// SIM entry before it.
bool IsSimOptionWord(std::string_view word);
// The file that keeps the flash of the board a SIM device name makes ("" for none).
std::string SimFlashFileOf(std::string_view device);
// Applies the options of such a device name; returns why they do not make a board, or "".
std::string ApplySimDeviceOptions(std::string_view device, sim::VirtualBoardOptions& options);
inline constexpr std::string_view kSimFlashFile = "halvard-sim.bin";

class SimLine;

// The run's clock. While a virtual-board line is open it shows the board's simulated time, so
// that host and board keep step: a wait for a board that stays silent ends at its deadline at
// once, without real waiting or spinning. Otherwise it is the clock it wraps. The time never
// jumps back when a line opens or closes.
class BoardClock final : public Clock {
  public:
    explicit BoardClock(Clock& outside) : outside_(outside) {}
    std::uint32_t tickMs() override;
    void sleepMs(std::uint32_t ms) override;

  private:
    friend class SimLine;
    void attach(SimLine& line);
    void detach();

    Clock& outside_;
    SimLine* line_ = nullptr;
    std::uint32_t attachedAtMs_ = 0;
    std::uint64_t attachedAtNs_ = 0;
    std::uint32_t outsideOffsetMs_ = 0;
};

// The in-process virtual board behind the serial-line interface, on the host's thread. Time
// passes only while the host waits or sleeps: then the board runs up to the deadline, or until
// it has sent something. Bytes written are on the wire at the board's current time; reads take
// what has arrived. Deterministic: the same run gives the same bytes at the same times.
class SimLine final : public SerialLine {
  public:
    SimLine(std::unique_ptr<sim::VirtualBoard> board, BoardClock* clock);
    ~SimLine() override;
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    std::size_t write(std::span<const std::uint8_t> bytes) override;
    std::size_t read(std::span<std::uint8_t> into) override;
    std::size_t inputCount() override;
    void flushInput() override;
    void drainOutput() override {}
    bool waitForInput(std::chrono::milliseconds timeout) override;
    // The virtual port takes any rate; the board hears the host at it from now on.
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override;
    // DTR holds the board's RESET, RTS its boot pin (VirtualBoard::setModemLines).
    bool setModemLine(ModemLine line, bool set) override;
    // Writes the board's flash file (when the flash has changed since it was last written).
    std::string keepBoardState() override;

    // Lets the board run for this long, as real time would while the host sleeps.
    void pass(std::chrono::milliseconds time);
    // Simulated nanoseconds since the board was built, including waits the board sat out.
    std::uint64_t nowNs() const { return board_->nowNs() + skippedNs_; }
    sim::VirtualBoard& board() { return *board_; }

  private:
    void throwIfGone() const;
    // Runs the board to the deadline; a board that stopped lets the time pass regardless.
    void runUntil(std::uint64_t deadlineNs, bool untilOutput);

    std::unique_ptr<sim::VirtualBoard> board_;
    BoardClock* clock_;
    std::uint64_t skippedNs_ = 0;
    bool dtr_ = false;
    bool rts_ = false;
    std::string saveFailure_;  // why the last save failed, told to the run already
};

// The board /COM=SIM opens: the default board with its flash in kSimFlashFile.
sim::VirtualBoardOptions DefaultSimBoard();

// Builds the board for the request (its baud rate, the options of its device name; an XC16x
// when the request says so) and the line to it; `clock`, when given, follows the board's time while
// the line is open. A board that cannot be built (say, a flash file of the wrong size) is reported
// on standard error and fails as a port that cannot be opened. While another run holds the flash
// file, the board is built again for a few seconds (after one line saying so) before it fails
// as a port in use.
LineOpenResult OpenSimLine(const LineRequest& request, BoardClock* clock,
                           sim::VirtualBoardOptions options = DefaultSimBoard());

}  // namespace halvard
