#include <cstdint>

#include "ops/kept_flash.hpp"
#include "ops/loader_program.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "ops/stretches.hpp"

namespace halvard {

void ProgramVerify(Job& job) {
    const JobSettings& s = job.settings;
    const bool program = s.operation == Operation::program;
    HostFile file = OpenInput(job);
    const std::vector<Stretch> stretches = StretchesOf(job);
    if (program && !s.plain) {
        ProgramThroughLoader(job, file, stretches);
        return;
    }
    const KeptFlash kept = program ? RecordKeptFlash(job, stretches) : KeptFlash{};
    EraseForProgramming(job, stretches);

    const std::uint32_t start = job.clock.tickMs();
    job.console.print("%s", program ? "Programming" : "Verifying with");
    job.console.print(" File %s (%d bytes)\n", s.fileName.c_str(), static_cast<int>(s.length));
    std::uint32_t hostSum = 0;
    if (program) {
        ProgramStretches(job, file, stretches);
        CheckKeptFlash(job, kept);
        hostSum = SumOfStretches(job, file, stretches);
    } else {
        hostSum = VerifyStretches(job, file, stretches);
        PrintCompleted(job);
    }
    KeepBoardState(job);
    job.console.print("Checksum OK: 0x%x\n", hostSum & 0xFFFF);
    job.console.print(
        "%s", program ? "Programming Successfully!!\t\t\n" : "Verifying Successfully!!\t\t\n");
    PrintElapsed(job, start);
    FinishOperation(job, &file);
}

}  // namespace halvard
