#include "support/fakes.hpp"

#include <algorithm>
#include <utility>

namespace halvard::testing {

namespace {
CapturedConsole* newestConsole = nullptr;
}  // namespace

CapturedConsole::CapturedConsole()
    : file_(std::tmpfile()), console_(file_), before_(std::exchange(newestConsole, this)) {}

CapturedConsole::~CapturedConsole() {
    if (newestConsole == this)
        newestConsole = before_;
    if (file_ != nullptr)
        std::fclose(file_);
}

Console* CapturedConsole::newest() {
    return newestConsole == nullptr ? nullptr : &newestConsole->console_;
}

std::string CapturedConsole::text() {
    std::fflush(file_);
    std::string result;
    std::rewind(file_);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
        result.append(buffer, n);
    std::fseek(file_, 0, SEEK_END);
    return result;
}

void ScriptedLine::checkPresent() const {
    if (gone_)
        throw LineGone("the scripted line was unplugged");
}

void ScriptedLine::deliver(std::vector<std::uint8_t> bytes, std::uint32_t delayMs) {
    const std::uint32_t at = clock_.now + delayMs;
    const bool inOrder = arrivals_.empty() || arrivals_.back().at <= at;
    for (std::uint8_t b : bytes)
        arrivals_.push_back({at, b});
    if (!inOrder) {
        std::stable_sort(arrivals_.begin(), arrivals_.end(),
                         [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
    }
}

std::size_t ScriptedLine::pendingBytes() const {
    return arrivals_.size();
}

std::size_t ScriptedLine::write(std::span<const std::uint8_t> bytes) {
    checkPresent();
    std::size_t accepted = bytes.size();
    if (writeLimit_ >= 0) {
        accepted = std::min<std::size_t>(accepted, static_cast<std::size_t>(writeLimit_));
        writeLimit_ = -1;
    }
    const auto sent = bytes.first(accepted);
    written_.insert(written_.end(), sent.begin(), sent.end());
    if (responder_ && !sent.empty())
        responder_(*this, sent);
    return accepted;
}

std::size_t ScriptedLine::inputCount() {
    checkPresent();
    return static_cast<std::size_t>(
        std::count_if(arrivals_.begin(), arrivals_.end(),
                      [this](const Arrival& a) { return a.at <= clock_.now; }));
}

std::size_t ScriptedLine::read(std::span<std::uint8_t> into) {
    checkPresent();
    std::size_t n = 0;
    while (n < into.size() && !arrivals_.empty() && arrivals_.front().at <= clock_.now) {
        into[n++] = arrivals_.front().byte;
        arrivals_.pop_front();
    }
    return n;
}

void ScriptedLine::flushInput() {
    checkPresent();
    while (!arrivals_.empty() && arrivals_.front().at <= clock_.now)
        arrivals_.pop_front();
}

void ScriptedLine::rest(std::chrono::milliseconds time) {
    checkPresent();
    ++rests;
    clock_.now += static_cast<std::uint32_t>(std::max<long long>(0, time.count()));
}

bool ScriptedLine::waitForInput(std::chrono::milliseconds timeout) {
    checkPresent();
    ++waits;
    const auto wait = static_cast<std::uint32_t>(std::max<long long>(0, timeout.count()));
    if (!arrivals_.empty() && arrivals_.front().at <= clock_.now + wait) {
        clock_.now = std::max(clock_.now, arrivals_.front().at);
        return true;
    }
    clock_.now += wait;
    return false;
}

namespace {

std::unique_ptr<ScriptedLine> scriptedLine(FakeClock& clock, ScriptedLine*& line) {
    auto made = std::make_unique<ScriptedLine>(clock);
    line = made.get();
    return made;
}

}  // namespace

ScriptedRun::ScriptedRun()
    : session(scriptedLine(clock, line), clock, output.console(), 38400,
              BoardSettings{"COM1", "/dev/ttyS0", false, 0, {}, {}}, FlashSettings{}),
      job(session, JobSettings{}) {}

int exitStatusOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const RunError& error) {
        if (Console* console = CapturedConsole::newest())
            console->print("%s%s", error.message().c_str(), error.hint().c_str());
        return error.status();
    }
    return -1;
}

Args::Args(std::initializer_list<std::string> args) : storage_(args) {
    for (std::string& s : storage_)
        pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

}  // namespace halvard::testing
