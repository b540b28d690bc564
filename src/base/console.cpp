#include "base/console.hpp"

namespace halvard {

void Console::print(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(format, args);
    va_end(args);
}

void Console::progress(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(format, args);
    va_end(args);
}

void Console::write(const char* format, std::va_list args) {
    std::vfprintf(out_, format, args);
    std::fflush(out_);
}

void Console::flush() {
    std::fflush(out_);
}

}  // namespace halvard
