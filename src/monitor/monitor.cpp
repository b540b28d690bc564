#include "monitor/monitor.hpp"

#include <algorithm>
#include <array>

#include "line/port.hpp"
#include "monitor/frame.hpp"

namespace halvard {

namespace monitor_frame {

void sendOrEnd(Link& link, std::span<const std::uint8_t> bytes, const char* writeError) {
    if (PortWrite(link, bytes))
        return;
    throw RunError(exit_status::serialLine, writeError);
}

void awaitReplyOrEnd(Link& link, std::span<std::uint8_t> reply, std::size_t requestBytes,
                     const char* timeoutMessage) {
    const std::uint32_t limit = kReplyTimeoutMs + wireTimeMs(link, requestBytes + reply.size());
    if (WaitForBytes(link, reply, limit))
        return;
    throw RunError(ErrorCode::MonitorTimeout, timeoutMessage);
}

}  // namespace monitor_frame

using monitor_frame::awaitReplyOrEnd;
using monitor_frame::Frame;
using monitor_frame::sendOrEnd;

namespace {

constexpr std::uint8_t kByteRead = 0x05;
constexpr std::uint8_t kByteWrite = 0x06;
constexpr std::uint8_t kWordRead = 0x07;
constexpr std::uint8_t kWordWrite = 0x08;
constexpr std::uint8_t kChecksum = 0x0B;

// The monitor moves words through an even pointer only.
constexpr std::uint32_t evenAddress(std::uint32_t address) {
    return address & ~std::uint32_t{1};
}

std::uint16_t littleEndian(std::span<const std::uint8_t, 2> bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

std::uint8_t targetByteRead(Link& link, std::uint32_t address) {
    const Frame frame(kByteRead, address);
    sendOrEnd(link, frame.bytes(), "targetByteRead: WriteFile error\n");
    std::array<std::uint8_t, 1> reply{};
    awaitReplyOrEnd(link, reply, frame.bytes().size(), "targetByteRead Timeout.\t\t\n");
    return reply[0];
}

std::uint16_t targetWordRead(Link& link, std::uint32_t address) {
    const Frame frame(kWordRead, evenAddress(address));
    sendOrEnd(link, frame.bytes(), "targetWordRead: WriteFile error\n");
    std::array<std::uint8_t, 2> reply{};
    awaitReplyOrEnd(link, reply, frame.bytes().size(), "targetWordRead Timeout.\t\t\n");
    return littleEndian(reply);
}

void targetByteWrite(Link& link, std::uint32_t address, std::uint8_t value) {
    Frame frame(kByteWrite, address);
    sendOrEnd(link, frame.withByte(value).bytes(), "targetByteWrite: WriteFile error\n");
}

void targetWordWrite(Link& link, std::uint32_t address, std::uint16_t value) {
    Frame frame(kWordWrite, evenAddress(address));
    sendOrEnd(link, frame.withWord(value).bytes(), "targetWordWrite: WriteFile error\n");
}

std::uint16_t targetChecksum(Link& link, std::uint32_t address, std::uint16_t length) {
    Frame frame(kChecksum, address);
    frame.withWord(length);
    sendOrEnd(link, frame.bytes(), "targetChecksum: WriteFile error\n");
    std::array<std::uint8_t, 2> reply{};
    awaitReplyOrEnd(link, reply, frame.bytes().size(), "targetChecksum Timeout:\t\t\n");
    return littleEndian(reply);
}

std::uint32_t byteSum(std::span<const std::uint8_t> data) {
    std::uint32_t sum = 0;
    for (const std::uint8_t b : data)
        sum += b;
    return sum;
}

}  // namespace halvard
