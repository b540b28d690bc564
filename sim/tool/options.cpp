#include "sim/tool/options.hpp"

#include "sim/flash/flash_chip.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace halvard::sim::tool {

namespace {

constexpr double kMaxClockMhz = 100.0;
constexpr unsigned long kMaxBaud = 4'000'000;
// The latency timer settings USB serial adapters offer.
constexpr std::uint32_t kMinLatencyMs = 1;
constexpr std::uint32_t kMaxLatencyMs = 255;

std::optional<std::uint32_t> parseHex32(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X"))
        text.remove_prefix(2);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> parseDecimal(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "20", "19.2", "24.576": MHz, as a whole number of Hz.
std::optional<std::uint32_t> parseMegahertz(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double mhz = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !(mhz > 0.0) || mhz > kMaxClockMhz) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::lround(mhz * 1e6));
}

std::string cpuNames() {
    std::string names;
    for (const CpuModel& model : cpuModels()) {
        if (!names.empty())
            names += ", ";
        names += model.name;
    }
    return names;
}

// The comma-separated list as lines of at most `width` columns, each after the first indented.
std::string wrapList(const std::string& list, std::size_t indent, std::size_t width) {
    std::string text;
    std::size_t column = indent;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find(", ", start);
        end = end == std::string::npos ? list.size() : end + 1;
        const std::string item = list.substr(start, end - start);
        if (column + item.size() + 1 > width && column > indent) {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            text += ' ';
            ++column;
        }
        text += item;
        column += item.size();
        start = end + (end < list.size() ? 1 : 0);
    }
    return text;
}

std::string chipNames() {
    std::string names;
    for (const ChipModel& model : chipCatalog()) {
        if (!names.empty())
            names += ", ";
        names += model.key;
    }
    return names;
}

// One option with a value: stores it or explains why it cannot.
using ValueHandler = std::function<std::string(ToolOptions&, std::string_view)>;

const std::map<std::string_view, ValueHandler>& valueOptions() {
    static const std::map<std::string_view, ValueHandler> handlers{
        {"--cpu",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto model = findCpuModel(v);
             if (!model)
                 return "unknown CPU '" + std::string(v) + "' (known: " + cpuNames() + ")";
             o.board.board.cpu = *model;
             return {};
         }},
        {"--cpu-id",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto id = parseHex32(v);
             if (!id)
                 return "--cpu-id needs a hexadecimal identification word";
             o.board.cpuId = id;
             return {};
         }},
        {"--clock",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto hz = parseMegahertz(v);
             if (!hz)
                 return "--clock needs a frequency in MHz above 0 and up to 100";
             o.board.board.clockHz = *hz;
             return {};
         }},
        {"--baud",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto baud = parseDecimal(v);
             if (!baud || *baud == 0 || *baud > kMaxBaud)
                 return "--baud needs a decimal rate";
             o.board.board.baud = *baud;
             o.baudGiven = true;
             return {};
         }},
        {"--flash",
         [](ToolOptions& o, std::string_view v) -> std::string {
             if (!isEmptyBusName(v) && findChipModel(v) == nullptr) {
                 return "unknown flash chip '" + std::string(v) + "' (known: " + chipNames() +
                        ", none)";
             }
             o.board.flashChip = std::string(v);
             return {};
         }},
        {"--flash-base",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto base = parseHex32(v);
             if (!base || *base > 0xFFFFFF)
                 return "--flash-base needs a 24-bit hexadecimal address";
             o.board.board.flashBase = *base;
             return {};
         }},
        {"--flash-image",
         [](ToolOptions& o, std::string_view v) -> std::string {
             if (v.empty())
                 return "--flash-image needs a file name";
             o.board.flashImage = std::string(v);
             return {};
         }},
        {"--adapter",
         [](ToolOptions& o, std::string_view v) -> std::string {
             const auto ms = parseDecimal(v);
             if (!ms || *ms < kMinLatencyMs || *ms > kMaxLatencyMs)
                 return "--adapter needs a latency timer of 1 to 255 ms";
             o.board.adapterLatencyMs = *ms;
             // The adapter's timer runs in real time: an unpaced board, whose time is not the
             // host's, would hold a partial packet until the host has given up.
             o.board.board.paced = true;
             return {};
         }},
        {"--fault",
         [](ToolOptions& o, std::string_view v) -> std::string {
             return addFault(o.board.faults, v);
         }},
    };
    return handlers;
}

bool setFlag(ToolOptions& o, std::string_view name) {
    if (name == "--paced") {
        o.board.board.paced = true;
    } else if (name == "--trace") {
        o.trace = true;
    } else if (name == "--reset-on-open") {
        o.resetOnOpen = true;
    } else if (name == "--exit-on-close") {
        o.exitOnClose = true;
    } else if (name == "--help" || name == "-h") {
        o.help = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string_view>& args) {
    ToolOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (setFlag(options, arg))
            continue;
        std::string_view value;
        bool inlineValue = false;
        if (const auto equals = arg.find('='); equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            inlineValue = true;
        }
        const auto handler = valueOptions().find(arg);
        if (handler == valueOptions().end()) {
            return {std::nullopt, "unknown option '" + std::string(args[i]) + "'"};
        }
        if (!inlineValue) {
            if (i + 1 >= args.size())
                return {std::nullopt, std::string(arg) + " needs a value"};
            value = args[++i];
        }
        if (std::string why = handler->second(options, value); !why.empty()) {
            return {std::nullopt, why};
        }
    }
    return {options, {}};
}

std::string usageText() {
    return "Usage: halvard-sim [options]\n"
           "Serves a virtual C16x/XC16x board on a new pseudo-terminal. The first line on\n"
           "standard output is the terminal's device path; open it as the serial port.\n"
           "The board starts in its bootstrap loader and keeps its monitor running between\n"
           "runs until it is reset. SIGHUP resets it; SIGINT and SIGTERM stop it.\n"
           "A pseudo-terminal carries no modem lines: halvard's /RESET= cannot reach this\n"
           "board (the in-process board of /COM=SIM takes DTR and RTS).\n"
           "\n"
           "  --cpu NAME           CPU model: " +
           cpuNames() +
           " (default c167cr)\n"
           "  --cpu-id HEX         identification word IDMANUF:IDCHIP, e.g. 18200C02\n"
           "  --clock MHZ          CPU clock in MHz (default 20)\n"
           "  --baud N             line speed when the terminal does not tell it (default 38400)\n"
           "  --paced              run the line at the baud rate and the CPU in real time\n"
           "  --adapter MS         a USB serial adapter in the line: 62-byte packets, a partial\n"
           "                       one when its latency timer of MS ms runs out (implies --paced)\n"
           "  --trace              print every executed instruction to standard error\n"
           "  --reset-on-open      reset the board into its loader whenever a host opens the line\n"
           "  --exit-on-close      stop when the host closes the line\n"
           "  --flash CHIP         flash chip on the external bus (default psd813f):\n" +
           std::string(23, ' ') + wrapList(chipNames() + ", none", 23, 79) +
           "\n"
           "  --flash-base HEX     address of the flash chip (default 20000)\n"
           "  --flash-image FILE   keep the flash contents in FILE (created erased)\n"
           "  --fault NAME[=ARG]   something going wrong (repeatable; see the board README):\n" +
           std::string(23, ' ') + wrapList(faultNames(), 23, 79) +
           "\n"
           "  --help               show this text\n";
}

}  // namespace halvard::sim::tool
