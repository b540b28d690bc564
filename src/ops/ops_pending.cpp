// Placeholder until program, verify and read are built; removed by that work.
#include "ops/ops.hpp"
#include "run/not_built.hpp"

namespace halvard {
void ProgramVerify(Run& run) {
    NotBuiltYet(run, "ProgramVerify");
}
void ReadFlash(Run& run) {
    NotBuiltYet(run, "ReadFlash");
}
int verifyBuffer(Run& run, std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                 std::size_t&) {
    NotBuiltYet(run, "verifyBuffer");
}
}  // namespace halvard
