// Placeholder until the serial backends are built; removed by that work.
#include "link/system_line.hpp"

namespace halvard {
LineOpenResult OpenSystemLine(const LineRequest&) {
    return LineOpenResult{nullptr, LineOpenError::openFailed};
}
}  // namespace halvard
