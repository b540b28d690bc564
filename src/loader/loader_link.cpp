#include "loader/loader_link.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "base/errors.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kStartCommand = 0x0E;
constexpr std::uint8_t kMonitorPong = 0xAA;
// Beyond the wire time: the loader drains for about 2 ms, and a host may be slow to read.
constexpr std::uint32_t kSlackMs = 500;
// Longer than any frame: whatever the loader still waits for, zeros complete it.
constexpr std::size_t kProbeZeros = kLoaderHeaderSize + kLoaderPackedMax + kLoaderCrcSize;

// The loader says it is ready kLoaderQuietMs after a rejected frame's rest has gone by; this
// leaves room for a slow line and a board (or an emulated one) that runs slow.
constexpr std::uint32_t kReadyWithinMs = 3000;

struct Answer {
    LoaderStatus status;
    std::uint8_t seq;
};

// Four bytes: status, seq, and both complemented. Anything else is an answer the line garbled.
std::optional<Answer> answerAt(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kLoaderAnswerSize || (bytes[0] ^ bytes[2]) != 0xFF ||
        (bytes[1] ^ bytes[3]) != 0xFF)
        return std::nullopt;
    return Answer{static_cast<LoaderStatus>(bytes[0]), bytes[1]};
}

std::optional<Answer> awaitAnswer(Link& link, std::uint32_t timeoutMs) {
    std::array<std::uint8_t, kLoaderAnswerSize> bytes{};
    if (!WaitForBytes(link, bytes, timeoutMs))
        return std::nullopt;
    return answerAt(bytes);
}

bool awaitReady(Link& link) {
    const std::optional<Answer> answer =
        awaitAnswer(link, wireTimeMs(link, kProbeZeros) + kReadyWithinMs);
    return answer && answer->status == LoaderStatus::ready;
}

// Everything that arrives until the line has been quiet for quietMs after the first afterMs, for
// at most limitMs.
std::vector<std::uint8_t> collectUntilQuiet(Link& link, std::uint32_t quietMs,
                                            std::uint32_t afterMs, std::uint32_t limitMs) {
    std::vector<std::uint8_t> bytes;
    const std::uint32_t start = link.clock.tickMs();
    std::array<std::uint8_t, 256> chunk{};
    while (link.clock.tickMs() - start < limitMs) {
        if (!link.line().waitForInput(std::chrono::milliseconds(quietMs)) &&
            link.clock.tickMs() - start >= afterMs)
            break;
        const std::size_t got = link.line().read(chunk);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return bytes;
}

// The last loader answer in what was heard, wherever it starts: bytes of an earlier answer may
// come before it.
std::optional<Answer> lastAnswer(std::span<const std::uint8_t> heard) {
    for (std::size_t at = heard.size(); at >= kLoaderAnswerSize; --at) {
        const auto answer = answerAt(heard.subspan(at - kLoaderAnswerSize, kLoaderAnswerSize));
        if (answer &&
            (answer->status == LoaderStatus::ready || answer->status == LoaderStatus::rejected))
            return answer;
    }
    return std::nullopt;
}

enum class Listener { loaderReady, monitor, unknown };

// Who listens on the line. Zeros complete any frame the loader waits for; it rejects it, drains
// the rest and says it is ready. The monitor answers every zero with 0xAA instead.
Listener probe(Link& link) {
    const std::vector<std::uint8_t> zeros(kProbeZeros, 0);
    if (!PortWrite(link, zeros))
        throw RunError(ErrorCode::PortNotInstalled);
    // The loader's own quiet wait, with room for a board (or an emulated one) that runs slow.
    const std::uint32_t quietMs = 10 * kLoaderQuietMs + wireTimeMs(link, 8);
    // The loader answers the first frame of zeros at once, and is ready only once the rest has
    // come and gone.
    const std::uint32_t zerosMs = wireTimeMs(link, zeros.size());
    std::vector<std::uint8_t> heard =
        collectUntilQuiet(link, quietMs, zerosMs, 2 * zerosMs + kSlackMs);
    // A board that runs slow (or is busy) may answer later than the line would let it.
    if (heard.empty() && link.line().waitForInput(std::chrono::milliseconds(kReadyWithinMs)))
        heard = collectUntilQuiet(link, quietMs, 0, kReadyWithinMs);
    const std::size_t pongs = static_cast<std::size_t>(std::ranges::count(heard, kMonitorPong));
    const std::optional<Answer> answer = lastAnswer(heard);
    if (answer && answer->status == LoaderStatus::ready)
        return Listener::loaderReady;
    // It has rejected the zeros and is still waiting for the line to go quiet.
    if (answer && answer->status == LoaderStatus::rejected && awaitReady(link))
        return Listener::loaderReady;
    return pongs > heard.size() / 2 && pongs > 0 ? Listener::monitor : Listener::unknown;
}

bool takes(LoaderStatus status) {
    return status == LoaderStatus::programmed || status == LoaderStatus::differs ||
           status == LoaderStatus::failed || status == LoaderStatus::ended;
}

}  // namespace

bool StartLoader(Link& link) {
    PortWriteByte(link, kStartCommand);
    const std::optional<Answer> answer = awaitAnswer(link, kSlackMs);
    if (answer && answer->status == LoaderStatus::ready)
        return true;
    return probe(link) == Listener::loaderReady;
}

void WriteFrame(Link& link, std::span<const std::uint8_t> bytes) {
    if (!PortWrite(link, bytes))
        throw RunError(ErrorCode::PortNotInstalled);
}

FrameReply AwaitReply(Link& link, std::uint8_t seq, std::uint32_t timeoutMs) {
    const std::optional<Answer> answer = awaitAnswer(link, timeoutMs + kSlackMs);
    if (answer && answer->seq == seq && takes(answer->status)) {
        FrameReply reply{FrameReply::Kind::taken, answer->status, 0};
        std::array<std::uint8_t, 2> pointer{};
        if (reply.status == LoaderStatus::failed && WaitForBytes(link, pointer, kSlackMs))
            reply.failedPointer = static_cast<std::uint16_t>(pointer[0] | pointer[1] << 8);
        return reply;
    }
    if (answer && answer->status == LoaderStatus::rejected && awaitReady(link))
        return {};
    // No answer, or one the line garbled: the loader may still wait for more of a frame, or may
    // have gone back to the monitor after an answer that was lost.
    switch (probe(link)) {
        case Listener::loaderReady:
            return {};
        case Listener::monitor:
            return {FrameReply::Kind::left, LoaderStatus::rejected, 0};
        case Listener::unknown:
            PortDiscardInput(link, kSlackMs);
            return {};
    }
    return {};
}

bool EndLeftLoader(Link& link) {
    // What it still says about the start-up bytes it took for a frame goes first.
    PortDiscardInput(link, kSlackMs);
    // The loader answers a frame with the seq it has just done again instead of taking it:
    // a second seq makes sure the end frame is taken.
    constexpr std::array<std::uint8_t, 3> kSeqs = {0xA5, 0x5A, 0xC3};
    for (const std::uint8_t seq : kSeqs) {
        if (probe(link) != Listener::loaderReady)
            return false;
        const std::vector<std::uint8_t> bytes =
            EncodeFrame(LoaderFrame{seq, FrameKind::end, 0, {}, 0, 0});
        if (!PortWrite(link, bytes))
            return false;
        const std::optional<Answer> answer =
            awaitAnswer(link, wireTimeMs(link, bytes.size()) + kSlackMs);
        if (answer && answer->status == LoaderStatus::ended)
            return true;
    }
    return false;
}

}  // namespace halvard
