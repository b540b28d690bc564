#include "ops/op_common.hpp"

#include "base/format.hpp"

#include <algorithm>
#include <string>

#include "line/port.hpp"
#include "monitor/answer_bounds.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/ops.hpp"
#include "ops/proof.hpp"
#include "session/rate_switch.hpp"
#include "session/reset_sequence.hpp"

namespace halvard {

std::uint32_t PageSize(const Job& job) {
    return AnswerPageSize(job.board.link.baudRate);
}

std::uint32_t ReadBackBlockSize(const Job& job) {
    return std::min(kMaxBlock, PageSize(job));
}

double Completion(std::uint32_t remaining, std::uint32_t total) {
    if (total == 0)
        return 100.0;
    return 100.0 - (static_cast<double>(remaining) * 100.0) / total;
}

void PrintProgress(Job& job, std::uint32_t remaining, std::uint32_t total) {
    job.console.completed(Completion(remaining, total), total - remaining);
}

void PrintCompleted(Job& job) {
    job.console.print("Completed %2.1f%%\n", Completion(0, 0));
}

void PrintElapsed(Job& job, std::uint32_t startMs) {
    const std::uint32_t elapsedMs = job.clock.tickMs() - startMs;
    job.console.print("Total Elapsed time = %.2f sec\n", elapsedMs * 0.001);
}

namespace {

// The progress moves in the steps the range had when it was read in 512-byte blocks; a repeated
// read shows them again from the start.
class PageProgress {
  public:
    PageProgress(Job& job, std::uint32_t size, std::uint32_t remainingAfter)
        : job_(job), size_(size), remainingAfter_(remainingAfter) {}

    ArrivalProgress fromStart() {
        shown_ = 0;
        return [this](std::size_t received) { show(received); };
    }

  private:
    void show(std::size_t received) {
        while (shown_ < size_ && shown_ + std::min(kMaxBlock, size_ - shown_) <= received) {
            shown_ += std::min(kMaxBlock, size_ - shown_);
            PrintProgress(job_, remainingAfter_ + size_ - shown_, job_.settings.length);
        }
    }

    Job& job_;
    std::uint32_t size_;
    std::uint32_t remainingAfter_;
    std::uint32_t shown_ = 0;
};

}  // namespace

void ReadPageWithRetry(Job& job, std::uint32_t address, std::span<std::uint8_t> page,
                       std::uint32_t remainingAfter, ErrorCode timeoutCode) {
    PageProgress progress(job, static_cast<std::uint32_t>(page.size()), remainingAfter);
    if (!target2Host(job.board.link, address, page, timeoutCode, progress.fromStart()))
        return;
    PortResync(job.board.link);
    if (target2Host(job.board.link, address, page, timeoutCode, progress.fromStart()))
        throw RunError(status(timeoutCode), "");
}

bool ReadProvedPage(Job& job, std::uint32_t address, std::span<std::uint8_t> page,
                    std::uint32_t remainingAfter, ErrorCode timeoutCode) {
    PrepareProof(job);
    if (job.board.targetCode.proof != TargetCodeState::Proof::crc) {
        ReadPageWithRetry(job, address, page, remainingAfter, timeoutCode);
        return ProvePiece(job, address, page) == PieceProof::agrees;
    }
    PageProgress progress(job, static_cast<std::uint32_t>(page.size()), remainingAfter);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            PortResync(job.board.link);
        switch (ReadPieceWithCrc(job, address, page, timeoutCode, progress.fromStart())) {
            case ProvedRead::proved:
                return true;
            case ProvedRead::notProved:
                return false;
            case ProvedRead::timedOut:
                break;
        }
    }
    throw RunError(status(timeoutCode), "");
}

void KeepBoardState(Job& job) {
    const std::string why =
        job.board.link.isOpen() ? job.board.link.unchecked().keepBoardState() : std::string();
    if (why.empty())
        return;
    throw RunError(exit_status::serialLine, Format("Error: virtual board: %s\n", why.c_str()));
}

void FinishOperation(Job& job, HostFile* file) {
    if (job.board.settings.resetAfter.empty())
        RestoreStartRate(job.board, exit_status::ok);
    RestartIntoApplication(job.board);
    job.board.link.close();
    if (file != nullptr)
        file->close();
}

}  // namespace halvard
