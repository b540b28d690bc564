#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/output_file.hpp"
#include "image/image_writer.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"

namespace halvard {

namespace {

[[noreturn]] void failFileWrite(Job& job) {
    job.console.print("Error trying to add data to file %s\n", job.settings.fileName.c_str());
    throw RunError(ErrorCode::DiskFull);
}

// The file is unbuffered, so a short count here is the disk's answer and not a buffer's:
// data missing from the file is a failure, never a success.
// Raw, HEX or S-records, as the file name says (ImageWriter).
void writeToFile(Job& job, ImageWriter& output, std::uint32_t address,
                 std::span<const std::uint8_t> data) {
    if (!output.write(address, data))
        failFileWrite(job);
}

// A page corrupted on the line would otherwise go into the file unnoticed: each piece is
// proved against the target's own CRC-32 of it (sent right behind the bytes), and read again
// after a resynchronisation until it passes, at most kReads times. Only proved bytes reach the
// file.
// remainingAfter: the bytes of the range behind this piece, for the progress line.
std::uint32_t copyProvedPiece(Job& job, ImageWriter& output, const Piece& piece,
                              std::uint32_t remainingAfter) {
    constexpr int kReads = 3;
    const std::uint32_t address = job.deviceBase() + piece.offset;
    std::vector<std::uint8_t> data(piece.size);
    for (int read = 0;; ++read) {
        if (read > 0)
            PortResync(job.board.link);
        if (ReadProvedPage(job, address, data, remainingAfter, ErrorCode::ReadTimeout))
            break;
        if (read + 1 == kReads)
            throw RunError(ErrorCode::ChecksumTransfer);
    }
    writeToFile(job, output, address, data);
    return byteSum(data);
}

}  // namespace

// The file only takes the target's place once every page is proven: a run that ends before
// leaves an existing file as it was (OutputFile).
void ReadFlash(Job& job) {
    const JobSettings& s = job.settings;
    OutputFile file(s.fileName);
    if (!file.isOpen())
        throw RunError(ErrorCode::CreateFile);
    std::setvbuf(file.stream(), nullptr, _IONBF, 0);
    job.console.print("Reading to File %s (%d bytes)\n", s.fileName.c_str(),
                      static_cast<int>(s.length));
    const std::uint32_t start = job.clock.tickMs();

    const std::uint32_t first = job.deviceBase() + s.flashOffset;
    ImageWriter output(file.stream(), FormatNamedBy(s.fileName), first + s.length - 1);
    std::uint32_t sum = 0;
    std::uint32_t remaining = s.length;
    ForEachPiece(job.deviceBase(), s.flashOffset, s.flashOffset + s.length, PageSize(job),
                 [&](const Piece& page) {
                     remaining -= page.size;
                     sum += copyProvedPiece(job, output, page, remaining);
                 });
    if (!output.finish())
        failFileWrite(job);
    PrintCompleted(job);
    KeepBoardState(job);
    if (!file.commit())
        failFileWrite(job);
    job.console.print("Checksum OK: 0x%x\n", sum & 0xFFFF);
    job.console.print("Reading Successfully!!\t\t\n");
    PrintElapsed(job, start);
    FinishOperation(job);
}

}  // namespace halvard
