#include "link/system_line.hpp"
#include "run/clock.hpp"
#include "run/console.hpp"
#include "run/run_sequence.hpp"

int main(int argc, char* argv[]) {
    halvard::Console console(stdout);
    halvard::SteadyClock clock;
    return halvard::RunHalvard(argc, argv, console, clock, halvard::OpenSystemLine);
}
