#include <gtest/gtest.h>

#include <string>

#include "cmdline/reset_option.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

using Action = ModemStep::Action;

struct ResetCase {
    const char* name;
    const char* value;
    ModemSequence before;
    ModemSequence after;
    const char* error;  // "" when the value is a sequence
};

class ResetOption : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetOption, Parses) {
    const ResetCase& c = GetParam();
    RunSettings settings;
    EXPECT_EQ(ParseResetOption(c.value, settings), c.error) << c.value;
    if (std::string(c.error).empty()) {
        EXPECT_EQ(settings.resetBefore, c.before) << c.value;
        EXPECT_EQ(settings.resetAfter, c.after) << c.value;
    }
}

const ModemSequence kDtrResetBoot{
    {Action::setRts}, {Action::setDtr}, {Action::wait, 50}, {Action::clearDtr}, {Action::wait, 50}};
const ModemSequence kRtsResetRun{
    {Action::clearDtr}, {Action::setRts}, {Action::wait, 50}, {Action::clearRts}};

INSTANTIATE_TEST_SUITE_P(
    Values, ResetOption,
    ::testing::Values(
        ResetCase{"dtr_reset_before", "DTR-RESET", kDtrResetBoot, {}, ""},
        ResetCase{"dtr_reset_before_rts_reset_after", "DTR-RESET:RTS-RESET", kDtrResetBoot,
                  kRtsResetRun, ""},
        ResetCase{"steps_and_waits_before",
                  "RTS+,DTR+,10,DTR-,0",
                  {{Action::setRts},
                   {Action::setDtr},
                   {Action::wait, 10},
                   {Action::clearDtr},
                   {Action::wait, 0}},
                  {},
                  ""},
        ResetCase{"steps_after_only",
                  ":RTS-,DTR+,DTR-",
                  {},
                  {{Action::clearRts}, {Action::setDtr}, {Action::clearDtr}},
                  ""},
        ResetCase{"longest_wait", "10000", {{Action::wait, 10000}}, {}, ""},
        ResetCase{"wait_too_long", "10001", {}, {}, "a wait of 10001 ms is longer than 10000 ms"},
        ResetCase{"empty_step",
                  "DTR+,,DTR-",
                  {},
                  {},
                  "'' is no step (DTR+, DTR-, RTS+, RTS-, or a wait in ms)"},
        ResetCase{"line_without_its_sign",
                  "DTR",
                  {},
                  {},
                  "'DTR' is no step (DTR+, DTR-, RTS+, RTS-, or a wait in ms)"},
        ResetCase{"named_sequence_among_steps",
                  "DTR-RESET,50",
                  {},
                  {},
                  "'DTR-RESET' is no step (DTR+, DTR-, RTS+, RTS-, or a wait in ms)"},
        ResetCase{"negative_wait",
                  "-5",
                  {},
                  {},
                  "'-5' is no step (DTR+, DTR-, RTS+, RTS-, or a wait in ms)"},
        ResetCase{"two_colons", "DTR+:DTR-:RTS+", {}, {}, "more than one ':'"}),
    NamedAfter<&ResetCase::name>{});

}  // namespace
}  // namespace halvard::testing
