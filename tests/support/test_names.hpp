#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace halvard::testing {

// Turns text (a fault, an option value, a chip key) into a name gtest accepts for a parametrised
// case: letters and digits stay, every other run of characters becomes one '_' (none at either
// end), a minus sign that starts a number reads "minus"; empty text is "empty".
std::string caseName(std::string_view text);

// Names each case after one text member of its parameter: NamedAfter<&FaultCase::fault>{}.
template <auto member>
struct NamedAfter {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return caseName(info.param.*member);
    }
};

// Names each case after its parameter when the parameter is text itself.
struct NamedAfterText {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return caseName(info.param);
    }
};

}  // namespace halvard::testing
