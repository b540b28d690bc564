#include "ops/op_common.hpp"

#include "line/port.hpp"
#include "monitor/monitor.hpp"
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

void ReadBlockWithRetry(Run& run, std::uint32_t address, std::span<std::uint8_t> block,
                        HostFile& file, ErrorCode timeoutCode) {
    if (!target2Host(run, address, block))
        return;
    PortResync(run);
    if (target2Host(run, address, block))
        EndRun(run, status(timeoutCode), &file);
}

void FailWith(Run& run, ErrorCode code, HostFile& file) {
    run.console.print("Error %d: %s\n", status(code), textOf(code).data());
    EndRun(run, status(code), &file);
}

}  // namespace halvard
