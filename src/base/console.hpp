#pragma once

#include <cstdarg>
#include <cstdio>

namespace halvard {

// All messages of a run go through one console, printed with the exact printf formats of the
// tool. Tests hand in a temporary file instead of standard output.
//
// Every print reaches the terminal at once: many lines are built in pieces ("Erasing Flash-EPROM
// Block #:" and a number per sector, a progress line ending in "\r"), and a terminal's line
// buffer would hold them back for as long as a slow sector erase takes. A pipe is flushed just
// the same, so that a log written through tee shows the run as it goes.
class Console {
  public:
    explicit Console(std::FILE* out = stdout) : out_(out) {}

    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);
    // A progress line, ending in "\r" to be rewritten in place.
    [[gnu::format(printf, 2, 3)]] void progress(const char* format, ...);
    void flush();

    std::FILE* stream() const { return out_; }

  private:
    void write(const char* format, std::va_list args);

    std::FILE* out_;
};

}  // namespace halvard
