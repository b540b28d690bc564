#pragma once

#include <cstdint>

namespace halvard {

// A run cut short leaves the board sending the rest of the last answer it was asked for, and the
// next run has to wait that out before its handshake. So no request asks for more than about a
// second of answer on the wire at the line's rate.

// The most bytes one read or CRC request covers at this rate: the largest power of two whose
// bytes take at most 1.5 s on the wire (1 KB at 9600 baud, 4 KB at 38400), and never more than
// the monitor's 16 KB page window (115200 baud and above) nor less than 64 bytes. A power of two
// divides the window, so the pieces of a range cut to it stay in one page.
std::uint32_t AnswerPageSize(std::int32_t baud);

// The longest answer a run at this rate can have asked for: a page and its CRC-32 behind it, or
// the monitor's 0xAA for each zero of a resynchronisation, whichever is longer. A page takes at
// most 1.5 s on the wire at its rate, so a run that /SPEED= moved to a faster rate leaves an
// answer of at most 1.5 s too, in that rate's frames (the longest at the start rate is 1.1 s at
// 9600, 19200 and 38400 baud; below 4800 baud the resynchronisation's answers are longer).
std::uint32_t LongestAnswerBytes(std::int32_t baud);
// The same in milliseconds on the wire (10 bits a byte), rounded up.
std::uint32_t LongestAnswerMs(std::int32_t baud);

}  // namespace halvard
