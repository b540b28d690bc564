#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "base/errors.hpp"
#include "cmdline/settings.hpp"
#include "flash/flash_ops.hpp"
#include "image/sparse_image.hpp"
#include "line/port.hpp"
#include "monitor/crc_requests.hpp"

namespace halvard {

// Everything one run owns; stages take it by reference. There are no mutable globals.
struct Run {
    Run(Console& console, Clock& clock, LineFactory openLine)
        : console(console), clock(clock), openLine(std::move(openLine)) {}

    Console& console;
    Clock& clock;
    LineFactory openLine;

    RunSettings settings;
    SerialPort port;
    std::size_t algorithmOffset = 0;
    std::uint32_t imageBase = 0;
    bool monitorUploaded = false;  // false when the handshake found a monitor already running
    FlashState flash;
    TargetCodeState targetCode;
    // Where /SPEED= moved the line from, until the run has moved it back.
    struct StartRate {
        std::uint16_t reload;
        std::uint32_t rate;
    };
    std::optional<StartRate> switchedFrom;
    // The data of a HEX or S-record input file, read whole by ParseCmdLine; none for raw files.
    std::optional<SparseImage> image;
};

}  // namespace halvard
