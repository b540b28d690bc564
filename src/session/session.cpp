#include "session/session.hpp"

#include "session/rate_switch.hpp"
#include "target/target_image.hpp"

namespace halvard {

Session::Session(std::unique_ptr<SerialLine> line, Clock& clock, Console& console,
                 std::int32_t baudRate, BoardSettings settings, FlashSettings flashSettings)
    : link(std::move(line), clock, console, baudRate),
      settings(std::move(settings)),
      algorithmOffset(FindAlgorithmOffset()),
      flash(link, flashSettings) {}

Session::~Session() {
    if (!endStatus_)
        return;
    // Moving back is a courtesy to the next run: a line that fails it changes nothing now.
    try {
        RestoreStartRate(*this, *endStatus_);
    } catch (const RunError&) {
    }
}

}  // namespace halvard
