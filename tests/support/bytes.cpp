#include "support/bytes.hpp"

#include <fstream>
#include <iterator>
#include <random>

namespace halvard::testing {

std::vector<unsigned char> randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(generator());
    return bytes;
}

std::vector<unsigned char> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace halvard::testing
