#pragma once

#include <cstdio>
#include <functional>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "cmdline/cmdline.hpp"
#include "line/port.hpp"
#include "simline/sim_line.hpp"

namespace halvard {

// Opens one board's line with the clock that board's run keeps time by: the virtual board's
// clock follows its own board, so each board of a run needs one.
using BoardLineFactory = std::function<LineOpenResult(const LineRequest&, BoardClock&)>;

// One run of the program: its console and clock, how it opens lines and what the command line
// says. Only the top sees it; every layer below gets the few values it uses.
struct Run {
    Run(Console& console, Clock& clock, LineFactory openLine, BoardLineFactory openBoardLine = {})
        : console(console),
          clock(clock),
          openLine(std::move(openLine)),
          openBoardLine(std::move(openBoardLine)) {}

    Console& console;
    Clock& clock;  // the clock of a run with one board
    LineFactory openLine;
    // The lines of a run with several boards, each with a clock of its own; without it they all
    // open through openLine and share the run's clock.
    BoardLineFactory openBoardLine;
    Clock* outsideClock = nullptr;  // what each board's clock wraps
    std::FILE* out = stdout;        // standard output, where the boards' lines and JSON go
    CommandLine command;
    bool boardsReported = false;  // the boards' ends are out; a JSON run's failure is theirs
};

}  // namespace halvard
