#include "session/reset_sequence.hpp"

#include "base/format.hpp"
#include "line/port.hpp"
#include "session/session.hpp"

namespace halvard {

namespace {

using Action = ModemStep::Action;

[[noreturn]] void noModemLines(Session& session) {
    throw RunError(exit_status::serialLine,
                   Format("Port %s cannot drive DTR and RTS, which /RESET= needs\n",
                          session.settings.portName.c_str()));
}

void setLine(Session& session, ModemLine which, bool set) {
    if (!session.link.unchecked().setModemLine(which, set))
        noModemLines(session);
}

void perform(Session& session, const ModemStep& step) {
    switch (step.action) {
        case Action::setDtr:
            return setLine(session, ModemLine::dtr, true);
        case Action::clearDtr:
            return setLine(session, ModemLine::dtr, false);
        case Action::setRts:
            return setLine(session, ModemLine::rts, true);
        case Action::clearRts:
            return setLine(session, ModemLine::rts, false);
        case Action::wait:
            return session.link.clock.sleepMs(step.ms);
    }
}

void drive(Session& session, const ModemSequence& sequence) {
    if (sequence.empty())
        return;
    for (const ModemStep& step : sequence)
        perform(session, step);
    // Released: the board neither held in reset nor its boot pin pulled.
    setLine(session, ModemLine::dtr, false);
    setLine(session, ModemLine::rts, false);
}

}  // namespace

void ResetIntoLoader(Session& session) {
    drive(session, session.settings.resetBefore);
}

void RestartIntoApplication(Session& session) {
    drive(session, session.settings.resetAfter);
}

}  // namespace halvard
