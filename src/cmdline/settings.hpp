#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/flash_ops.hpp"
#include "line/port.hpp"
#include "ops/ops.hpp"
#include "session/session.hpp"

namespace halvard {

inline constexpr std::int32_t kDefaultBaudRate = 38400;

// /SERIAL=addr[:first[:step]]: each board's copy of the image holds its own number, 32 bits
// little-endian at the target address; the counter file hands the numbers out.
struct SerialSettings {
    std::uint32_t address = 0;
    std::uint32_t first = 1;  // the first number, when the counter file is new
    std::uint32_t step = 1;
    std::string counterFile;  // /SERIAL-FILE=; the image's name + ".serial" when not given
};

// Everything the command line sets; the layers below each get the few values they use.
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
    bool plain = false;  // /PLAIN: program without the loader
    bool only8Bit = false;
    bool only16Bit = false;
    bool xc16x = false;
    ModemSequence resetBefore;  // /RESET=: before the handshake (boot mode)
    ModemSequence resetAfter;   // /RESET=...:...: after a successful run (the application)
    std::optional<SerialSettings> serial;
    std::string logFile;  // /LOG=: one CSV row per board
    bool json = false;    // --json: JSON Lines on standard output instead of the text
};

// The port, the board, the flash chip and the function, as the command line sets them.
PortChoice PortOf(const RunSettings& settings);
BoardSettings BoardOf(const RunSettings& settings);
FlashSettings FlashOf(const RunSettings& settings);
JobSettings JobOf(const RunSettings& settings);

}  // namespace halvard
