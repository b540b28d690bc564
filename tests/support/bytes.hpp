#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace halvard::testing {

// Random but reproducible bytes.
std::vector<unsigned char> randomBytes(std::size_t count, unsigned seed);
// The whole file; empty when it cannot be read.
std::vector<unsigned char> readFile(const std::filesystem::path& path);

}  // namespace halvard::testing
