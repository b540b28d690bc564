#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "flash/flash_ops.hpp"
#include "line/port.hpp"
#include "monitor/crc_requests.hpp"

namespace halvard {

// One step of a /RESET= sequence: set or clear a modem line, or wait.
struct ModemStep {
    enum class Action { setDtr, clearDtr, setRts, clearRts, wait };
    Action action;
    std::uint32_t ms = 0;  // how long a wait lasts
    bool operator==(const ModemStep&) const = default;
};
using ModemSequence = std::vector<ModemStep>;

// /SPEED=MAX: the fastest rate that both the board and the port make.
inline constexpr std::int32_t kSpeedMax = -1;

// What bring-up uses of the command line.
struct BoardSettings {
    std::string portName;  // the port as messages name it
    std::string device;    // the device the port is
    bool xc16x = false;
    std::int32_t speed = 0;     // /SPEED=: the rate to switch to once the monitor runs; 0: none
    ModemSequence resetBefore;  // /RESET=: before the handshake (boot mode)
    ModemSequence resetAfter;   // /RESET=...:...: after a successful function (the application)
};

// One board, from the open port on: its line, what bring-up learned of it (where the monitor
// runs, the code behind it, the flash chip, the rate the line was moved to) and its settings.
// Sessions share nothing, so several boards can be driven side by side.
//
// Destroying a session lets go of the port. When the run told it how it ended (endWith) and
// that end leaves the monitor idle, a line that /SPEED= moved goes back to the start rate
// first, so that the next run finds the monitor where the loader left it.
class Session {
  public:
    Session(std::unique_ptr<SerialLine> line, Clock& clock, Console& console, std::int32_t baudRate,
            BoardSettings settings, FlashSettings flashSettings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The exit status the run ends with, for the destructor's last step.
    void endWith(int exitStatus) { endStatus_ = exitStatus; }

    Link link;
    BoardSettings settings;
    // Where the flash algorithm begins in the target image.
    std::size_t algorithmOffset;
    std::uint32_t imageBase = 0;
    double clockMHz = 0;              // as measured at the start
    std::string cpuName;              // as the CPU table names it, once known
    std::string flashName;            // as the chip table names it, once known
    std::uint32_t ramStart = 0xFA00;  // the lowest internal RAM address in segment 0
    bool monitorUploaded = false;     // false when the handshake found a monitor already running
    TargetCodeState targetCode;
    Flash flash;
    // Where /SPEED= moved the line from, until it is moved back.
    struct StartRate {
        std::uint16_t reload;
        std::uint32_t rate;
    };
    std::optional<StartRate> switchedFrom;

  private:
    std::optional<int> endStatus_;
};

}  // namespace halvard
