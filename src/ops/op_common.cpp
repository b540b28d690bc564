#include "ops/op_common.hpp"

#include "base/format.hpp"

#include <algorithm>
#include <string>

#include "app/run.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/proof.hpp"
#include "session/rate_switch.hpp"
#include "session/reset_sequence.hpp"

namespace halvard {

double Completion(std::uint32_t remaining, std::uint32_t total) {
    if (total == 0)
        return 100.0;
    return 100.0 - (static_cast<double>(remaining) * 100.0) / total;
}

void PrintProgress(Run& run, std::uint32_t remaining, std::uint32_t total) {
    run.console.progress("Completed %2.1f%%\r", Completion(remaining, total));
}

void PrintCompleted(Run& run) {
    run.console.print("Completed %2.1f%%\n", Completion(0, 0));
}

void PrintElapsed(Run& run, std::uint32_t startMs) {
    const std::uint32_t elapsedMs = run.clock.tickMs() - startMs;
    run.console.print("Total Elapsed time = %.2f sec\n", elapsedMs * 0.001);
}

namespace {

// The progress moves in the steps the range had when it was read in 512-byte blocks; a repeated
// read shows them again from the start.
class PageProgress {
  public:
    PageProgress(Run& run, std::uint32_t size, std::uint32_t remainingAfter)
        : run_(run), size_(size), remainingAfter_(remainingAfter) {}

    ArrivalProgress fromStart() {
        shown_ = 0;
        return [this](std::size_t received) { show(received); };
    }

  private:
    void show(std::size_t received) {
        while (shown_ < size_ && shown_ + std::min(kMaxBlock, size_ - shown_) <= received) {
            shown_ += std::min(kMaxBlock, size_ - shown_);
            PrintProgress(run_, remainingAfter_ + size_ - shown_, run_.settings.length);
        }
    }

    Run& run_;
    std::uint32_t size_;
    std::uint32_t remainingAfter_;
    std::uint32_t shown_ = 0;
};

}  // namespace

void ReadPageWithRetry(Run& run, std::uint32_t address, std::span<std::uint8_t> page,
                       std::uint32_t remainingAfter, ErrorCode timeoutCode) {
    PageProgress progress(run, static_cast<std::uint32_t>(page.size()), remainingAfter);
    if (!target2Host(run, address, page, progress.fromStart()))
        return;
    PortResync(run);
    if (target2Host(run, address, page, progress.fromStart()))
        throw RunError(status(timeoutCode), "");
}

bool ReadProvedPage(Run& run, std::uint32_t address, std::span<std::uint8_t> page,
                    std::uint32_t remainingAfter, ErrorCode timeoutCode) {
    PrepareProof(run);
    if (run.targetCode.proof != TargetCodeState::Proof::crc) {
        ReadPageWithRetry(run, address, page, remainingAfter, timeoutCode);
        return ProvePiece(run, address, page) == PieceProof::agrees;
    }
    PageProgress progress(run, static_cast<std::uint32_t>(page.size()), remainingAfter);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            PortResync(run);
        switch (ReadPieceWithCrc(run, address, page, progress.fromStart())) {
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

void KeepBoardState(Run& run) {
    const std::string why = run.port.line ? run.port.line->keepBoardState() : std::string();
    if (why.empty())
        return;
    throw RunError(exit_status::serialLine, Format("Error: virtual board: %s\n", why.c_str()));
}

void FinishOperation(Run& run, HostFile* file) {
    if (run.settings.resetAfter.empty())
        RestoreStartRate(run, exit_status::ok);
    RestartIntoApplication(run);
    PortClose(run, file);
}

}  // namespace halvard
