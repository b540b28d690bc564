#include "session/reset_sequence.hpp"

#include "app/run.hpp"
#include "base/format.hpp"
#include "line/port.hpp"

namespace halvard {

namespace {

using Action = ModemStep::Action;

[[noreturn]] void noModemLines(Run& run) {
    throw RunError(exit_status::serialLine,
                   Format("Port %s cannot drive DTR and RTS, which /RESET= needs\n",
                          run.settings.portName.c_str()));
}

void setLine(Run& run, ModemLine which, bool set) {
    if (!run.port.line)
        throw LineGone("the serial port is not open");
    if (!run.port.line->setModemLine(which, set))
        noModemLines(run);
}

void perform(Run& run, const ModemStep& step) {
    switch (step.action) {
        case Action::setDtr:
            return setLine(run, ModemLine::dtr, true);
        case Action::clearDtr:
            return setLine(run, ModemLine::dtr, false);
        case Action::setRts:
            return setLine(run, ModemLine::rts, true);
        case Action::clearRts:
            return setLine(run, ModemLine::rts, false);
        case Action::wait:
            return run.clock.sleepMs(step.ms);
    }
}

void drive(Run& run, const ModemSequence& sequence) {
    if (sequence.empty())
        return;
    for (const ModemStep& step : sequence)
        perform(run, step);
    // Released: the board neither held in reset nor its boot pin pulled.
    setLine(run, ModemLine::dtr, false);
    setLine(run, ModemLine::rts, false);
}

}  // namespace

void ResetIntoLoader(Run& run) {
    drive(run, run.settings.resetBefore);
}

void RestartIntoApplication(Run& run) {
    drive(run, run.settings.resetAfter);
}

}  // namespace halvard
