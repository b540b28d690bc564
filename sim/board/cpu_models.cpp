#include "sim/board/cpu_models.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace halvard::sim {

namespace {

constexpr std::uint8_t kBootIdWithoutIdRegisters = 0xC5;
constexpr std::uint8_t kBootIdWithIdRegisters = 0xD5;

// The XC16x has no row of its own in the host's CPU table, so it reports the C167CS word: the host
// then accepts it and prints the C167CS line.
constexpr std::array kModels{
    CpuModel{"c167cr", kBootIdWithoutIdRegisters, 0x0000, 0x0000, LoaderKind::c16x},
    CpuModel{"c167cs", kBootIdWithIdRegisters, 0x1820, 0x0C00, LoaderKind::c16x},
    CpuModel{"c161pi", kBootIdWithIdRegisters, 0x1820, 0x1300, LoaderKind::c16x},
    CpuModel{"c161ri", kBootIdWithIdRegisters, 0x1820, 0x0900, LoaderKind::c16x},
    CpuModel{"xc16x", kBootIdWithIdRegisters, 0x1820, 0x0C00, LoaderKind::xc16x},
};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::span<const CpuModel> cpuModels() {
    return kModels;
}

std::optional<CpuModel> findCpuModel(std::string_view name) {
    for (const CpuModel& model : kModels) {
        if (sameIgnoringCase(model.name, name))
            return model;
    }
    return std::nullopt;
}

CpuModel withIdWord(CpuModel model, std::uint32_t idWord) {
    model.idManuf = static_cast<std::uint16_t>(idWord >> 16);
    model.idChip = static_cast<std::uint16_t>(idWord & 0xFFFF);
    if (idWord != 0)
        model.bootId = kBootIdWithIdRegisters;
    return model;
}

}  // namespace halvard::sim
