#pragma once

#include <string>

#include "support/fake_target.hpp"
#include "support/fakes.hpp"

namespace halvard::testing {

// A run with its port open on a FakeTarget.
struct TargetBench {
    TargetBench() { scripted.openPort(); }

    std::string output() { return scripted.output.text(); }
    bool portOpen() const { return scripted.run.port.line != nullptr; }

    ScriptedRun scripted;
    FakeTarget target{*scripted.line};
    Run& run = scripted.run;
};

}  // namespace halvard::testing
