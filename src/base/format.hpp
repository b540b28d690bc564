#pragma once

#include <cstdarg>
#include <string>

namespace halvard {

// The text a printf format makes, for lines that are printed later (an error's message).
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
std::string FormatList(const char* format, std::va_list args);

}  // namespace halvard
