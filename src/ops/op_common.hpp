#pragma once

#include <cstdint>
#include <span>

#include "base/errors.hpp"
#include "base/host_file.hpp"

namespace halvard {

struct Job;

// The most bytes one read or CRC request covers, at the rate the line runs at now (a /SPEED=
// switch changes it): a run cut short then leaves the board talking for about a second at most.
std::uint32_t PageSize(const Job& job);
// A block read back to find a difference: at most 512 bytes, and never more than a page.
std::uint32_t ReadBackBlockSize(const Job& job);

// Percentage of the range done; an empty range counts as complete.
double Completion(std::uint32_t remaining, std::uint32_t total);
// "Completed %2.1f%%\r", rewritten in place after every block.
void PrintProgress(Job& job, std::uint32_t remaining, std::uint32_t total);
// The last progress line, ending the line.
void PrintCompleted(Job& job);
void PrintElapsed(Job& job, std::uint32_t startMs);

// Reads a range within one page (at most the whole page) with one request, printing the
// progress line for every 512 bytes of it as they arrive; remainingAfter is what the run's
// range holds behind this page. A time-out gets one resynchronised repeat, a second one ends
// the run with timeoutCode as status (target2Host has printed the error line each time).
void ReadPageWithRetry(Job& job, std::uint32_t address, std::span<std::uint8_t> page,
                       std::uint32_t remainingAfter, ErrorCode timeoutCode);

// Reads a range within one page like ReadPageWithRetry and proves it: with the CRC routine in one
// answer (the bytes, then their CRC-32), otherwise by a separate proof of the bytes read. True
// when the bytes are proved; false when they are not (the caller resynchronises and reads again).
// A time-out gets one resynchronised repeat, a second one ends the run with timeoutCode.
bool ReadProvedPage(Job& job, std::uint32_t address, std::span<std::uint8_t> page,
                    std::uint32_t remainingAfter, ErrorCode timeoutCode);

// The function's result is final: the virtual board writes its flash file now, so that no
// success is reported for a flash that is then lost. A board that cannot ends the run with one
// line naming the file and the reason, and the port's status (3).
void KeepBoardState(Job& job);

// The function has succeeded: restarts the board into its application when /RESET= asks for
// it, then closes the port and, when given, the file.
void FinishOperation(Job& job, HostFile* file = nullptr);

}  // namespace halvard
