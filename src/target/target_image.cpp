#include "target/target_image.hpp"

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

std::span<const std::uint8_t> BootstrapCode() {
    return std::span(TargetImage).first(kBootstrapSize);
}

std::span<const std::uint8_t> MonitorUpload(std::size_t algorithmOffset) {
    return std::span(TargetImage).subspan(kBootstrapSize, algorithmOffset - 22);
}

std::span<const std::uint8_t> MonitorCode(std::size_t algorithmOffset) {
    return std::span(TargetImage).subspan(kBootstrapSize, algorithmOffset - kBootstrapSize);
}

std::span<const std::uint8_t> FlashAlgorithm(std::size_t algorithmOffset) {
    return std::span(TargetImage).subspan(algorithmOffset);
}

std::vector<std::uint8_t> HostUpload(bool xc16x) {
    // The monitor upload follows the bootstrap code in the image, so the upload is one piece.
    const std::size_t count = kBootstrapSize + MonitorUpload(FindAlgorithmOffset()).size();
    std::vector<std::uint8_t> upload(TargetImage.begin(),
                                     TargetImage.begin() + static_cast<std::ptrdiff_t>(count));
    if (xc16x)
        std::copy(kXc16xHeader.begin(), kXc16xHeader.end(), upload.begin());
    return upload;
}

}  // namespace halvard
