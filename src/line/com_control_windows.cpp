// The COM port's rate and modem lines: switching the rate during a run, held to what the driver
// names, and DTR and RTS.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "line/serial_windows_line.hpp"

namespace halvard::com {

// The driver's own read-back decides; a driver that cannot take rates of any size is held
// to the fastest rate it names.
std::optional<std::uint32_t> WindowsLine::setRate(std::uint32_t rate) {
    if (rate == 0 || rate > fastestNamedRate())
        return std::nullopt;
    DCB before{};
    before.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &before))
        gone("rate");
    DCB wanted = before;
    wanted.BaudRate = rate;
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (!SetCommState(handle_, &wanted) || !GetCommState(handle_, &now) ||
        !sameFrame(now, wanted)) {
        SetCommState(handle_, &before);
        return std::nullopt;
    }
    COMMTIMEOUTS timeouts = timeouts_;
    const auto writeRate = static_cast<std::int32_t>(std::min<std::uint32_t>(rate, INT32_MAX));
    timeouts.WriteTotalTimeoutMultiplier = lineTimeouts(writeRate).WriteTotalTimeoutMultiplier;
    if (SetCommTimeouts(handle_, &timeouts))
        timeouts_ = timeouts;
    return now.BaudRate;
}

bool WindowsLine::setModemLine(ModemLine line, bool set) {
    const DWORD function =
        line == ModemLine::dtr ? (set ? SETDTR : CLRDTR) : (set ? SETRTS : CLRRTS);
    return EscapeCommFunction(handle_, function) != 0;
}

std::uint32_t WindowsLine::fastestNamedRate() {
    COMMPROP properties{};
    if (!GetCommProperties(handle_, &properties))
        return 115200;
    if ((properties.dwMaxBaud & BAUD_USER) != 0)
        return UINT32_MAX;
    struct Named {
        DWORD flag;
        std::uint32_t rate;
    };
    constexpr Named kNamed[] = {{BAUD_128K, 128000}, {BAUD_115200, 115200}, {BAUD_57600, 57600},
                                {BAUD_56K, 56000},   {BAUD_38400, 38400},   {BAUD_19200, 19200},
                                {BAUD_9600, 9600}};
    for (const Named& named : kNamed) {
        if ((properties.dwMaxBaud & named.flag) != 0)
            return named.rate;
    }
    return 9600;
}

}  // namespace halvard::com
