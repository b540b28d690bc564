#include "app/board_output.hpp"

#include <algorithm>
#include <array>

#include "app/board_ports.hpp"
#include "base/format.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace halvard {

namespace {

// A status line longer than the terminal would wrap and move every line under it.
constexpr std::size_t kStatusColumns = 79;

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    quoted += Format("\\u%04x", static_cast<unsigned>(c));
                else
                    quoted += c;
        }
    }
    return quoted + "\"";
}

std::string trimmedLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    return std::string(text);
}

std::string resultObject(const BoardResult& board) {
    std::string object =
        "{\"type\":\"board\",\"port\":" + jsonString(board.port) +
        Format(",\"status\":%d", board.status) + ",\"cpu\":" + jsonString(board.cpu) +
        Format(",\"clock_mhz\":%.1f", board.clockMHz) + ",\"flash\":" + jsonString(board.flash) +
        Format(",\"seconds\":%.2f", board.seconds) +
        ",\"serial\":" + (board.serial ? Format("\"0x%08X\"", *board.serial) : "null");
    if (board.status != 0)
        object += ",\"error\":" + jsonString(trimmedLineEnd(board.error));
    return object + "}\n";
}

std::string statusText(int status) {
    return status == 0 ? "OK" : Format("Error %d", status);
}

}  // namespace

bool IsStatusTerminal(std::FILE* stream) {
#ifdef _WIN32
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || GetConsoleMode(console, &mode) == 0)
        return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

BoardOutput::BoardOutput(std::FILE* out, Form form, std::vector<std::string> ports)
    : out_(out), form_(form) {
    for (std::string& port : ports)
        boards_.push_back({"[" + ShortPortName(port) + "] ", std::move(port), "", -1});
}

void BoardOutput::emit(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void BoardOutput::redraw() {
    std::string text =
        drawn_ ? Format("\x1b[%uA", static_cast<unsigned>(boards_.size())) : std::string();
    for (const Board& board : boards_) {
        const std::string line = board.label + board.status;
        text += "\r\x1b[2K" + line.substr(0, kStatusColumns) + "\n";
    }
    drawn_ = true;
    emit(text);
}

void BoardOutput::line(std::size_t index, std::string_view stage, std::string_view text) {
    const std::lock_guard lock(mutex_);
    Board& board = boards_[index];
    switch (form_) {
        case Form::terminal:
            board.status = std::string(text);
            redraw();
            break;
        case Form::plain:
            emit(board.label + std::string(text) + "\n");
            break;
        case Form::json:
            emit("{\"type\":\"event\",\"port\":" + jsonString(board.typed) +
                 ",\"stage\":" + jsonString(stage) +
                 ",\"percent\":null,\"bytes\":null,\"message\":" + jsonString(text) + "}\n");
            break;
    }
}

void BoardOutput::progress(std::size_t index, std::string_view stage, std::string_view text,
                           double percent, std::uint64_t bytes) {
    const std::lock_guard lock(mutex_);
    Board& board = boards_[index];
    switch (form_) {
        case Form::terminal:
            if (board.status == text)
                return;
            board.status = std::string(text);
            redraw();
            break;
        case Form::plain: {
            // A new pass over the range starts the steps again; its end has a line of its own.
            const int tenth = static_cast<int>(percent / 10);
            if (tenth >= 10)
                return;
            if (tenth < board.shownTenth)
                board.shownTenth = -1;
            if (tenth == board.shownTenth)
                return;
            board.shownTenth = tenth;
            emit(board.label + std::string(text) + "\n");
            break;
        }
        case Form::json:
            emit("{\"type\":\"event\",\"port\":" + jsonString(board.typed) +
                 ",\"stage\":" + jsonString(stage) + Format(",\"percent\":%.1f", percent) +
                 Format(",\"bytes\":%llu", static_cast<unsigned long long>(bytes)) +
                 ",\"message\":" + jsonString(text) + "}\n");
            break;
    }
}

void BoardOutput::finish(const std::vector<BoardResult>& results) {
    const std::lock_guard lock(mutex_);
    if (form_ == Form::json) {
        for (const BoardResult& board : results)
            emit(resultObject(board));
        return;
    }
    // The status lines showed only the last line of a failure; its message comes whole here.
    if (form_ == Form::terminal) {
        for (std::size_t i = 0; i < results.size(); ++i) {
            std::string message = results[i].error;
            for (std::size_t at = 0; at < message.size();) {
                const std::size_t end = message.find('\n', at);
                emit(boards_[i].label + message.substr(at, end - at) + "\n");
                at = end == std::string::npos ? message.size() : end + 1;
            }
        }
    }
    table(results);
}

void BoardOutput::table(const std::vector<BoardResult>& results) {
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows{{"Port", "CPU", "Flash", "Status", "Seconds", "Serial"}};
    for (const BoardResult& board : results) {
        rows.push_back({board.port, board.cpu.empty() ? "-" : board.cpu,
                        board.flash.empty() ? "-" : board.flash, statusText(board.status),
                        Format("%.2f", board.seconds),
                        board.serial ? Format("0x%08X", *board.serial) : "-"});
    }
    std::array<std::size_t, 6> width{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    }
    std::string text = "\n";
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        text += trimmedLineEnd(line.substr(0, line.find_last_not_of(' ') + 1)) + "\n";
    }
    emit(text);
}

void BoardOutput::jsonError(std::FILE* out, int status, std::string_view message) {
    std::fputs(("{\"type\":\"error\"" + Format(",\"status\":%d", status) +
                ",\"error\":" + jsonString(trimmedLineEnd(message)) + "}\n")
                   .c_str(),
               out);
    std::fflush(out);
}

void BoardSink::text(std::string_view text) {
    pending_ += text;
    for (std::size_t end = pending_.find('\n'); end != std::string::npos;
         end = pending_.find('\n')) {
        const std::string line = trimmedLineEnd(pending_.substr(0, end));
        pending_.erase(0, end + 1);
        // An empty line only ended a progress line on a console of its own.
        if (!line.empty())
            output_.line(board_, stage_, line);
    }
}

void BoardSink::completed(std::string_view line, double percent, std::uint64_t bytes) {
    output_.progress(board_, stage_, line, percent, bytes);
}

void BoardSink::flush() {
    if (!pending_.empty())
        output_.line(board_, stage_, trimmedLineEnd(pending_));
    pending_.clear();
}

}  // namespace halvard
