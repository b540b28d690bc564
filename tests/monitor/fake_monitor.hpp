#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "support/fakes.hpp"

namespace halvard::testing {

// Hands the link a line that only forwards to a ScriptedLine the test keeps, so that what was
// written and what is still waiting can be looked at after the port is closed.
class LineView final : public SerialLine {
  public:
    explicit LineView(ScriptedLine& line) : line_(line) {}
    std::size_t write(std::span<const std::uint8_t> bytes) override { return line_.write(bytes); }
    std::size_t read(std::span<std::uint8_t> into) override { return line_.read(into); }
    std::size_t inputCount() override { return line_.inputCount(); }
    void flushInput() override { line_.flushInput(); }
    void drainOutput() override { line_.drainOutput(); }
    bool waitForInput(std::chrono::milliseconds timeout) override {
        return line_.waitForInput(timeout);
    }

  private:
    ScriptedLine& line_;
};

// A link whose port is open on a ScriptedLine that outlives it.
struct KeptLineLink {
    FakeClock clock;
    CapturedConsole output;
    ScriptedLine line{clock};
    Link link{std::make_unique<LineView>(line), clock, output.console(), 38400};
};

// A resident monitor behind a ScriptedLine: decodes the host's frames as they are written and
// answers from a sparse memory, the way the target code serves them.
class FakeMonitor {
  public:
    using FlashAnswer = std::function<std::vector<std::uint8_t>(
        std::uint32_t address, std::span<const std::uint8_t> data)>;

    // Attached, it serves every write on the line; otherwise its owner feeds it.
    explicit FakeMonitor(ScriptedLine& line, bool attach = true) : line_(line) {
        if (!attach)
            return;
        line.onWrite(
            [this](ScriptedLine&, std::span<const std::uint8_t> written) { feed(written); });
    }

    std::uint8_t& at(std::uint32_t address) { return memory_[address & 0xFFFFFF]; }
    void setWord(std::uint32_t address, std::uint16_t value) {
        at(address) = static_cast<std::uint8_t>(value);
        at(address + 1) = static_cast<std::uint8_t>(value >> 8);
    }

    std::uint16_t imageOffset = 0xFA40;  // answer to 0x0F
    std::int32_t baudRate = 0;           // nonzero: replies come at line speed
    bool silent = false;                 // takes commands, answers nothing
    FlashAnswer flashAnswer = [](std::uint32_t, std::span<const std::uint8_t>) {
        return std::vector<std::uint8_t>{0xAA};
    };
    std::vector<std::uint8_t> codes;  // every command code served, in order
    // Replaces the answer to a command code (an empty answer: none at all).
    std::map<std::uint8_t, std::vector<std::uint8_t>> answerOverride;

  private:
    static std::uint32_t addressOf(const std::vector<std::uint8_t>& f) {
        return f[1] | (f[2] << 8) | (f[3] << 16);
    }
    static std::uint16_t wordAt(const std::vector<std::uint8_t>& f, std::size_t i) {
        return static_cast<std::uint16_t>(f[i] | (f[i + 1] << 8));
    }

    // Bytes the command needs, or 0 while its header is still incomplete.
    static std::size_t lengthOf(const std::vector<std::uint8_t>& f) {
        switch (f[0]) {
            case 0x05:
            case 0x07:
                return 4;
            case 0x06:
                return 5;
            case 0x08:
            case 0x09:
            case 0x0B:
                return 6;
            case 0x0A:
            case 0x0E:
                return f.size() < 6 ? 0 : 6u + wordAt(f, 4);
            default:
                return 1;
        }
    }

  public:
    void feed(std::span<const std::uint8_t> written) {
        pending_.insert(pending_.end(), written.begin(), written.end());
        for (;;) {
            if (pending_.empty())
                return;
            const std::size_t need = lengthOf(pending_);
            if (need == 0 || pending_.size() < need)
                return;
            const std::vector<std::uint8_t> frame(pending_.begin(), pending_.begin() + need);
            pending_.erase(pending_.begin(), pending_.begin() + need);
            serve(frame, written.size());
        }
    }

  private:
    void answer(const std::vector<std::uint8_t>& bytes, std::size_t requestBytes) {
        if (silent || bytes.empty())
            return;
        if (baudRate == 0) {
            line_.deliver(bytes);
            return;
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto delay =
                static_cast<std::uint32_t>((requestBytes + i + 1) * 10000 / baudRate);
            line_.deliver({bytes[i]}, delay);
        }
    }

    void serve(const std::vector<std::uint8_t>& f, std::size_t requestBytes) {
        codes.push_back(f[0]);
        if (const auto it = answerOverride.find(f[0]); it != answerOverride.end()) {
            answer(it->second, requestBytes);
            return;
        }
        const std::uint32_t a = f.size() >= 4 ? addressOf(f) : 0;
        switch (f[0]) {
            case 0x05:
                answer({at(a)}, requestBytes);
                break;
            case 0x06:
                at(a) = f[4];
                break;
            case 0x07:
                answer({at(a), at(a + 1)}, requestBytes);
                break;
            case 0x08:
                setWord(a, wordAt(f, 4));
                break;
            case 0x09: {
                std::vector<std::uint8_t> block;
                for (std::uint32_t i = 0; i < wordAt(f, 4); ++i)
                    block.push_back(at(a + i));
                answer(block, requestBytes);
                break;
            }
            case 0x0A:
                for (std::size_t i = 6; i < f.size(); ++i)
                    at(a + static_cast<std::uint32_t>(i - 6)) = f[i];
                answer({0xAA}, requestBytes);
                break;
            case 0x0B: {
                std::uint16_t sum = 0;
                for (std::uint32_t i = 0; i < wordAt(f, 4); ++i)
                    sum = static_cast<std::uint16_t>(sum + at(a + i));
                answer({static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8)},
                       requestBytes);
                break;
            }
            case 0x0E: {
                const auto data = std::span(f).subspan(6);
                const auto reply = flashAnswer(a, data);
                if (reply == std::vector<std::uint8_t>{0xAA}) {
                    for (std::size_t i = 0; i < data.size(); ++i)
                        at(a + static_cast<std::uint32_t>(i)) = data[i];
                }
                answer(reply, requestBytes);
                break;
            }
            case 0x0F:
                answer({static_cast<std::uint8_t>(imageOffset),
                        static_cast<std::uint8_t>(imageOffset >> 8)},
                       requestBytes);
                break;
            default:
                answer({0xAA}, requestBytes);
                break;
        }
    }

    ScriptedLine& line_;
    std::map<std::uint32_t, std::uint8_t> memory_;
    std::vector<std::uint8_t> pending_;
};

}  // namespace halvard::testing
