#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "line/serial_line.hpp"

namespace halvard::testing {

// A line between the run and another line (usually the virtual board's) that passes every call
// on; tests derive from it and change only what the far end should see differently.
class ForwardingLine : public SerialLine {
  public:
    explicit ForwardingLine(std::unique_ptr<SerialLine> line) : line_(std::move(line)) {}
    std::size_t write(std::span<const std::uint8_t> bytes) override { return line_->write(bytes); }
    std::size_t read(std::span<std::uint8_t> into) override { return line_->read(into); }
    std::size_t inputCount() override { return line_->inputCount(); }
    void flushInput() override { line_->flushInput(); }
    void drainOutput() override { line_->drainOutput(); }
    bool waitForInput(std::chrono::milliseconds timeout) override {
        return line_->waitForInput(timeout);
    }
    void rest(std::chrono::milliseconds time) override { line_->rest(time); }
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override {
        return line_->setRate(rate);
    }
    bool setModemLine(ModemLine line, bool set) override { return line_->setModemLine(line, set); }
    std::string keepBoardState() override { return line_->keepBoardState(); }

  protected:
    SerialLine& inner() { return *line_; }

  private:
    std::unique_ptr<SerialLine> line_;
};

}  // namespace halvard::testing
