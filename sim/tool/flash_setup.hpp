#pragma once

#include <optional>
#include <string>

#include "sim/board/flash_chip_port.hpp"
#include "sim/flash/flash_chip.hpp"
#include "sim/flash/flash_image_file.hpp"
#include "sim/tool/options.hpp"

namespace halvard::sim::tool {

// The flash chip on the board's external bus, as the command line asks for it: the model, its
// faults and, when given, the image file that keeps its cells between runs.
struct FlashSetup {
    std::optional<FlashChip> chip;  // empty: nothing on the bus, every read 0xFF
    std::optional<FlashChipPort> port;
    std::optional<FlashImageFile> image;
};

// Builds the chip into `setup`; returns why it cannot, or an empty text.
std::string equipFlash(const ToolOptions& options, FlashSetup& setup);

// Makes the chip misbehave as one --fault asks; returns why it cannot, or an empty text.
std::string applyFault(FlashChip& chip, const FaultRequest& fault);

}  // namespace halvard::sim::tool
