#include "monitor/crc_routine.hpp"

#include <algorithm>
#include <vector>

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
constexpr std::size_t kCrcBytes = 4;

std::uint32_t crcFrom(std::span<const std::uint8_t, kCrcBytes> bytes) {
    return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
           static_cast<std::uint32_t>(bytes[3]) << 24;
}

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
    std::array<std::uint8_t, kCrcBytes> reply{};
    const std::uint32_t limit = monitor_frame::kReplyTimeoutMs + count / 1024 * kMsPerKilobyte +
                                wireTimeMs(run, frame.bytes().size() + reply.size());
    if (!WaitForBytes(run, reply, limit))
        return std::nullopt;
    return crcFrom(reply);
}

// For the user this is the page read, and it fails with the page read's lines.
std::optional<std::uint32_t> targetReadWithCrc32(Run& run, std::uint32_t address,
                                                 std::span<std::uint8_t> page,
                                                 const ArrivalProgress& onArrival) {
    const auto count = static_cast<std::uint16_t>(page.size());
    if (count == 0)
        return crc32({});  // a count of 0 would make the routine send 65536 bytes
    monitor_frame::Frame frame(kRunRoutine, address);
    frame.withWord(count);
    monitor_frame::sendOrEnd(run, frame.bytes(), "target2Host: WriteFile error\n");
    std::vector<std::uint8_t> answer(count + kCrcBytes);
    const std::uint32_t limit = blockReadTimeoutMs(run.settings.baudRate, count) +
                                count / 1024 * kMsPerKilobyte +
                                wireTimeMs(run, frame.bytes().size() + answer.size());
    if (!WaitForBytes(run, answer, limit, onArrival)) {
        PrintBlockReadTimeout(run);
        return std::nullopt;
    }
    std::copy_n(answer.begin(), count, page.begin());
    return crcFrom(std::span(answer).last<kCrcBytes>());
}

}  // namespace halvard
