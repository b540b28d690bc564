#pragma once

namespace halvard {

class Session;

// Times the monitor's first pings. A line that takes more than a few milliseconds to answer a
// one-byte reply has something in it that holds short replies back, almost always a USB serial
// adapter's latency timer: one hint line names the fix for this platform. Every exchange of the
// run pays that delay once, and programming pays it once per block.
void CheckLineLatency(Session& session);

}  // namespace halvard
