#pragma once

#include <cstdint>

namespace halvard {

struct Run;

// The command set chosen for the detected device; filled once by SelectFlashOps.
struct FlashOps {
    void (*programCell)(Run&, std::uint32_t offset, std::uint16_t value) = nullptr;
    void (*verifyCell)(Run&, std::uint32_t offset, std::uint16_t expected) = nullptr;
    void (*unlock)(Run&) = nullptr;
    void (*reset)(Run&) = nullptr;
    void (*autoselect)(Run&) = nullptr;
    void (*sectorErase)(Run&, std::uint32_t sectorOffset) = nullptr;
    void (*chipErase)(Run&) = nullptr;
};

struct FlashState {
    int flashIndex = 0;  // row of the device table being probed, then the detected row
    FlashOps ops;
};

}  // namespace halvard
