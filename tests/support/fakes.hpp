#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "line/serial_line.hpp"
#include "ops/ops.hpp"
#include "session/session.hpp"

namespace halvard::testing {

// A clock that only moves when the code under test sleeps or waits on a ScriptedLine.
class FakeClock final : public Clock {
  public:
    std::uint32_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
    std::uint32_t now = 100000;
};

// Console output into a temporary file, read back as text.
class CapturedConsole {
  public:
    CapturedConsole();
    ~CapturedConsole();
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    Console& console() { return console_; }
    std::string text();
    // The console of the newest capture still alive: where exitStatusOf prints a run's error,
    // as the top of a run does.
    static Console* newest();

  private:
    std::FILE* file_;
    Console console_;
    CapturedConsole* before_;
};

// A serial line driven by the test on a FakeClock: bytes the host writes are recorded, and a
// responder decides what arrives and when.
class ScriptedLine final : public SerialLine {
  public:
    using Responder = std::function<void(ScriptedLine&, std::span<const std::uint8_t> written)>;

    explicit ScriptedLine(FakeClock& clock) : clock_(clock) {}

    // Bytes that arrive delayMs after now.
    void deliver(std::vector<std::uint8_t> bytes, std::uint32_t delayMs = 0);
    void onWrite(Responder responder) { responder_ = std::move(responder); }
    // The next write accepts only this many bytes (a failed write); -1 accepts all.
    void limitNextWrite(int accepted) { writeLimit_ = accepted; }
    // Every later call throws LineGone.
    void unplug() { gone_ = true; }

    const std::vector<std::uint8_t>& written() const { return written_; }
    void clearWritten() { written_.clear(); }
    std::size_t pendingBytes() const;

    std::size_t write(std::span<const std::uint8_t> bytes) override;
    std::size_t read(std::span<std::uint8_t> into) override;
    std::size_t inputCount() override;
    void flushInput() override;
    void drainOutput() override {}
    bool waitForInput(std::chrono::milliseconds timeout) override;
    // The time passes; what arrives meanwhile waits.
    void rest(std::chrono::milliseconds time) override;

    // How often the host waited for input, and how often it rested.
    unsigned waits = 0;
    unsigned rests = 0;

  private:
    struct Arrival {
        std::uint32_t at;
        std::uint8_t byte;
    };
    void checkPresent() const;

    FakeClock& clock_;
    std::deque<Arrival> arrivals_;
    std::vector<std::uint8_t> written_;
    Responder responder_;
    int writeLimit_ = -1;
    bool gone_ = false;
};

// A board session on a ScriptedLine, as opening the port leaves it (COM1 at 38400 baud, the
// monitor at image base 0), and a job on it.
struct ScriptedRun {
    ScriptedRun();

    Link& link() { return session.link; }
    Flash& flash() { return session.flash; }

    FakeClock clock;
    CapturedConsole output;
    ScriptedLine* line;  // owned by the session's link
    Session session;
    Job job;
};

// Runs the function and returns the exit status it ended with, or -1 when it returned. The
// error's lines go to the newest CapturedConsole, as the top of a run prints them.
int exitStatusOf(const std::function<void()>& body);

// argv for ParseCmdLine and RunHalvard from strings (the strings are copied and may be changed).
class Args {
  public:
    Args(std::initializer_list<std::string> args);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

}  // namespace halvard::testing
