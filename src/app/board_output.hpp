#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/board_result.hpp"
#include "base/console.hpp"

namespace halvard {

// How the boards of one run show on standard output, each board's lines whole and apart:
// - text on a terminal: one status line per board, rewritten in place;
// - text elsewhere: every line with "[port] " before it, the progress in steps of 10 %;
// - JSON Lines: one object per event and one per board at its end (see the README).
// Boards call it from their own threads.
class BoardOutput {
  public:
    enum class Form { terminal, plain, json };
    BoardOutput(std::FILE* out, Form form, std::vector<std::string> ports);

    void line(std::size_t board, std::string_view stage, std::string_view text);
    void progress(std::size_t board, std::string_view stage, std::string_view text, double percent,
                  std::uint64_t bytes);
    // After every board has ended: a failed board's lines that the status lines could not show,
    // and the table; or, for JSON, the final object of each board.
    void finish(const std::vector<BoardResult>& results);
    // A failure of the run itself, before or after its boards, for JSON readers.
    static void jsonError(std::FILE* out, int status, std::string_view message);

  private:
    struct Board {
        std::string label;  // the short name in brackets
        std::string typed;  // as given on the command line
        std::string status;
        int shownTenth = -1;  // the last 10 % step shown in plain text
    };
    void redraw();
    void emit(const std::string& text);
    void table(const std::vector<BoardResult>& results);

    std::FILE* out_;
    Form form_;
    std::vector<Board> boards_;
    bool drawn_ = false;
    std::mutex mutex_;
};

// One board's console: its pieces of text made into lines, and handed on with the stage its
// run is in.
class BoardSink final : public ConsoleSink {
  public:
    BoardSink(BoardOutput& output, std::size_t board) : output_(output), board_(board) {}
    void text(std::string_view text) override;
    void completed(std::string_view line, double percent, std::uint64_t bytes) override;
    void setStage(std::string_view stage) { stage_ = stage; }
    // Hands on a last line that did not end.
    void flush();

  private:
    BoardOutput& output_;
    std::size_t board_;
    std::string stage_ = "connect";
    std::string pending_;
};

// A console whose text is kept, for the lines of a JSON run that belong to no board.
class KeptText final : public ConsoleSink {
  public:
    void text(std::string_view text) override { text_ += text; }
    void completed(std::string_view line, double, std::uint64_t) override {
        text_ += line;
        text_ += '\n';
    }
    const std::string& kept() const { return text_; }

  private:
    std::string text_;
};

// True when the stream is a terminal that takes the cursor movements of the status lines.
bool IsStatusTerminal(std::FILE* stream);

}  // namespace halvard
