#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace halvard {

// Where a console's text goes instead of a stream: one board among several, whose lines are
// shown with its port, or a machine reader that takes events. Called on the board's thread.
class ConsoleSink {
  public:
    virtual ~ConsoleSink() = default;
    // Text as printed, in the pieces it was printed in; lines end in "\n".
    virtual void text(std::string_view text) = 0;
    // The function's progress: the line the console would rewrite in place (without its "\r"),
    // how far the function is, and how many bytes of its range are done.
    virtual void completed(std::string_view line, double percent, std::uint64_t bytes) = 0;
};

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
    explicit Console(ConsoleSink& sink) : out_(nullptr), sink_(&sink) {}

    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);
    // The progress line "Completed x%", ending in "\r" to be rewritten in place.
    void completed(double percent, std::uint64_t bytes);
    void flush();

    // The stream the text goes to; null when it goes to a sink.
    std::FILE* stream() const { return out_; }

  private:
    void write(const char* format, std::va_list args);

    std::FILE* out_;
    ConsoleSink* sink_ = nullptr;
};

}  // namespace halvard
