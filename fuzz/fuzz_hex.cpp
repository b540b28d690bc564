// libFuzzer target: the Intel HEX reader. A fault is fine; a crash, a hang or an image that
// breaks its own rules is not.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.hpp"
#include "image/image_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    halvard::DetectFormat(text);
    halvard::fuzz::checkRead(halvard::ReadIntelHex(text), halvard::ImageFormat::intelHex);
    return 0;
}
