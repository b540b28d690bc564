#pragma once

#include <string>

namespace halvard {

// The text a printf format makes, for lines that are printed later (an error's message).
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);

}  // namespace halvard
