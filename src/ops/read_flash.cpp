#include <cstdint>
#include <cstdio>
#include <vector>

#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "ops/proof.hpp"
#include "run/output_file.hpp"
#include "run/run.hpp"

namespace halvard {

namespace {

// Where a 16 KB piece of the range lies, on the target and in the output file.
struct Piece {
    std::uint32_t address;
    std::uint32_t size;
    std::uint32_t remainingAfter;  // bytes of the range behind this piece, for the progress line
};

[[noreturn]] void failFileWrite(Run& run, OutputFile& file) {
    run.console.print("Error trying to add data to file %s\n", run.settings.fileName.c_str());
    FailWith(run, ErrorCode::DiskFull, file.file());
}

// The file is unbuffered, so a short count here is the disk's answer and not a buffer's:
// data missing from the file is a failure, never a success.
void writeToFile(Run& run, OutputFile& file, std::span<const std::uint8_t> data) {
    if (!file.write(data))
        failFileWrite(run, file);
}

// Reads the piece with one page read, showing progress as its bytes arrive.
void readPiece(Run& run, OutputFile& file, const Piece& piece, std::span<std::uint8_t> data) {
    ReadPageWithRetry(run, piece.address, data, piece.remainingAfter, file.file(),
                      ErrorCode::ReadTimeout);
}

// A block corrupted on the line would otherwise go into the file unnoticed: each piece is
// proved against the target's own CRC-32 of it, and read again after a resynchronisation until
// it passes, at most kReads times. Only proved bytes reach the file.
std::uint32_t copyProvedPiece(Run& run, OutputFile& file, const Piece& piece) {
    constexpr int kReads = 3;
    std::vector<std::uint8_t> data(piece.size);
    for (int read = 0;; ++read) {
        if (read > 0)
            PortResync(run);
        readPiece(run, file, piece, data);
        if (ProvePiece(run, piece.address, data) == PieceProof::agrees)
            break;
        if (read + 1 == kReads)
            FailWith(run, ErrorCode::ChecksumTransfer, file.file());
    }
    writeToFile(run, file, data);
    return byteSum(data);
}

}  // namespace

// The file only takes the target's place once every page is proven: a run that ends before
// leaves an existing file as it was (OutputFile).
void ReadFlash(Run& run) {
    const RunSettings& s = run.settings;
    OutputFile file(s.fileName);
    if (!file.isOpen())
        FatalError(run, ErrorCode::CreateFile);
    std::setvbuf(file.stream(), nullptr, _IONBF, 0);
    run.console.print("Reading to File %s (%d bytes)\n", s.fileName.c_str(),
                      static_cast<int>(s.length));
    const std::uint32_t start = run.clock.tickMs();

    std::uint32_t sum = 0;
    Piece piece{s.deviceBase + s.flashOffset, 0, s.length};
    while (piece.remainingAfter > 0) {
        piece.size = NextPiece(piece.address, piece.remainingAfter, kPageSize);
        piece.remainingAfter -= piece.size;
        sum += copyProvedPiece(run, file, piece);
        piece.address += piece.size;
    }
    PrintCompleted(run);
    if (!file.commit())
        failFileWrite(run, file);
    run.console.print("Checksum OK: 0x%x\n", sum & 0xFFFF);
    run.console.print("Reading Successfully!!\t\t\n");
    PrintElapsed(run, start);
    PortClose(run);
}

}  // namespace halvard
