#include "sim/board/faults.hpp"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

#include "sim/flash/flash_chip.hpp"

namespace halvard::sim {

namespace {

std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::uint8_t> parseByte(std::string_view text) {
    const auto value = parseUnsigned(text, 16);
    if (!value || *value > 0xFF)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

// A probability above 0 and at most 1, such as 0.001 or 1e-4.
std::optional<double> parseRate(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double rate = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !(rate > 0.0) || rate > 1.0)
        return std::nullopt;
    return rate;
}

std::optional<LineNoise> parseNoise(std::string_view text) {
    const auto comma = text.find(',');
    const auto rate = parseRate(text.substr(0, comma));
    if (!rate)
        return std::nullopt;
    LineNoise noise{*rate, 1};
    if (comma != std::string_view::npos) {
        const auto seed = parseUnsigned(text.substr(comma + 1), 10);
        if (!seed)
            return std::nullopt;
        noise.seed = *seed;
    }
    return noise;
}

struct FaultKind {
    enum class Argument { none, optional, required };
    Argument argument;
    std::string_view form;  // how the help shows it
    // Stores the argument (empty when none was given); false when it is not acceptable.
    std::function<bool(FaultSet&, std::string_view)> apply;
};

using Argument = FaultKind::Argument;

bool setFlag(bool& flag) {
    flag = true;
    return true;
}

template <typename T, typename Parsed>
bool store(std::optional<T>& into, const std::optional<Parsed>& parsed) {
    if (!parsed)
        return false;
    into = static_cast<T>(*parsed);
    return true;
}

// In the order the help lists them.
const std::vector<std::pair<std::string_view, FaultKind>>& faultKinds() {
    static const std::vector<std::pair<std::string_view, FaultKind>> kinds{
        {"silent", {Argument::none, "silent", [](FaultSet& f, auto) { return setFlag(f.silent); }}},
        {"echo", {Argument::none, "echo", [](FaultSet& f, auto) { return setFlag(f.echo); }}},
        {"id",
         {Argument::required, "id=HEX",
          [](FaultSet& f, std::string_view a) { return store(f.loaderId, parseByte(a)); }}},
        {"no-ack",
         {Argument::none, "no-ack",
          [](FaultSet& f, auto) {
              f.acknowledge = AcknowledgeFault::missing;
              return true;
          }}},
        {"bad-ack",
         {Argument::optional, "bad-ack[=HEX]",
          [](FaultSet& f, std::string_view a) {
              const auto byte = a.empty() ? std::optional(kDefaultWrongAcknowledge) : parseByte(a);
              if (!byte || *byte == kBootstrapAcknowledge)
                  return false;
              f.acknowledge = AcknowledgeFault::wrong;
              f.wrongAcknowledge = *byte;
              return true;
          }}},
        {"corrupt-upload",
         {Argument::required, "corrupt-upload=N",
          [](FaultSet& f, std::string_view a) {
              const auto index = parseUnsigned(a, 10);
              return index && *index < kMonitorUploadSize && store(f.corruptUpload, index);
          }}},
        {"running",
         {Argument::none, "running", [](FaultSet& f, auto) { return setFlag(f.running); }}},
        {"cpu-id",
         {Argument::required, "cpu-id=HEX",
          [](FaultSet& f, std::string_view a) {
              const auto id = parseUnsigned(a, 16);
              return id && *id <= 0xFFFF'FFFF && store(f.cpuId, id);
          }}},
        {"flash",
         {Argument::required, "flash=NAME|none|ID",
          [](FaultSet& f, std::string_view a) {
              if (!isEmptyBusName(a) && findChipModel(a) == nullptr)
                  return false;
              f.flash = std::string(a);
              return true;
          }}},
        {"stuck",
         {Argument::required, "stuck=OFFSET",
          [](FaultSet& f, std::string_view a) {
              const auto offset = parseUnsigned(a, 16);
              if (!offset || *offset > 0xFF'FFFF)
                  return false;
              f.stuckCells.push_back(static_cast<std::uint32_t>(*offset));
              return true;
          }}},
        {"erase-fail",
         {Argument::required, "erase-fail=SECTOR",
          [](FaultSet& f, std::string_view a) {
              const auto sector = parseUnsigned(a, 10);
              if (!sector || *sector > 0xFFFF)
                  return false;
              f.failingSectors.push_back(static_cast<unsigned>(*sector));
              return true;
          }}},
        {"slow-erase",
         {Argument::required, "slow-erase=MS",
          [](FaultSet& f, std::string_view a) {
              const auto ms = parseUnsigned(a, 10);
              return ms && *ms <= 3'600'000 && store(f.eraseMsPerSector, ms);
          }}},
        {"drop",
         {Argument::required, "drop=N",
          [](FaultSet& f, std::string_view a) {
              const auto n = parseUnsigned(a, 10);
              if (!n || *n == 0)
                  return false;
              f.droppedBytes.push_back(*n);
              return true;
          }}},
        {"noise",
         {Argument::required, "noise=RATE[,SEED]",
          [](FaultSet& f, std::string_view a) { return store(f.noise, parseNoise(a)); }}},
        {"hangup",
         {Argument::required, "hangup=N",
          [](FaultSet& f, std::string_view a) {
              return store(f.hangupAfter, parseUnsigned(a, 10));
          }}},
        {"split-answer",
         {Argument::none, "split-answer",
          [](FaultSet& f, auto) { return setFlag(f.splitAnswer); }}},
    };
    return kinds;
}

const FaultKind* findKind(std::string_view name) {
    for (const auto& [kindName, kind] : faultKinds()) {
        if (kindName == name)
            return &kind;
    }
    return nullptr;
}

}  // namespace

std::string faultNames() {
    std::string names;
    for (const auto& [name, kind] : faultKinds()) {
        if (!names.empty())
            names += ", ";
        names += kind.form;
    }
    return names;
}

std::string addFault(FaultSet& faults, std::string_view text) {
    const auto equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const bool hasArgument = equals != std::string_view::npos;
    const std::string_view argument = hasArgument ? text.substr(equals + 1) : std::string_view{};
    const FaultKind* kind = findKind(name);
    if (kind == nullptr)
        return "unknown fault '" + std::string(name) + "' (known: " + faultNames() + ")";
    if (kind->argument == Argument::none && hasArgument)
        return "the fault '" + std::string(name) + "' takes no argument";
    if (kind->argument == Argument::required && argument.empty())
        return "the fault needs an argument: " + std::string(kind->form);
    if (!kind->apply(faults, argument)) {
        return "bad argument '" + std::string(argument) + "' for the fault " +
               std::string(kind->form);
    }
    return {};
}

}  // namespace halvard::sim
