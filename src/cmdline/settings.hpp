#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvard {

enum class Operation { program, read, verify };

inline constexpr std::uint32_t kLengthToEnd = 0xFFFFFFFFu;  // /L=-1 and no /L= at all
inline constexpr std::int32_t kDefaultBaudRate = 38400;
// /SPEED=MAX: the fastest rate that both the board and the port make.
inline constexpr std::int32_t kSpeedMax = -1;

// One step of a /RESET= sequence: set or clear a modem line, or wait.
struct ModemStep {
    enum class Action { setDtr, clearDtr, setRts, clearRts, wait };
    Action action;
    std::uint32_t ms = 0;  // how long a wait lasts
    bool operator==(const ModemStep&) const = default;
};
using ModemSequence = std::vector<ModemStep>;

struct RunSettings {
    Operation operation = Operation::program;
    std::string fileName;
    std::uint32_t flashOffset = 0;
    std::uint32_t length = kLengthToEnd;
    std::uint32_t fileOffset = 0;
    std::uint32_t deviceBase = 0x20000;
    std::string portName = "COM1";  // label in messages ("COM7" for /COM=7)
    std::string portDevice;         // /COM= value as typed; empty when /COM1../COM4 chose the port
    std::uint32_t portIndex = 0;
    std::int32_t baudRate = kDefaultBaudRate;
    std::int32_t speed = 0;  // /SPEED=: the rate to switch to once the monitor runs; 0: none
    bool eraseAll = false;
    bool noErase = false;
    bool only8Bit = false;
    bool only16Bit = false;
    bool xc16x = false;
    ModemSequence resetBefore;  // /RESET=: before the handshake (boot mode)
    ModemSequence resetAfter;   // /RESET=...:...: after a successful run (the application)
};

}  // namespace halvard
