#include "sim/board/cpu_models.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "sim/c166/bus.hpp"

namespace halvard::sim {

namespace {

constexpr std::uint8_t kBootIdWithoutIdRegisters = 0xC5;
constexpr std::uint8_t kBootIdWithIdRegisters = 0xD5;

// The RAM sizes of the C16x parts are assumed from their data sheets as we know them: the C167CR
// 2 KB and the C167CS 3 KB, both ending below the SFRs. Of the C161PI and C161RI our board notes
// know only "at least 1 KB at 0xFA00-0xFDFF", so they get exactly that: code that fits there fits
// any of them. The XC16x has the dual-port RAM at 0xF600-0xFDFF (assumed, as on the C167CR) and
// the PSRAM its loader stores the code in (0xE0'0000; 64 KB assumed, far more than the code uses).
constexpr AddressRange kRam2K{0xF600, 0xFE00};
constexpr AddressRange kRam3K{0xF200, 0xFE00};
constexpr AddressRange kRam1K{0xFA00, 0xFE00};
constexpr AddressRange kNoPsram{};
constexpr AddressRange kXc16xPsram{0xE00000, 0xE10000};

// The XC16x has no row of its own in the host's CPU table, so it reports the C167CS word: the host
// then accepts it and prints the C167CS line.
constexpr std::array kModels{
    CpuModel{"c167cr", "C167CR", kBootIdWithoutIdRegisters, 0x0000, 0x0000, LoaderKind::c16x,
             kRam2K, kNoPsram},
    CpuModel{"c167cs", "C167CS", kBootIdWithIdRegisters, 0x1820, 0x0C00, LoaderKind::c16x, kRam3K,
             kNoPsram},
    CpuModel{"c161pi", "C161PI", kBootIdWithIdRegisters, 0x1820, 0x1300, LoaderKind::c16x, kRam1K,
             kNoPsram},
    CpuModel{"c161ri", "C161RI", kBootIdWithIdRegisters, 0x1820, 0x0900, LoaderKind::c16x, kRam1K,
             kNoPsram},
    CpuModel{"xc16x", "XC16x", kBootIdWithIdRegisters, 0x1820, 0x0C00, LoaderKind::xc16x, kRam2K,
             kXc16xPsram},
};

// The board hands the core its RAM in whole blocks for the fast path, so no block may hold both
// RAM and an address that must stop the board.
constexpr bool onBlockBoundaries(AddressRange range) {
    return range.first % kDirectBlockBytes == 0 && range.end % kDirectBlockBytes == 0;
}
static_assert(std::all_of(kModels.begin(), kModels.end(), [](const CpuModel& model) {
    return onBlockBoundaries(model.internalRam) && onBlockBoundaries(model.psram);
}));

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
