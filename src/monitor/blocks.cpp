#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

#include "base/format.hpp"
#include "line/port.hpp"
#include "monitor/frame.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

using monitor_frame::awaitReplyOrEnd;
using monitor_frame::Frame;
using monitor_frame::sendOrEnd;

namespace {

constexpr std::uint8_t kBlockRead = 0x09;
constexpr std::uint8_t kBlockWrite = 0x0A;
constexpr std::uint8_t kFlashWrite = 0x0E;
constexpr std::uint8_t kDone = 0xAA;
constexpr std::uint8_t kFlashFailed = 0x5A;

constexpr std::uint32_t kMaxBlock = 0x200;
constexpr std::uint32_t kPageMask = 0xFFFFC000;
constexpr std::uint32_t kFlashPollPauseMs = 10;

// The monitor takes a 16-bit count, and a count of 0 would make it move 65536 bytes: the
// transfers below send nothing for an empty block.
std::uint16_t countOf(std::size_t size) {
    return static_cast<std::uint16_t>(size);
}

Frame blockHeader(std::uint8_t code, std::uint32_t address, std::uint16_t count) {
    Frame frame(code, address);
    frame.withWord(count);
    return frame;
}

enum class FlashVerdict { incomplete, programmed, failed, notUnderstood };

// The flash algorithm answers 0xAA, or 0x5A and the failed cell's page offset. The answer
// may arrive spread out, so it is collected until it is complete; anything longer is invalid.
class FlashAnswer {
  public:
    void collectWaiting(SerialLine& line) {
        std::array<std::uint8_t, 16> chunk{};
        std::size_t got;
        while ((got = line.read(chunk)) > 0) {
            for (std::size_t i = 0; i < got; ++i)
                add(chunk[i]);
        }
    }

    bool empty() const { return count_ == 0; }

    FlashVerdict verdict() const {
        if (count_ == 0)
            return FlashVerdict::incomplete;
        if (bytes_[0] == kDone)
            return count_ == 1 ? FlashVerdict::programmed : FlashVerdict::notUnderstood;
        if (bytes_[0] != kFlashFailed)
            return FlashVerdict::notUnderstood;
        if (count_ < bytes_.size())
            return FlashVerdict::incomplete;
        return surplus_ ? FlashVerdict::notUnderstood : FlashVerdict::failed;
    }

    unsigned failedOffset() const { return bytes_[1] + 256u * bytes_[2]; }

  private:
    void add(std::uint8_t b) {
        if (count_ < bytes_.size()) {
            bytes_[count_++] = b;
        } else {
            surplus_ = true;
        }
    }

    std::array<std::uint8_t, 3> bytes_{};
    std::size_t count_ = 0;
    bool surplus_ = false;
};

// Polls every 10 ms, or at once when input arrives, until the answer is complete or the
// time-out has passed. An answer that cannot be understood is flushed with what follows it.
FlashWrite awaitFlashAnswer(Link& link, std::uint32_t limitMs) {
    SerialLine& line = link.unchecked();
    const std::uint32_t start = link.clock.tickMs();
    FlashAnswer answer;
    for (;;) {
        const std::uint32_t elapsed = link.clock.tickMs() - start;
        if (elapsed >= limitMs)
            break;
        line.waitForInput(
            std::chrono::milliseconds(std::min(kFlashPollPauseMs, limitMs - elapsed)));
        answer.collectWaiting(line);
        switch (answer.verdict()) {
            case FlashVerdict::incomplete:
                continue;
            case FlashVerdict::programmed:
                return {FlashWrite::Outcome::programmed, 0};
            case FlashVerdict::failed:
                return {FlashWrite::Outcome::cellFailed, answer.failedOffset()};
            case FlashVerdict::notUnderstood:
                line.flushInput();
                return {FlashWrite::Outcome::notUnderstood, 0};
        }
    }
    if (!answer.empty()) {
        line.flushInput();
        return {FlashWrite::Outcome::notUnderstood, 0};
    }
    return {FlashWrite::Outcome::timedOut, 0};
}

}  // namespace

std::uint32_t blockReadTimeoutMs(std::int32_t baudRate, std::uint32_t count) {
    const auto baud = static_cast<std::uint64_t>(std::max<std::int32_t>(baudRate, 1));
    // 1024000 / baud per 512 bytes, that is 2000 / baud per byte.
    std::uint64_t allowance = std::uint64_t{2000} * count / baud + 800u;
    if (count <= kMaxBlock)
        allowance &= 0xFFFF;  // the block formula keeps its sum to 16 bits
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(2u * allowance + 30u, UINT32_MAX));
}

int checkAddrSize(Link& link, std::uint32_t address, std::uint16_t count) {
    if (count > kMaxBlock) {
        link.console.print("checkAddrSize: Size too long\n");
        return 1;
    }
    const std::uint32_t last = address + count - 1u;
    if (((address ^ last) & kPageMask) != 0) {
        link.console.print("checkAddrSize: Page Boundary failure\n");
        return 1;
    }
    return 0;
}

bool target2Host(Link& link, std::uint32_t address, std::span<std::uint8_t> buffer,
                 ErrorCode timeoutCode, const ArrivalProgress& onArrival) {
    const std::uint16_t count = countOf(buffer.size());
    if (count == 0)
        return false;
    const Frame header = blockHeader(kBlockRead, address, count);
    sendOrEnd(link, header.bytes(), "target2Host: WriteFile error\n");
    const std::uint32_t limit =
        blockReadTimeoutMs(link.baudRate, count) + wireTimeMs(link, header.bytes().size() + count);
    if (WaitForBytes(link, buffer.first(count), limit, onArrival))
        return false;
    PrintBlockReadTimeout(link, timeoutCode);
    return true;
}

void PrintBlockReadTimeout(Link& link, ErrorCode code) {
    link.console.print("target2Host:\t\t\n");
    // Not yet the end of the run: the read is tried once more after a resynchronisation.
    link.console.print("%s", ErrorLine(code).c_str());
}

void host2Target(Link& link, std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::uint16_t count = countOf(data.size());
    if (count == 0)
        return;
    if (checkAddrSize(link, address, count) != 0) {
        throw RunError(exit_status::blockRefused, "host2Target: Failure\n");
    }
    const Frame header = blockHeader(kBlockWrite, address, count);
    sendOrEnd(link, header.bytes(), "host2Target: WriteFile error\n");
    sendOrEnd(link, data.first(count), "host2Target: Data WriteFile error\n");
    std::array<std::uint8_t, 1> reply{};
    awaitReplyOrEnd(link, reply, header.bytes().size() + count, "host2Target Timeout:\t\t\n");
    if (reply[0] != kDone)
        throw RunError(ErrorCode::IllegalEcho);
}

FlashWrite host2FlashTry(Link& link, std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::uint16_t count = countOf(data.size());
    if (count == 0)
        return {FlashWrite::Outcome::programmed, 0};
    const Frame header = blockHeader(kFlashWrite, address, count);
    sendOrEnd(link, header.bytes(), "host2Flash: WriteFile error\n");
    sendOrEnd(link, data.first(count), "host2Flash: Data WriteFile error\n");
    // The flash algorithm answers only after the whole block is programmed.
    const std::size_t inFlight = header.bytes().size() + count + 3;
    FlashWrite result =
        awaitFlashAnswer(link, monitor_frame::kReplyTimeoutMs + wireTimeMs(link, inFlight));
    if (result.outcome == FlashWrite::Outcome::cellFailed)
        result.cell = (address & kPageMask) + result.offset;
    return result;
}

void EndOnFlashWrite(const FlashWrite& result) {
    switch (result.outcome) {
        case FlashWrite::Outcome::programmed:
            return;
        case FlashWrite::Outcome::cellFailed:
            throw RunError(
                ErrorCode::Programming,
                Format("host2Flash: Monitor send error at offset 0x%x\n", result.offset));
        case FlashWrite::Outcome::notUnderstood:
            throw RunError(ErrorCode::IllegalEcho, "host2Flash: Monitor anwer not understood\n");
        case FlashWrite::Outcome::timedOut:
            throw RunError(ErrorCode::ProgrammingTimeout, "host2Flsh\n");
    }
}

void host2Flash(Link& link, std::uint32_t address, std::span<const std::uint8_t> data) {
    EndOnFlashWrite(host2FlashTry(link, address, data));
}

}  // namespace halvard
