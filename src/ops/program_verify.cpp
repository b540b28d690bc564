#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "flash/flash.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "run/run.hpp"

namespace halvard {

namespace {

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t position) {
    return static_cast<std::uint16_t>(bytes[position] | (bytes[position + 1] << 8));
}

bool seekTo(HostFile& file, std::uint32_t offset) {
    if (offset > static_cast<std::uint32_t>(LONG_MAX))
        return false;
    return std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) == 0;
}

[[noreturn]] void failFileRead(Run& run, HostFile& file) {
    run.console.print("Error trying to read data from file %s\n", run.settings.fileName.c_str());
    EndRun(run, exit_status::inputFile, &file);
}

// A file shorter than the range is a failure of the input file, not a success.
void readFromFile(Run& run, HostFile& file, std::span<std::uint8_t> block) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got == block.size())
        return;
    if (std::ferror(file.get()) != 0)
        failFileRead(run, file);
    run.console.print("Error Reading from file. No more data available\n");
    run.console.print("Error %d: %s\n", status(ErrorCode::NotDefined),
                      textOf(ErrorCode::NotDefined).data());
    EndRun(run, exit_status::inputFile, &file);
}

// verifyBuffer compares whole words; a block of a sparse image on a byte-wide bus may end on
// an odd byte, which is compared here.
bool oddByteDiffers(Run& run, std::span<const std::uint8_t> written,
                    std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t last = written.size() - 1;
    if (written.size() % 2 == 0 || written[last] == read[last])
        return false;
    run.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                      static_cast<unsigned>(written[last]), static_cast<unsigned>(read[last]));
    position = last;
    return true;
}

// Reads the page back with one request and compares it with the file's bytes.
void verifyPage(Run& run, HostFile& file, std::uint32_t offset,
                std::span<const std::uint8_t> hostData, std::uint32_t remainingAfter) {
    std::vector<std::uint8_t> readBack(hostData.size());
    ReadPageWithRetry(run, run.settings.deviceBase + offset, readBack, remainingAfter, file,
                      ErrorCode::VerifyTimeout);
    std::size_t position = 0;
    if (verifyBuffer(run, hostData, readBack, position) == 0 &&
        !oddByteDiffers(run, hostData, readBack, position)) {
        return;
    }
    run.console.print("Error %d: %s\n", status(ErrorCode::Verifying),
                      textOf(ErrorCode::Verifying).data());
    run.console.print("\n\nError at offset 0x%08lx!!!\n",
                      static_cast<unsigned long>(offset + position));
    EndRun(run, status(ErrorCode::Verifying), &file);
}

// One monitor checksum per 16 KB page that the range touches.
std::uint32_t targetSumOf(Run& run, std::uint32_t flashOffset, std::uint32_t length) {
    std::uint32_t sum = 0;
    std::uint32_t address = run.settings.deviceBase + flashOffset;
    for (std::uint32_t remaining = length; remaining > 0;) {
        const std::uint32_t piece = NextPiece(address, remaining, kPageSize);
        sum += targetChecksum(run, address, static_cast<std::uint16_t>(piece));
        remaining -= piece;
        address += piece;
    }
    return sum;
}

// A stretch of the flash that is programmed or verified in one pass, and where its bytes come
// from: the input file for a raw image, memory for a HEX or S-record image.
struct Stretch {
    std::uint32_t flashOffset = 0;
    std::uint32_t length = 0;
    std::span<const std::uint8_t> inMemory;
    bool fromFile = false;
};

std::vector<Stretch> stretchesOf(const Run& run) {
    const RunSettings& s = run.settings;
    if (!run.image)
        return {{s.flashOffset, s.length, {}, true}};
    std::vector<Stretch> stretches;
    for (const auto& [address, range] : run.image->ranges()) {
        stretches.push_back({address - s.deviceBase, static_cast<std::uint32_t>(range.bytes.size()),
                             range.bytes, false});
    }
    return stretches;
}

void eraseFirst(Run& run, const std::vector<Stretch>& stretches) {
    const RunSettings& s = run.settings;
    if (s.operation != Operation::program || s.eraseAll || s.noErase)
        return;
    if (!run.image) {
        constexpr std::uint32_t kLongest = std::numeric_limits<std::int32_t>::max();
        EraseFlashArea(run, s.flashOffset, static_cast<std::int32_t>(std::min(s.length, kLongest)));
        return;
    }
    std::vector<FlashSpan> spans;
    for (const Stretch& stretch : stretches)
        spans.push_back({stretch.flashOffset, stretch.length});
    EraseFlashSectors(run, spans);
}

// Programs one stretch block by block, or verifies it page by page; returns the sum of its
// bytes. `remaining` counts the bytes of the whole run still to go, for the progress line.
std::uint32_t transferBlocks(Run& run, HostFile& file, bool program, const Stretch& stretch,
                             std::uint32_t& remaining) {
    const RunSettings& s = run.settings;
    const std::uint32_t limit = program ? kMaxBlock : kPageSize;
    std::vector<std::uint8_t> hostBlock(limit);
    std::uint32_t hostSum = 0;
    std::uint32_t offset = stretch.flashOffset;
    for (std::uint32_t left = stretch.length; left > 0;) {
        const std::uint32_t address = s.deviceBase + offset;
        const auto data = std::span(hostBlock).first(NextPiece(address, left, limit));
        if (stretch.fromFile) {
            readFromFile(run, file, data);
        } else {
            const auto from = stretch.inMemory.subspan(offset - stretch.flashOffset, data.size());
            std::copy(from.begin(), from.end(), data.begin());
        }
        left -= static_cast<std::uint32_t>(data.size());
        remaining -= static_cast<std::uint32_t>(data.size());
        if (program) {
            host2Flash(run, address, data);
            PrintProgress(run, remaining, s.length);
        } else {
            verifyPage(run, file, offset, data, remaining);
        }
        hostSum += byteSum(data);
        offset += static_cast<std::uint32_t>(data.size());
    }
    return hostSum;
}

}  // namespace

int verifyBuffer(Run& run, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t words = std::min(written.size(), read.size()) / 2;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t w = wordAt(written, 2 * i);
        const std::uint16_t r = wordAt(read, 2 * i);
        if (w != r) {
            run.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                              static_cast<unsigned>(w), static_cast<unsigned>(r));
            position = 2 * i;
            return 1;
        }
    }
    return 0;
}

void ProgramVerify(Run& run) {
    const RunSettings& s = run.settings;
    const bool program = s.operation == Operation::program;
    HostFile file;
    if (!run.image) {
        file = HostFile(s.fileName, "rb");
        if (!file.isOpen())
            FatalError(run, ErrorCode::InputFileNotFound);
        if (s.fileOffset != 0 && !seekTo(file, s.fileOffset))
            failFileRead(run, file);
    }
    const std::vector<Stretch> stretches = stretchesOf(run);
    eraseFirst(run, stretches);

    const std::uint32_t start = run.clock.tickMs();
    run.console.print("%s", program ? "Programming" : "Verifying with");
    run.console.print(" File %s (%d bytes)\n", s.fileName.c_str(), static_cast<int>(s.length));
    std::uint32_t hostSum = 0;
    std::uint32_t remaining = s.length;
    for (const Stretch& stretch : stretches)
        hostSum += transferBlocks(run, file, program, stretch, remaining);
    PrintCompleted(run);
    std::uint32_t targetSum = 0;
    for (const Stretch& stretch : stretches)
        targetSum += targetSumOf(run, stretch.flashOffset, stretch.length);
    if ((targetSum & 0xFFFF) != (hostSum & 0xFFFF)) {
        run.console.print("General Checksum Error!!\n");
        run.console.print("Target Total Checksum = 0x%x\n", targetSum & 0xFFFF);
        run.console.print("Host Total Checksum = 0x%x\n", hostSum & 0xFFFF);
        FailWith(run, ErrorCode::ChecksumTransfer, file);
    }
    run.console.print("Checksum OK: 0x%x\n", hostSum & 0xFFFF);
    run.console.print(
        "%s", program ? "Programming Successfully!!\t\t\n" : "Verifying Successfully!!\t\t\n");
    PrintElapsed(run, start);
    FinishOperation(run, &file);
}

}  // namespace halvard
