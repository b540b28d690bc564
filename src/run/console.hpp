#pragma once

#include <cstdio>

namespace halvard {

// All messages of a run go through one console, printed with the exact printf formats of the
// tool. Tests hand in a temporary file instead of standard output.
class Console {
  public:
    explicit Console(std::FILE* out = stdout) : out_(out) {}

    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);
    // Progress lines end in "\r" and must show at once.
    [[gnu::format(printf, 2, 3)]] void progress(const char* format, ...);
    void flush();

    std::FILE* stream() const { return out_; }

  private:
    std::FILE* out_;
};

}  // namespace halvard
