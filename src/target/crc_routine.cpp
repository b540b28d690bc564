#include "target/crc_routine.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320;

// The CRC register after x has been shifted through it from zero: the 256-entry table's row x.
constexpr std::uint32_t rowOf(std::uint32_t x) {
    std::uint32_t crc = x;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1) != 0 ? (crc >> 1) ^ kPolynomial : crc >> 1;
    return crc;
}

constexpr std::array<std::uint32_t, 256> kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t x = 0; x < 256; ++x)
        table[x] = rowOf(x);
    return table;
}();

}  // namespace

std::array<std::uint8_t, 128> CrcRoutineTables() {
    std::array<std::uint8_t, 128> bytes{};
    for (std::size_t k = 0; k < 16; ++k) {
        const std::uint32_t low = kTable[k];
        const std::uint32_t high = kTable[k << 4];
        for (std::size_t i = 0; i < 4; ++i) {
            bytes[4 * k + i] = static_cast<std::uint8_t>(low >> (8 * i));
            bytes[64 + 4 * k + i] = static_cast<std::uint8_t>(high >> (8 * i));
        }
    }
    return bytes;
}

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
    crc = ~crc;
    for (const std::uint8_t b : data)
        crc = (crc >> 8) ^ kTable[(crc ^ b) & 0xFF];
    return ~crc;
}

std::uint32_t RoutineCrc(std::uint32_t address, std::uint16_t count,
                         std::span<const std::uint8_t> data) {
    const std::uint32_t page = (address >> 14) & 0x03FF;
    const std::uint32_t windowPointer = 0x4000 | (address & 0x3FFF);
    const std::uint32_t start = (page ^ count) << 16 | windowPointer;
    return ~crc32(data, ~start);
}

}  // namespace halvard
