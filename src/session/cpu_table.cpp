#include "session/cpu_table.hpp"

#include <algorithm>
#include <string>

#include "monitor/monitor.hpp"
#include "session/bringup.hpp"
#include "session/session.hpp"

namespace halvard {

namespace {
constexpr std::uint32_t kIdManufacturer = 0xF07E;
constexpr std::uint32_t kIdChip = 0xF07C;
}  // namespace

bool IsBootId(std::uint8_t b, std::span<const CpuType> table) {
    return std::any_of(table.begin(), table.end(),
                       [b](const CpuType& cpu) { return cpu.bootId == b; });
}

const CpuType* FindCpu(std::uint32_t id, std::span<const CpuType> table) {
    const auto found = std::find_if(table.begin(), table.end(), [id](const CpuType& cpu) {
        return (id & cpu.idMask) == cpu.idValue;
    });
    return found == table.end() ? nullptr : &*found;
}

int CpuRevision(const CpuType& cpu, std::uint32_t id) {
    return static_cast<int>(id & ~cpu.idMask) + 1;
}

bool IdentifyCpu(Session& session) {
    const std::uint32_t manufacturer = targetWordRead(session.link, kIdManufacturer);
    const std::uint32_t chip = targetWordRead(session.link, kIdChip);
    const std::uint32_t id = manufacturer << 16 | chip;
    const CpuType* cpu = FindCpu(id);
    if (cpu == nullptr)
        return false;
    session.cpuName = std::string(cpu->name);
    session.link.console.print("CPU = %s, Revision %d\n", std::string(cpu->name).c_str(),
                               CpuRevision(*cpu, id));
    // The XC16x answers as a C167CS; its dual-port RAM starts at 0xF600.
    session.ramStart = session.settings.xc16x ? 0xF600 : cpu->ramStart;
    return true;
}

}  // namespace halvard
