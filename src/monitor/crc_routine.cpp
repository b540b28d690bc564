#include "monitor/crc_routine.hpp"

#include "line/port.hpp"
#include "monitor/frame.hpp"
#include "monitor/monitor.hpp"
#include "run/run.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320;
constexpr std::uint8_t kRunRoutine = 0x0E;

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

// The routine's CRC loop takes 52 clock cycles a byte; allow for a CPU clock down to 2 MHz.
constexpr std::uint32_t kMsPerKilobyte = 27;

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

std::optional<std::uint32_t> targetCrc32(Run& run, std::uint32_t address, std::uint16_t count) {
    monitor_frame::Frame frame(kRunRoutine, address);
    frame.withWord(count);
    monitor_frame::sendOrEnd(run, frame.bytes(), "targetCrc32: WriteFile error\n");
    std::array<std::uint8_t, 4> reply{};
    const std::uint32_t limit = monitor_frame::kReplyTimeoutMs + count / 1024 * kMsPerKilobyte +
                                wireTimeMs(run, frame.bytes().size() + reply.size());
    if (!WaitForBytes(run, reply, limit))
        return std::nullopt;
    return static_cast<std::uint32_t>(reply[0] | reply[1] << 8 | reply[2] << 16) |
           static_cast<std::uint32_t>(reply[3]) << 24;
}

}  // namespace halvard
