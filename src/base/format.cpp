#include "base/format.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/errors.hpp"

namespace halvard {

std::string FormatList(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (size > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<std::size_t>(size));
    }
    va_end(again);
    return text;
}

std::string Format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = FormatList(format, args);
    va_end(args);
    return text;
}

std::string ErrorLine(ErrorCode code) {
    return Format("Error %d: %s\n", status(code), textOf(code).data());
}

}  // namespace halvard
