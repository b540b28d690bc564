#pragma once

namespace halvard {

class Session;

// Drives DTR and RTS through the /RESET= sequence that puts the board into its bootstrap loader,
// before the handshake; then both lines are cleared. Nothing happens without the option. A port
// without modem lines ends the run with status 3.
void ResetIntoLoader(Session& session);
// After a successful function: the sequence that restarts the board into its application, if
// the option has one; then both lines are cleared.
void RestartIntoApplication(Session& session);

}  // namespace halvard
