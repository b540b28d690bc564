#include "app/serial_counter.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/errors.hpp"
#include "base/format.hpp"
#include "base/shared_file.hpp"

namespace halvard {

namespace {

constexpr const char* kHeading =
    "# Halvard serial numbers: the next one, and those whose board failed\n";

struct Counter {
    std::uint32_t next = 0;
    std::vector<std::uint32_t> failed;
};

[[noreturn]] void refuse(const SerialSettings& serial, const std::string& why) {
    throw RunError(exit_status::inputFile,
                   Format("Serial counter %s: %s\n", serial.counterFile.c_str(), why.c_str()));
}

std::optional<std::uint32_t> hexValue(const std::string& text) {
    if (text.size() != 10 || text.compare(0, 2, "0x") != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
        return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16));
}

// A line that is neither a comment nor one of the two keys means the file is not what this
// program wrote: starting again at the first number could hand out numbers twice.
Counter parse(const SerialSettings& serial, const std::string& text) {
    Counter counter;
    bool haveNext = false;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const auto value =
            equals == std::string::npos ? std::nullopt : hexValue(line.substr(equals + 1));
        if (value && key == "next" && !haveNext) {
            counter.next = *value;
            haveNext = true;
        } else if (value && key == "failed") {
            counter.failed.push_back(*value);
        } else {
            refuse(serial, Format("line %u is not next=0x... or failed=0x..., so the file is "
                                  "not a counter (mend or remove it)",
                                  number));
        }
    }
    if (!haveNext)
        refuse(serial, "the file holds no next=0x... line (mend or remove it)");
    return counter;
}

Counter read(const SerialSettings& serial) {
    std::error_code error;
    if (!std::filesystem::exists(serial.counterFile, error) && !error)
        return {serial.first, {}};
    std::ifstream in(serial.counterFile, std::ios::binary);
    if (!in || error)
        refuse(serial, "cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        refuse(serial, "cannot be read");
    return parse(serial, text.str());
}

std::string textOf(const Counter& counter) {
    std::string text = kHeading + Format("next=0x%08X\n", counter.next);
    for (const std::uint32_t number : counter.failed)
        text += Format("failed=0x%08X\n", number);
    return text;
}

void lockOrRefuse(const SerialSettings& serial, const FileLock& lock) {
    if (!lock.failure().empty())
        refuse(serial, "cannot be locked: " + lock.failure());
}

}  // namespace

std::vector<std::uint32_t> TakeSerialNumbers(const SerialSettings& serial, std::size_t count) {
    const FileLock lock(serial.counterFile + ".lock");
    lockOrRefuse(serial, lock);
    Counter counter = read(serial);
    const std::uint64_t after = counter.next + std::uint64_t{serial.step} * count;
    if (after > 0xFFFFFFFFull)
        refuse(serial, Format("%u more numbers from 0x%08X run past 32 bits",
                              static_cast<unsigned>(count), counter.next));
    std::vector<std::uint32_t> numbers;
    for (std::size_t i = 0; i < count; ++i)
        numbers.push_back(
            static_cast<std::uint32_t>(counter.next + std::uint64_t{serial.step} * i));
    counter.next = static_cast<std::uint32_t>(after);
    if (const std::string why = ReplaceFileContents(serial.counterFile, textOf(counter));
        !why.empty())
        throw RunError(ErrorCode::CreateFile, "Serial counter " + serial.counterFile +
                                                  " cannot be written: " + why + "\n");
    return numbers;
}

std::string RecordFailedSerials(const SerialSettings& serial,
                                const std::vector<std::uint32_t>& failed) {
    if (failed.empty())
        return {};
    const FileLock lock(serial.counterFile + ".lock");
    if (!lock.failure().empty())
        return lock.failure();
    try {
        Counter counter = read(serial);
        counter.failed.insert(counter.failed.end(), failed.begin(), failed.end());
        return ReplaceFileContents(serial.counterFile, textOf(counter));
    } catch (const RunError& error) {
        return error.message();
    }
}

}  // namespace halvard
