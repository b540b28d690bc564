#include "ops/stretches.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <limits>

#include "base/format.hpp"
#include "flash/flash.hpp"
#include "monitor/monitor.hpp"

namespace halvard {

namespace {

bool seekTo(HostFile& file, std::uint32_t offset) {
    if (offset > static_cast<std::uint32_t>(LONG_MAX))
        return false;
    return std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) == 0;
}

[[noreturn]] void failFileRead(const Job& job) {
    throw RunError(exit_status::inputFile, Format("Error trying to read data from file %s\n",
                                                  job.settings.fileName.c_str()));
}

void readFromFile(const Job& job, HostFile& file, std::span<std::uint8_t> block) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got == block.size())
        return;
    if (std::ferror(file.get()) != 0)
        failFileRead(job);
    throw RunError(exit_status::inputFile, "Error Reading from file. No more data available\n" +
                                               ErrorLine(ErrorCode::NotDefined));
}

void applyPatch(const Job& job, std::uint32_t offset, std::span<std::uint8_t> data) {
    if (!job.settings.patch)
        return;
    const ImagePatch& patch = *job.settings.patch;
    for (std::size_t i = 0; i < patch.bytes.size(); ++i) {
        const std::uint64_t at = std::uint64_t{patch.flashOffset} + i;
        if (at >= offset && at < std::uint64_t{offset} + data.size())
            data[static_cast<std::size_t>(at - offset)] = patch.bytes[i];
    }
}

}  // namespace

bool FileErasedFrom(Job& job, std::uint32_t offset, std::uint32_t count) {
    HostFile file(job.settings.fileName, "rb");
    if (!file.isOpen() || !seekTo(file, offset))
        failFileRead(job);
    constexpr std::uint32_t kChunk = 0x10000;
    std::vector<std::uint8_t> chunk;
    for (std::uint32_t done = 0; done < count;) {
        chunk.resize(std::min(kChunk, count - done));
        readFromFile(job, file, chunk);
        if (std::any_of(chunk.begin(), chunk.end(), [](std::uint8_t b) { return b != 0xFF; }))
            return false;
        done += static_cast<std::uint32_t>(chunk.size());
    }
    return true;
}

HostFile OpenInput(Job& job) {
    const JobSettings& s = job.settings;
    if (job.image)
        return {};
    HostFile file(s.fileName, "rb");
    if (!file.isOpen())
        throw RunError(ErrorCode::InputFileNotFound);
    if (s.fileOffset != 0 && !seekTo(file, s.fileOffset))
        failFileRead(job);
    return file;
}

std::vector<Stretch> StretchesOf(const Job& job) {
    const JobSettings& s = job.settings;
    if (!job.image)
        return {{s.flashOffset, s.length, {}, true}};
    std::vector<Stretch> stretches;
    for (const auto& [address, range] : job.image->ranges()) {
        stretches.push_back({address - job.deviceBase(),
                             static_cast<std::uint32_t>(range.bytes.size()), range.bytes, false});
    }
    return stretches;
}

std::vector<std::uint8_t> BytesOf(Job& job, HostFile& file, const Stretch& stretch,
                                  std::uint32_t offset, std::uint32_t size) {
    std::vector<std::uint8_t> data(size);
    if (stretch.fromFile) {
        const JobSettings& s = job.settings;
        if (!seekTo(file, s.fileOffset + (offset - s.flashOffset)))
            failFileRead(job);
        readFromFile(job, file, data);
    } else {
        const auto from = stretch.inMemory.subspan(offset - stretch.flashOffset, size);
        std::copy(from.begin(), from.end(), data.begin());
    }
    applyPatch(job, offset, data);
    return data;
}

std::uint32_t SumOfStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    std::uint32_t sum = 0;
    for (const Stretch& stretch : stretches)
        sum += byteSum(BytesOf(job, file, stretch, stretch.flashOffset, stretch.length));
    return sum;
}

void EraseForProgramming(Job& job, const std::vector<Stretch>& stretches) {
    const JobSettings& s = job.settings;
    if (s.operation != Operation::program || s.eraseAll || s.noErase)
        return;
    if (!job.image) {
        constexpr std::uint32_t kLongest = std::numeric_limits<std::int32_t>::max();
        EraseFlashArea(job.board.flash, s.flashOffset,
                       static_cast<std::int32_t>(std::min(s.length, kLongest)));
        return;
    }
    std::vector<FlashSpan> spans;
    for (const Stretch& stretch : stretches)
        spans.push_back({stretch.flashOffset, stretch.length});
    EraseFlashSectors(job.board.flash, spans);
}

}  // namespace halvard
