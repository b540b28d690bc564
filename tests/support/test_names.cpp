#include "support/test_names.hpp"

#include <cctype>

namespace halvard::testing {

std::string caseName(std::string_view text) {
    const auto isAlnum = [&](std::size_t i) {
        return std::isalnum(static_cast<unsigned char>(text[i])) != 0;
    };
    std::string name;
    bool gap = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isAlnum(i)) {
            if (gap && !name.empty()) {
                name += '_';
            }
            gap = false;
            name += text[i];
        } else if (text[i] == '-' && i + 1 < text.size() &&
                   std::isdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
                   (i == 0 || !isAlnum(i - 1))) {
            name += name.empty() ? "minus" : "_minus";
            gap = true;
        } else {
            gap = true;
        }
    }
    return name.empty() ? "empty" : name;
}

}  // namespace halvard::testing
