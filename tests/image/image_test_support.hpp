#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "image/image_format.hpp"
#include "image/image_writer.hpp"

namespace halvard::testing {

using Bytes = std::vector<std::uint8_t>;
// An image as address -> bytes, for comparisons.
using RangeMap = std::map<std::uint32_t, Bytes>;

inline RangeMap rangesOf(const SparseImage& image) {
    RangeMap map;
    for (const auto& [address, range] : image.ranges())
        map[address] = range.bytes;
    return map;
}

// One HEX record with its checksum: count, offset, type, data.
inline std::string hexLine(std::uint16_t offset, unsigned type, const Bytes& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset,
                  type);
    std::string line = text;
    for (const std::uint8_t b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

// One S-record with its count and checksum; addressBytes 2, 3 or 4.
inline std::string sLine(unsigned type, std::uint32_t address, unsigned addressBytes,
                         const Bytes& data) {
    const unsigned count = addressBytes + static_cast<unsigned>(data.size()) + 1;
    unsigned sum = count;
    char text[16];
    std::snprintf(text, sizeof text, "S%u%02X", type, count);
    std::string line = text;
    for (unsigned i = addressBytes; i-- > 0;) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    for (const std::uint8_t b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X\n", ~sum & 0xFF);
    return line + text;
}

// The text ImageWriter makes of contiguous bytes from address on.
inline std::string written(ImageFormat format, std::uint32_t address, const Bytes& bytes) {
    std::FILE* file = std::tmpfile();
    ImageWriter writer(file, format, static_cast<std::uint32_t>(address + bytes.size() - 1));
    writer.write(address, bytes);
    writer.finish();
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    const std::size_t got = std::fread(text.data(), 1, text.size(), file);
    std::fclose(file);
    text.resize(got);
    return text;
}

}  // namespace halvard::testing
