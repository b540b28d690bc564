#pragma once

#include "run/run.hpp"

namespace halvard {

// Ends the run at a stage that this build does not have yet: never a fake success.
[[noreturn]] inline void NotBuiltYet(Run& run, const char* stage) {
    run.console.print("%s: not built yet\n", stage);
    EndRun(run, status(ErrorCode::NotDefined) + 1);
}

}  // namespace halvard
