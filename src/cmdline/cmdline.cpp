#include "cmdline/cmdline.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

#include "base/host_file.hpp"
#include "cmdline/reset_option.hpp"
#include "image/image_format.hpp"

namespace halvard {

namespace {

// The command line as it is being read.
struct Parse {
    Console& console;
    RunSettings& settings;
    std::optional<SparseImage>& image;
    std::string serialFile;  // /SERIAL-FILE=, wherever it stands among the options
};

enum class Match { whole, prefix };

struct OptionRow {
    std::string_view text;
    Match match;
    void (*apply)(Parse&, std::string_view value, std::string_view original);
};

[[noreturn]] void exclusive(Parse&) {
    throw RunError(ErrorCode::OptionsExclusive);
}

void setComIndex(Parse& cmd, std::uint32_t index) {
    cmd.settings.portIndex = index;
    cmd.settings.portName = "COM" + std::to_string(index + 1);
    cmd.settings.portDevice.clear();
}

void applyResetOption(Parse& cmd, std::string_view value, std::string_view) {
    const std::string why = ParseResetOption(value, cmd.settings);
    if (why.empty())
        return;
    cmd.console.print("ParseCmdLine: /RESET=%s: %s\n", std::string(value).c_str(), why.c_str());
    throw RunError(ErrorCode::IllegalOption);
}

[[noreturn]] void refuseSerial(Parse& cmd, std::string_view value, const char* why) {
    cmd.console.print("ParseCmdLine: /SERIAL=%s: %s\n", std::string(value).c_str(), why);
    throw RunError(ErrorCode::IllegalOption);
}

// Hexadecimal digits, with or without 0x, and nothing else: a counter that starts at a number
// other than the one typed would hand out numbers nobody meant.
std::optional<std::uint32_t> strictHex(std::string_view text) {
    if (text.starts_with("0X"))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789ABCDEF") != std::string_view::npos)
        return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(std::string(text), nullptr, 16));
}

void applySerialOption(Parse& cmd, std::string_view value, std::string_view) {
    SerialSettings serial = cmd.settings.serial.value_or(SerialSettings{});
    std::array<std::uint32_t*, 3> fields{&serial.address, &serial.first, &serial.step};
    std::string_view rest = value;
    for (std::uint32_t* field : fields) {
        const std::size_t colon = rest.find(':');
        const auto number = strictHex(rest.substr(0, colon));
        if (!number)
            refuseSerial(cmd, value, "needs hexadecimal numbers: address[:first[:step]]");
        *field = *number;
        if (colon == std::string_view::npos) {
            rest = {};
            break;
        }
        rest.remove_prefix(colon + 1);
        if (field == fields.back())
            refuseSerial(cmd, value, "takes at most address:first:step");
    }
    if (serial.step == 0)
        refuseSerial(cmd, value, "a step of 0 would give every board the same number");
    cmd.settings.serial = serial;
}

void applySerialFile(Parse& cmd, std::string_view, std::string_view original) {
    if (original.empty()) {
        cmd.console.print("ParseCmdLine: /SERIAL-FILE= needs a file name\n");
        throw RunError(ErrorCode::IllegalOption);
    }
    cmd.serialFile = std::string(original);
}

void applyLogOption(Parse& cmd, std::string_view, std::string_view original) {
    if (original.empty()) {
        cmd.console.print("ParseCmdLine: /LOG= needs a file name\n");
        throw RunError(ErrorCode::IllegalOption);
    }
    cmd.settings.logFile = std::string(original);
}

// Tested in this order; the first row that matches decides.
const std::array<OptionRow, 26> kOptions = {{
    {"/OFFSET=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.flashOffset = ParseNumber(v, 16);
     }},
    {"/O=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.flashOffset = ParseNumber(v, 16);
     }},
    {"/LENGTH=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.length = ParseNumber(v, 16);
     }},
    {"/L=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.length = ParseNumber(v, 16);
     }},
    {"/ERASEALL", Match::whole,
     [](Parse& r, std::string_view, std::string_view) {
         if (r.settings.noErase)
             exclusive(r);
         r.settings.eraseAll = true;
     }},
    {"/NOERASE", Match::whole,
     [](Parse& r, std::string_view, std::string_view) {
         if (r.settings.eraseAll)
             exclusive(r);
         r.settings.noErase = true;
     }},
    {"/PLAIN", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { r.settings.plain = true; }},
    {"/COM=", Match::prefix,
     [](Parse& r, std::string_view, std::string_view original) {
         SetTypedPort(r.settings, original);
     }},
    {"/COM1", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { setComIndex(r, 0); }},
    {"/COM2", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { setComIndex(r, 1); }},
    {"/COM3", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { setComIndex(r, 2); }},
    {"/COM4", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { setComIndex(r, 3); }},
    {"/FILE-OFFSET=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.fileOffset = ParseNumber(v, 16);
     }},
    {"/FO=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.fileOffset = ParseNumber(v, 16);
     }},
    {"/DEVICE-BASE=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.deviceBase = ParseNumber(v, 16);
     }},
    {"/DB=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.deviceBase = ParseNumber(v, 16);
     }},
    {"/BAUD=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.baudRate = static_cast<std::int32_t>(ParseNumber(v, 10));
     }},
    {"/SPEED=", Match::prefix,
     [](Parse& r, std::string_view v, std::string_view) {
         r.settings.speed = v == "MAX" ? kSpeedMax : static_cast<std::int32_t>(ParseNumber(v, 10));
         if (r.settings.speed == 0 || r.settings.speed < kSpeedMax)
             throw RunError(ErrorCode::IllegalNumber);
     }},
    {"/8BIT", Match::whole,
     [](Parse& r, std::string_view, std::string_view) {
         if (r.settings.only16Bit)
             exclusive(r);
         r.settings.only8Bit = true;
     }},
    {"/16BIT", Match::whole,
     [](Parse& r, std::string_view, std::string_view) {
         if (r.settings.only8Bit)
             exclusive(r);
         r.settings.only16Bit = true;
     }},
    {"/XC16X", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { r.settings.xc16x = true; }},
    {"/RESET=", Match::prefix, applyResetOption},
    {"/SERIAL=", Match::prefix, applySerialOption},
    {"/SERIAL-FILE=", Match::prefix, applySerialFile},
    {"/LOG=", Match::prefix, applyLogOption},
    {"--JSON", Match::whole,
     [](Parse& r, std::string_view, std::string_view) { r.settings.json = true; }},
}};

void applyOption(Parse& cmd, char* argument) {
    const std::string original(argument);
    UpcaseArgument(argument);
    const std::string_view upper(argument);
    for (const OptionRow& row : kOptions) {
        const bool matches =
            row.match == Match::whole ? upper == row.text : upper.starts_with(row.text);
        if (matches) {
            const auto valueAt = row.text.size();
            row.apply(cmd, upper.substr(valueAt), std::string_view(original).substr(valueAt));
            return;
        }
    }
    cmd.console.print("ParseCmdLine: %s\n", argument);
    throw RunError(ErrorCode::IllegalOption);
}

Operation parseFunction(Parse&, char* argument) {
    UpcaseArgument(argument);
    const std::string_view function(argument);
    if (function == "/P")
        return Operation::program;
    if (function == "/R")
        return Operation::read;
    if (function == "/V")
        return Operation::verify;
    throw RunError(ErrorCode::IllegalFunction);
}

// A message of its own, no error line.
[[noreturn]] void refuse(Parse& cmd, const char* message, int exitStatus) {
    cmd.console.print("%s", message);
    throw RunError(exitStatus, "");
}

std::uint64_t inputFileSize(Parse& cmd) {
    HostFile file(cmd.settings.fileName, "rb");
    if (!file.isOpen())
        throw RunError(ErrorCode::InputFileNotFound);
    std::error_code error;
    const auto size = std::filesystem::file_size(cmd.settings.fileName, error);
    if (error)
        throw RunError(ErrorCode::InputFileNotFound);
    return size;
}

// Lengths stay below the "to the end" marker; the flash size cuts them later anyway.
std::uint32_t asLength(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, kLengthToEnd - 1));
}

std::string readInput(Parse& cmd, std::uint64_t size) {
    std::string text(static_cast<std::size_t>(size), '\0');
    HostFile file(cmd.settings.fileName, "rb");
    if (!file.isOpen() || std::fread(text.data(), 1, text.size(), file.get()) != text.size()) {
        cmd.console.print("Error trying to read data from file %s\n",
                          cmd.settings.fileName.c_str());
        throw RunError(exit_status::inputFile, "");
    }
    return text;
}

// A HEX or S-record file is read and checked whole here, before the port is opened. Its
// addresses place it, so /FO= has no meaning for it; /O= and /L= choose a window of the device.
void loadRecordFile(Parse& cmd, ImageFormat format, const std::string& text) {
    const RunSettings& s = cmd.settings;
    ImageRead read = format == ImageFormat::intelHex ? ReadIntelHex(text) : ReadSRecords(text);
    if (read.fault) {
        cmd.console.print("%s line %u: %s\n", s.fileName.c_str(),
                          static_cast<unsigned>(read.fault->line), read.fault->what.c_str());
        throw RunError(exit_status::inputFile, "");
    }
    if (read.image.empty()) {
        cmd.console.print("%s: the file holds no data records\n", s.fileName.c_str());
        throw RunError(exit_status::inputFile, "");
    }
    if (s.fileOffset != 0) {
        cmd.console.print(
            "ParseCmdLine: /FILE-OFFSET= does not apply to the HEX or S-record file %s\n",
            s.fileName.c_str());
        throw RunError(ErrorCode::IllegalOption);
    }
    cmd.image = std::move(read.image);
}

// Sums are taken in 64 bits, so /FO= plus /L= can never wrap into a small number.
// A file named as HEX or S-records that holds neither would otherwise go to the flash as raw
// bytes, its text and all.
void refuseMisnamedFile(Parse& cmd) {
    const ImageFormat named = FormatNamedBy(cmd.settings.fileName);
    if (named == ImageFormat::raw)
        return;
    const char* what = named == ImageFormat::intelHex ? "Intel HEX records" : "S-records";
    cmd.console.print("%s: the file's name promises %s, but it holds none\n",
                      cmd.settings.fileName.c_str(), what);
    throw RunError(exit_status::inputFile, "");
}

void checkInputFile(Parse& cmd) {
    RunSettings& s = cmd.settings;
    const std::uint64_t size = inputFileSize(cmd);
    if (size == 0)
        refuse(cmd, "parseCmdLine Error: Input file has Size 0!!!\n", exit_status::inputFile);
    const std::string head = readInput(cmd, std::min<std::uint64_t>(size, kDetectBytes));
    if (const ImageFormat format = DetectFormat(head); format != ImageFormat::raw) {
        loadRecordFile(cmd, format, size == head.size() ? head : readInput(cmd, size));
        return;
    }
    refuseMisnamedFile(cmd);
    if (s.fileOffset > size)
        throw RunError(ErrorCode::FileOffsetRange);
    const std::uint64_t available = size - s.fileOffset;
    if (s.length == kLengthToEnd) {
        s.length = asLength(available);
    } else if (s.fileOffset == 0) {
        if (s.length > size) {
            cmd.console.print("Warning: Value of option /L= out of range\n");
            s.length = asLength(size);
        }
    } else if (s.length > available) {
        cmd.console.print("Warning Value of option /L= plus /FILE-OFFSET= out of range\n");
        s.length = asLength(available);
    }
}

bool serialInsideImage(const Parse& cmd, std::uint64_t address) {
    const RunSettings& s = cmd.settings;
    constexpr std::uint64_t kBytes = 4;
    if (!cmd.image) {
        const std::uint64_t first = std::uint64_t{s.deviceBase} + s.flashOffset;
        return address >= first && address + kBytes <= first + s.length;
    }
    return std::any_of(cmd.image->ranges().begin(), cmd.image->ranges().end(),
                       [&](const auto& range) {
                           return address >= range.first && address + kBytes <= endOf(range);
                       });
}

// A serial number goes into the image that /P programs, inside its data; the counter file is
// named after the image unless /SERIAL-FILE= names it.
void settleSerial(Parse& cmd) {
    RunSettings& s = cmd.settings;
    if (!s.serial) {
        if (!cmd.serialFile.empty()) {
            cmd.console.print("ParseCmdLine: /SERIAL-FILE= needs /SERIAL=\n");
            throw RunError(ErrorCode::IllegalOption);
        }
        return;
    }
    if (s.operation != Operation::program) {
        cmd.console.print("ParseCmdLine: /SERIAL= goes with /P only\n");
        throw RunError(ErrorCode::IllegalOption);
    }
    if (!serialInsideImage(cmd, s.serial->address)) {
        cmd.console.print(
            "ParseCmdLine: /SERIAL=%X: the number's 4 bytes at 0x%X lie outside the data of %s\n",
            s.serial->address, s.serial->address, s.fileName.c_str());
        throw RunError(ErrorCode::IllegalOption);
    }
    s.serial->counterFile = cmd.serialFile.empty() ? s.fileName + ".serial" : cmd.serialFile;
}

}  // namespace

std::uint32_t ParseNumber(std::string_view text, int base) {
    const std::string copy(text);
    const long long value = std::strtoll(copy.c_str(), nullptr, base);
    const long long clamped = std::clamp<long long>(value, std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max());
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
}

void UpcaseArgument(char* argument) {
    for (char* c = argument; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z')
            *c = static_cast<char>(*c - 'a' + 'A');
    }
}

void PrintUsage(Console& out) {
    out.print("Usage: Halvard /function [filename] [/option_1] ... [/option_n]\n");
    out.print("Supported functions:\n");
    out.print("\t/P      : Program a Flash Device\n");
    out.print("\t/R      : Read a Flash Device to file\n");
    out.print("\t/V      : Verify a Flash Device with file\n");
    out.print("\n");
    out.print("Supported Options:\n");
    out.print("/OFFSET=\t/O=\t\t/FILE-OFFSET=\t/FO=\n");
    out.print("/DEVICE-BASE=\t/DB=\t\t/LENGTH=\t/L=\n");
    out.print("/ERASEALL\t/NOERASE\t/PLAIN\n");
    out.print("/COM1\t\t/COM2\t\t/COM3\t\t/COM4\n");
    out.print("/COM=\t\t(Default COM=1)\n");
    out.print("/BAUD=\t\t(Default %d)\n", kDefaultBaudRate);
    out.print("/SPEED=\t\t(n or MAX, after the start)\n");
    out.print("/8BIT\t\t/16BIT\n");
    out.print("/XC16X\n");
    out.print("/RESET=\t\tDTR-RESET, RTS-RESET, or steps DTR+ DTR- RTS+ RTS- ms (see README)\n");
    out.print("/COM=a,b,...\tthe function on every board at once\n");
    out.print("/SERIAL=\taddr[:first[:step]]\t/SERIAL-FILE=\n");
    out.print("/LOG=\t\tCSV row per board\t--json\n");
}

Request RequestOf(int argc, char* argv[]) {
    if (argc < 2)
        return Request::run;
    const std::string_view first(argv[1]);
    if (first == "--help" || first == "-h" || first == "/?")
        return Request::help;
    if (first == "--version")
        return Request::version;
    if (first == "--ports")
        return Request::ports;
    return Request::run;
}

CommandLine ParseCmdLine(Console& console, int argc, char* argv[]) {
    CommandLine parsed;
    Parse cmd{console, parsed.settings, parsed.image, {}};
    if (argc < 2 || RequestOf(argc, argv) == Request::help) {
        PrintUsage(console);
        throw RunError(exit_status::usage, "");
    }
    cmd.settings.operation = parseFunction(cmd, argv[1]);
    if (argc < 3)
        throw RunError(ErrorCode::MissingFilename);
    cmd.settings.fileName = argv[2];
    for (int i = 3; i < argc; ++i)
        applyOption(cmd, argv[i]);
    if (cmd.settings.fileName.empty())
        throw RunError(ErrorCode::MissingFilename);
    if (cmd.settings.operation != Operation::read)
        checkInputFile(cmd);
    if (cmd.settings.length != kLengthToEnd && cmd.settings.length % 2 != 0) {
        refuse(cmd, "parseCmdLine Error: Size must be Even!!!\n", exit_status::oddNumber);
    }
    if (cmd.settings.flashOffset % 2 != 0) {
        refuse(cmd, "parseCmdLine Error: Offset must be Even!!!\n", exit_status::oddNumber);
    }
    settleSerial(cmd);
    return parsed;
}

void SetTypedPort(RunSettings& settings, std::string_view typed) {
    // A device path is shown and opened as typed; anything else is a COM port label.
    const bool path = typed.starts_with('/') || typed.starts_with('\\');
    std::string label(typed);
    UpcaseArgument(label.data());
    settings.portName = path ? std::string(typed) : "COM" + label;
    settings.portDevice = std::string(typed);
}

PortChoice PortOf(const RunSettings& settings) {
    return {settings.portName, PortDeviceFor(settings.portDevice, settings.portIndex),
            settings.baudRate, settings.xc16x};
}

BoardSettings BoardOf(const RunSettings& settings) {
    return {settings.portName,    PortDeviceFor(settings.portDevice, settings.portIndex),
            settings.xc16x,       settings.speed,
            settings.resetBefore, settings.resetAfter};
}

FlashSettings FlashOf(const RunSettings& settings) {
    return {settings.deviceBase, settings.only8Bit, settings.only16Bit};
}

JobSettings JobOf(const RunSettings& settings) {
    return {settings.operation, settings.fileName,   settings.flashOffset,
            settings.length,    settings.fileOffset, settings.eraseAll,
            settings.noErase,   settings.plain,      {}};
}

}  // namespace halvard
