// libFuzzer target: the loader's LZ4 decoder as the host models it. Any block may be refused;
// none may crash it or make it read or write outside its buffers, and whatever it accepts is
// exactly the size asked for. The same bytes, packed and expanded again, must come back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_checks.hpp"
#include "pack/lz4_block.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::span<const std::uint8_t> input(data, size);
    // The first byte splits the rest into dictionary and block, the second sets the size.
    const std::size_t dictionarySize = (size - 2) * input[0] / 256;
    const std::size_t expandedSize = std::size_t{input[1]} * 64 + input[0] % 64;
    const auto dictionary = input.subspan(2, dictionarySize);
    const auto block = input.subspan(2 + dictionarySize);
    const halvard::Unpacked unpacked = halvard::UnpackFrame(dictionary, block, expandedSize);
    if (!unpacked.error && unpacked.bytes.size() != expandedSize)
        halvard::fuzz::broken("an accepted block of the wrong size");

    const halvard::PackOptions options{1u + input[1] % 2, input[1] % 4 >= 2, 16 * 1024};
    const auto frame = halvard::PackFrame(dictionary, block, 1 + expandedSize % 600, options);
    const halvard::Unpacked back = halvard::UnpackFrame(dictionary, frame.block, frame.covered);
    if (back.error || !std::equal(back.bytes.begin(), back.bytes.end(), block.begin()))
        halvard::fuzz::broken("a packed frame does not expand back");
    return 0;
}
