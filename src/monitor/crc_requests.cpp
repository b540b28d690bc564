#include "monitor/crc_requests.hpp"

#include <algorithm>
#include <vector>

#include "line/port.hpp"
#include "monitor/frame.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kRunRoutine = 0x0E;

// The routine's CRC loop takes 52 clock cycles a byte; allow for a CPU clock down to 2 MHz.
constexpr std::uint32_t kMsPerKilobyte = 27;
constexpr std::size_t kCrcBytes = 4;

std::uint32_t crcFrom(std::span<const std::uint8_t, kCrcBytes> bytes) {
    return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
           static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::optional<std::uint32_t> targetCrc32(Link& link, std::uint32_t address, std::uint16_t count) {
    monitor_frame::Frame frame(kRunRoutine, address);
    frame.withWord(count);
    monitor_frame::sendOrEnd(link, frame.bytes(), "targetCrc32: WriteFile error\n");
    std::array<std::uint8_t, kCrcBytes> reply{};
    const std::uint32_t limit = monitor_frame::kReplyTimeoutMs + count / 1024 * kMsPerKilobyte +
                                wireTimeMs(link, frame.bytes().size() + reply.size());
    if (!WaitForBytes(link, reply, limit))
        return std::nullopt;
    return crcFrom(reply);
}

// For the user this is the page read, and it fails with the page read's lines.
std::optional<std::uint32_t> targetReadWithCrc32(Link& link, std::uint32_t address,
                                                 std::span<std::uint8_t> page,
                                                 ErrorCode timeoutCode,
                                                 const ArrivalProgress& onArrival) {
    const auto count = static_cast<std::uint16_t>(page.size());
    if (count == 0)
        return RoutineCrc(address, 0, {});  // a count of 0 would make the routine send 65536 bytes
    monitor_frame::Frame frame(kRunRoutine, address);
    frame.withWord(count);
    monitor_frame::sendOrEnd(link, frame.bytes(), "target2Host: WriteFile error\n");
    std::vector<std::uint8_t> answer(count + kCrcBytes);
    const std::uint32_t limit = blockReadTimeoutMs(link.baudRate, count) +
                                count / 1024 * kMsPerKilobyte +
                                wireTimeMs(link, frame.bytes().size() + answer.size());
    if (!WaitForBytes(link, answer, limit, onArrival)) {
        PrintBlockReadTimeout(link, timeoutCode);
        return std::nullopt;
    }
    std::copy_n(answer.begin(), count, page.begin());
    return crcFrom(std::span(answer).last<kCrcBytes>());
}

}  // namespace halvard
