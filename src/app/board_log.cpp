#include "app/board_log.hpp"

#include <chrono>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/errors.hpp"
#include "base/format.hpp"
#include "base/shared_file.hpp"
#include "target/crc_routine.hpp"

namespace halvard {

namespace {

std::string utcNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

// RFC 4180: a field with a comma, a quote or a line end goes in quotes, its quotes doubled.
std::string field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

const char* functionName(Operation operation) {
    switch (operation) {
        case Operation::program:
            return "program";
        case Operation::verify:
            return "verify";
        case Operation::read:
            return "read";
    }
    return "";
}

}  // namespace

void CheckLogWritable(const std::string& path) {
    if (const std::string why = CheckAppendable(path); !why.empty())
        throw RunError(ErrorCode::CreateFile,
                       "The log " + path + " cannot be written: " + why + "\n");
}

std::string FileCrc32(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    return Format("0x%08X", crc32(bytes));
}

std::string AppendLogRow(const std::string& path, const RunSettings& settings,
                         const BoardResult& board) {
    const bool fileHolds = settings.operation != Operation::read || board.status == 0;
    const std::string row =
        utcNow() + "," + field(HostName()) + "," + field(board.port) + "," + field(board.cpu) +
        "," + (board.cpu.empty() ? std::string() : Format("%.1f", board.clockMHz)) + "," +
        field(board.flash) + "," + functionName(settings.operation) + "," + field(board.file) +
        "," + (fileHolds ? FileCrc32(board.file) : std::string()) + "," +
        Format("0x%X,0x%X,", board.offset, board.length) +
        (board.serial ? Format("0x%08X", *board.serial) : std::string()) + "," +
        Format("%d,%.2f\n", board.status, board.seconds);
    return AppendRow(path, kLogHeader, row);
}

}  // namespace halvard
