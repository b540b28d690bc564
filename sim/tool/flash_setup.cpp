#include "sim/tool/flash_setup.hpp"

#include <charconv>

namespace halvard::sim::tool {

namespace {

std::optional<std::uint64_t> parseNumber(std::string_view text, int base) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

constexpr std::uint64_t kNsPerMs = 1'000'000;

}  // namespace

std::string applyFault(FlashChip& chip, const FaultRequest& fault) {
    if (fault.name == "stuck-cell") {
        const auto offset = parseNumber(fault.argument, 16);
        if (!offset || *offset >= chip.size())
            return "stuck-cell needs a hexadecimal flash offset";
        chip.addStuckCell(static_cast<std::uint32_t>(*offset));
        return {};
    }
    if (fault.name == "fail-erase") {
        const auto sector = parseNumber(fault.argument, 10);
        if (!sector || *sector >= chip.sectorCount())
            return "fail-erase needs a sector number";
        chip.failErase(static_cast<unsigned>(*sector));
        return {};
    }
    if (fault.name == "erase-ms") {
        const auto ms = parseNumber(fault.argument, 10);
        if (!ms)
            return "erase-ms needs a time in milliseconds";
        chip.setEraseTimePerSector(*ms * kNsPerMs);
        return {};
    }
    return "unknown fault '" + fault.name + "' (known: stuck-cell, fail-erase, erase-ms)";
}

std::string equipFlash(const ToolOptions& options, FlashSetup& setup) {
    if (isEmptyBusName(options.flashChip)) {
        if (!options.flashImage.empty() || !options.faults.empty()) {
            return "--flash-image and --fault need a flash chip";
        }
        return {};
    }
    const ChipModel* model = findChipModel(options.flashChip);
    if (model == nullptr)
        return "unknown flash chip '" + options.flashChip + "'";
    // Paced boards are meant to show real durations, so their flash takes datasheet times.
    setup.chip.emplace(*model, options.board.paced ? datasheetTiming() : fastTiming());
    for (const FaultRequest& fault : options.faults) {
        if (std::string why = applyFault(*setup.chip, fault); !why.empty())
            return why;
    }
    if (!options.flashImage.empty()) {
        try {
            setup.image.emplace(options.flashImage, *setup.chip);
        } catch (const FlashImageError& error) {
            return error.what();
        }
    }
    setup.port.emplace(*setup.chip);
    return {};
}

}  // namespace halvard::sim::tool
