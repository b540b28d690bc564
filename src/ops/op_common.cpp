#include "ops/op_common.hpp"

#include <algorithm>
#include <string>

#include "bringup/rate_switch.hpp"
#include "bringup/reset_sequence.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "run/run.hpp"

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

void ReadPageWithRetry(Run& run, std::uint32_t address, std::span<std::uint8_t> page,
                       std::uint32_t remainingAfter, HostFile& file, ErrorCode timeoutCode) {
    const auto size = static_cast<std::uint32_t>(page.size());
    // The progress moves in the steps the range had when it was read in 512-byte blocks.
    std::uint32_t shown = 0;
    const ArrivalProgress showSteps = [&](std::size_t received) {
        while (shown < size && shown + std::min(kMaxBlock, size - shown) <= received) {
            shown += std::min(kMaxBlock, size - shown);
            PrintProgress(run, remainingAfter + size - shown, run.settings.length);
        }
    };
    if (!target2Host(run, address, page, showSteps))
        return;
    PortResync(run);
    shown = 0;
    if (target2Host(run, address, page, showSteps))
        EndRun(run, status(timeoutCode), &file);
}

void KeepBoardState(Run& run, HostFile* file) {
    const std::string why = run.port.line ? run.port.line->keepBoardState() : std::string();
    if (why.empty())
        return;
    run.console.print("Error: virtual board: %s\n", why.c_str());
    EndRun(run, exit_status::serialLine, file);
}

void FinishOperation(Run& run, HostFile* file) {
    if (run.settings.resetAfter.empty())
        RestoreStartRate(run, exit_status::ok);
    RestartIntoApplication(run);
    PortClose(run, file);
}

void FailWith(Run& run, ErrorCode code, HostFile& file) {
    run.console.print("Error %d: %s\n", status(code), textOf(code).data());
    EndRun(run, status(code), &file);
}

}  // namespace halvard
