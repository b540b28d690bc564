#include "base/console.hpp"

#include "base/format.hpp"

namespace halvard {

void Console::print(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(format, args);
    va_end(args);
}

void Console::completed(double percent, std::uint64_t bytes) {
    if (sink_ == nullptr) {
        print("Completed %2.1f%%\r", percent);
        return;
    }
    sink_->completed(Format("Completed %2.1f%%", percent), percent, bytes);
}

void Console::write(const char* format, std::va_list args) {
    if (sink_ != nullptr) {
        sink_->text(FormatList(format, args));
        return;
    }
    std::vfprintf(out_, format, args);
    std::fflush(out_);
}

void Console::flush() {
    if (out_ != nullptr)
        std::fflush(out_);
}

}  // namespace halvard
