#include <gtest/gtest.h>

#include <algorithm>

#include "monitor/monitor.hpp"
#include "target/target_image.hpp"

namespace halvard {
namespace {

TEST(TargetImagePieces, SplitAtTheMarker) {
    const std::size_t offset = FindAlgorithmOffset();
    ASSERT_EQ(offset, 296u);
    const std::array<std::uint8_t, 4> marker{0xB5, 0x4A, 0xB5, 0xB5};
    EXPECT_TRUE(std::equal(marker.begin(), marker.end(), TargetImage.begin() + 296));

    EXPECT_EQ(BootstrapCode().size(), 32u);
    EXPECT_EQ(BootstrapCode().data(), TargetImage.data());
    // The bootstrap code receives exactly what the upload sends.
    EXPECT_EQ(MonitorUpload(offset).size(), TargetImage[14] + 256u * TargetImage[15]);
    EXPECT_EQ(MonitorUpload(offset).data(), TargetImage.data() + 32);
    EXPECT_EQ(MonitorCode(offset).size(), 264u);
    EXPECT_EQ(FlashAlgorithm(offset).size(), 138u);
    EXPECT_EQ(FlashAlgorithm(offset).data(), TargetImage.data() + 296);
    EXPECT_EQ(byteSum(MonitorCode(offset)) & 0xFFFF, 0x7B96u);
    EXPECT_EQ(byteSum(FlashAlgorithm(offset)) & 0xFFFF, 0x3D5Du);
}

}  // namespace
}  // namespace halvard
