#include "ops/frame_sender.hpp"

#include <algorithm>
#include <numeric>

#include "base/errors.hpp"
#include "flash/flash_ops.hpp"
#include "loader/loader_link.hpp"
#include "ops/blocks.hpp"
#include "ops/ops.hpp"
#include "target/crc_routine.hpp"

namespace halvard {

namespace {

// Frames shrink to no less than this after trouble, and grow again after this many clean
// answers in a row.
constexpr std::size_t kSmallestPackedLimit = 64;
constexpr int kCleanRepliesToGrow = 16;

std::uint8_t nextSeq(std::uint8_t seq) {
    return static_cast<std::uint8_t>(seq == 255 ? 1 : seq + 1);
}

}  // namespace

void FrameSender::send(FrameKind kind, std::uint32_t offset, std::span<const std::uint8_t> packed,
                       std::span<const std::uint8_t> expanded) {
    seq_ = nextSeq(seq_);
    const LoaderFrame frame{seq_,
                            kind,
                            job_.deviceBase() + offset,
                            packed,
                            static_cast<std::uint16_t>(expanded.size()),
                            crc32(expanded)};
    const auto workMs = static_cast<std::uint32_t>(1000 + expanded.size() / 2);
    put({EncodeFrame(frame), seq_, offset, workMs, false});
}

void FrameSender::end() {
    seq_ = nextSeq(seq_);
    put({EncodeFrame(LoaderFrame{seq_, FrameKind::end, 0, {}, 0, 0}), seq_, 0, 0, true});
    while (!onTheirWay_.empty())
        settleOldest();
    job_.board.targetCode.slot = TargetCodeState::Slot::unknown;
}

void FrameSender::put(Queued frame) {
    while (onTheirWay_.size() >= kFramesInFlight)
        settleOldest();
    WriteFrame(job_.board.link, frame.bytes);
    sent_ += frame.bytes.size();
    onTheirWay_.push_back(std::move(frame));
}

void FrameSender::settleOldest() {
    const Queued& oldest = onTheirWay_.front();
    const std::size_t bytes =
        std::accumulate(onTheirWay_.begin(), onTheirWay_.end(), std::size_t{0},
                        [](std::size_t sum, const Queued& q) { return sum + q.bytes.size(); });
    const FrameReply reply =
        AwaitReply(job_.board.link, oldest.seq, wireTimeMs(job_.board.link, bytes) + oldest.workMs);
    switch (reply.kind) {
        case FrameReply::Kind::taken: {
            repliesWithoutProgress_ = 0;
            noteClean();
            const Queued done = std::move(onTheirWay_.front());
            onTheirWay_.pop_front();
            if (reply.status == LoaderStatus::failed) {
                // The loader let the frame behind go by and went back to the monitor; the page
                // is healed by its proof at the end.
                noteFailedCell(done.offset, reply.failedPointer);
                restartLoader();
                sendAllAgain();
            }
            return;
        }
        case FrameReply::Kind::left:
            if (oldest.end) {  // its answer was lost on the way
                onTheirWay_.pop_front();
                return;
            }
            restartLoader();  // the frame may be done or not: it goes again
            break;
        case FrameReply::Kind::resend:
            break;
    }
    noteTrouble();
    if (++repliesWithoutProgress_ > kLoaderTries)
        throw RunError(ErrorCode::ChecksumTransfer);
    sendAllAgain();
}

void FrameSender::noteClean() {
    if (++cleanReplies_ < kCleanRepliesToGrow)
        return;
    cleanReplies_ = 0;
    packedLimit_ = std::min(packedLimit_ * 2, kLoaderPackedMax);
}

void FrameSender::noteTrouble() {
    cleanReplies_ = 0;
    packedLimit_ = std::max(packedLimit_ / 2, kSmallestPackedLimit);
}

void FrameSender::sendAllAgain() {
    for (const Queued& frame : onTheirWay_) {
        WriteFrame(job_.board.link, frame.bytes);
        sent_ += frame.bytes.size();
    }
}

// Back in the monitor: the chip may be in its error state until it is reset.
void FrameSender::restartLoader() {
    Flash& flash = job_.board.flash;
    flash.state.ops.reset(flash);
    if (!StartLoader(job_.board.link))
        throw RunError(ErrorCode::ChecksumTransfer);
}

void FrameSender::noteFailedCell(std::uint32_t offset, std::uint16_t pointer) {
    const std::uint32_t page = (job_.deviceBase() + offset) & ~(kPageSize - 1);
    job_.board.flash.state.failedCells.push_back(page | (pointer & (kPageSize - 1)));
}

}  // namespace halvard
