#include "link/target_image.hpp"

#include <algorithm>

namespace halvard {

namespace {
constexpr std::array<std::uint8_t, 4> kMarker = {0xB5, 0x4A, 0xB5, 0xB5};
}  // namespace

std::size_t FindAlgorithmOffset() {
    const auto found =
        std::search(TargetImage.begin() + 32, TargetImage.end(), kMarker.begin(), kMarker.end());
    return static_cast<std::size_t>(found - TargetImage.begin());
}

}  // namespace halvard
