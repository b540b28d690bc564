#include "app/run_sequence.hpp"
#include "app/signals.hpp"
#include "base/clock.hpp"
#include "base/console.hpp"
#include "base/stop.hpp"
#include "line/system_line.hpp"
#include "simline/sim_line.hpp"

int main(int argc, char* argv[]) {
    halvard::ProcessGuard guard;
    halvard::Console console(stdout);
    halvard::SteadyClock steady;
    // Real time, except while a virtual board is open: then each board's own simulated time.
    const auto openLine = [](const halvard::LineRequest& request, halvard::BoardClock& clock) {
        if (halvard::IsSimDevice(request.device))
            return halvard::OpenSimLine(request, &clock);
        return halvard::OpenSystemLine(request);
    };
    const int status = halvard::RunHalvard(argc, argv, console, steady, openLine);
    const int signal = halvard::StopSignal();
    if (signal != 0 && status == halvard::StoppedStatus(signal))
        halvard::ProcessGuard::endBySignal(signal);
    return status;
}
