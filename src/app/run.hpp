#pragma once

#include <optional>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "cmdline/cmdline.hpp"
#include "line/port.hpp"
#include "ops/ops.hpp"
#include "session/session.hpp"

namespace halvard {

// One run of the program: its console and clock, how it opens lines, what the command line
// says, and, once the port is open, the board's session and the function on it. Only the top
// sees it; every layer below gets the few values it uses.
struct Run {
    Run(Console& console, Clock& clock, LineFactory openLine)
        : console(console), clock(clock), openLine(std::move(openLine)) {}

    Console& console;
    Clock& clock;
    LineFactory openLine;
    CommandLine command;
    std::optional<Session> session;
    std::optional<Job> job;
};

}  // namespace halvard
