#include "run/console.hpp"

#include <cstdarg>

namespace halvard {

void Console::print(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
}

void Console::progress(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    std::fflush(out_);
}

void Console::flush() {
    std::fflush(out_);
}

}  // namespace halvard
