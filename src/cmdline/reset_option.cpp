#include "cmdline/reset_option.hpp"

#include <array>
#include <charconv>

namespace halvard {

namespace {

using Action = ModemStep::Action;

struct Preset {
    std::string_view name;
    ModemSequence before;
    ModemSequence after;
};

// Reset is held 50 ms, and the boot pin 50 ms past it: the CPU reads its boot pin as RESET
// goes inactive.
const std::array<Preset, 2>& presets() {
    static const std::array<Preset, 2> table{{
        {"DTR-RESET",
         {{Action::setRts},
          {Action::setDtr},
          {Action::wait, 50},
          {Action::clearDtr},
          {Action::wait, 50}},
         {{Action::clearRts}, {Action::setDtr}, {Action::wait, 50}, {Action::clearDtr}}},
        {"RTS-RESET",
         {{Action::setDtr},
          {Action::setRts},
          {Action::wait, 50},
          {Action::clearRts},
          {Action::wait, 50}},
         {{Action::clearDtr}, {Action::setRts}, {Action::wait, 50}, {Action::clearRts}}},
    }};
    return table;
}

std::string parseStep(std::string_view word, ModemSequence& sequence) {
    constexpr std::array<std::pair<std::string_view, Action>, 4> kLineSteps{{
        {"DTR+", Action::setDtr},
        {"DTR-", Action::clearDtr},
        {"RTS+", Action::setRts},
        {"RTS-", Action::clearRts},
    }};
    for (const auto& [text, action] : kLineSteps) {
        if (word == text) {
            sequence.push_back({action});
            return {};
        }
    }
    std::uint32_t ms = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), ms);
    if (word.empty() || error != std::errc{} || end != word.data() + word.size())
        return "'" + std::string(word) + "' is no step (DTR+, DTR-, RTS+, RTS-, or a wait in ms)";
    if (ms > kMaxResetWaitMs)
        return "a wait of " + std::string(word) + " ms is longer than 10000 ms";
    sequence.push_back({Action::wait, ms});
    return {};
}

std::string parseSequence(std::string_view text, bool after, ModemSequence& sequence) {
    sequence.clear();
    if (text.empty())
        return {};
    for (const Preset& preset : presets()) {
        if (text == preset.name) {
            sequence = after ? preset.after : preset.before;
            return {};
        }
    }
    for (;;) {
        const std::size_t comma = text.find(',');
        if (std::string why = parseStep(text.substr(0, comma), sequence); !why.empty())
            return why;
        if (comma == std::string_view::npos)
            return {};
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

std::string ParseResetOption(std::string_view value, RunSettings& settings) {
    const std::size_t colon = value.find(':');
    if (colon != std::string_view::npos && value.find(':', colon + 1) != std::string_view::npos)
        return "more than one ':'";
    if (std::string why = parseSequence(value.substr(0, colon), false, settings.resetBefore);
        !why.empty()) {
        return why;
    }
    if (colon == std::string_view::npos) {
        settings.resetAfter.clear();
        return {};
    }
    return parseSequence(value.substr(colon + 1), true, settings.resetAfter);
}

}  // namespace halvard
