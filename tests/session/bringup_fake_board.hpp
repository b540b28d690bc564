#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "monitor/fake_monitor.hpp"
#include "session/session.hpp"
#include "support/fakes.hpp"
#include "target/target_image.hpp"

namespace halvard::testing {

inline BoardSettings com1Board() {
    BoardSettings settings;
    settings.portName = "COM1";
    settings.device = "/dev/ttyS0";
    return settings;
}

// A board session whose port is open on a ScriptedLine that outlives it.
struct KeptLineSession {
    explicit KeptLineSession(BoardSettings settings = com1Board())
        : session(std::make_unique<LineView>(line), clock, output.console(), 38400,
                  std::move(settings), FlashSettings{}) {}

    FakeClock clock;
    CapturedConsole output;
    ScriptedLine line{clock};
    Session session;
};

// A board reset into its on-chip loader: it answers the first zero byte, takes 32 bytes of
// bootstrap code, answers 'V', takes the monitor upload, and from then on the monitor serves.
class FakeBoard {
  public:
    explicit FakeBoard(ScriptedLine& line) : monitor(line, false), line_(line) {
        line.onWrite([this](ScriptedLine&, std::span<const std::uint8_t> w) { take(w); });
    }

    // What arrives after the zero byte that is answered, each with its delay.
    std::vector<std::pair<std::vector<std::uint8_t>, std::uint32_t>> syncAnswer = {{{0xD5}, 0}};
    std::size_t zerosSwallowed = 0;  // zero bytes that get no answer at all
    std::optional<std::uint8_t> bootstrapAnswer = 'V';
    std::uint16_t codeSegment = 0;
    bool monitorRunning = false;            // the monitor of an earlier run answers from the start
    bool corruptUpload = false;             // one monitor byte lands wrong in target RAM
    std::optional<std::size_t> shortWrite;  // this host write (0: the zero byte) is cut short

    FakeMonitor monitor;
    std::vector<std::uint8_t> bootstrapReceived;
    std::vector<std::uint8_t> uploadReceived;
    std::vector<std::size_t> writeSizes;

  private:
    enum class State { loader, bootstrap, upload, monitor };

    void take(std::span<const std::uint8_t> written) {
        writeSizes.push_back(written.size());
        if (shortWrite && *shortWrite == writeSizes.size())
            line_.limitNextWrite(2);
        if (monitorRunning && state_ == State::loader)
            enterMonitor();
        for (std::size_t i = 0; i < written.size(); ++i) {
            const std::uint8_t b = written[i];
            switch (state_) {
                case State::loader:
                    synchronise(b);
                    break;
                case State::bootstrap:
                    bootstrapReceived.push_back(b);
                    if (bootstrapReceived.size() == 32)
                        finishBootstrap();
                    break;
                case State::upload:
                    uploadReceived.push_back(b);
                    if (uploadReceived.size() == 274)
                        enterMonitor();
                    break;
                case State::monitor:
                    if (zerosSwallowed > 0) {
                        --zerosSwallowed;
                        break;
                    }
                    monitor.feed(written.subspan(i));
                    return;
            }
        }
    }

    void synchronise(std::uint8_t b) {
        if (b != 0x00)
            return;
        if (zerosSwallowed > 0) {
            --zerosSwallowed;
            return;
        }
        for (const auto& [bytes, delay] : syncAnswer)
            line_.deliver(bytes, delay);
        state_ = State::bootstrap;
    }

    void finishBootstrap() {
        if (bootstrapAnswer)
            line_.deliver({*bootstrapAnswer});
        state_ = State::upload;
    }

    void enterMonitor() {
        const std::uint32_t base = std::uint32_t{codeSegment} << 16 | monitor.imageOffset;
        for (std::size_t i = 0; i < uploadReceived.size(); ++i)
            monitor.at(base + 32 + static_cast<std::uint32_t>(i)) = uploadReceived[i];
        if (monitorRunning) {
            for (std::uint32_t i = 32; i < 306; ++i)
                monitor.at(base + i) = TargetImage[i];
        }
        if (corruptUpload)
            monitor.at(base + 100) ^= 0x01;
        monitor.setWord(0xFE08, codeSegment);
        state_ = State::monitor;
    }

    ScriptedLine& line_;
    State state_ = State::loader;
};

}  // namespace halvard::testing
