#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "base/format.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/proof.hpp"
#include "ops/stretches.hpp"

namespace halvard {

namespace {

using Block = std::array<std::uint8_t, kMaxBlock>;

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t position) {
    return static_cast<std::uint16_t>(bytes[position] | (bytes[position + 1] << 8));
}

// verifyBuffer compares whole words; a block of a sparse image on a byte-wide bus may end on
// an odd byte, which is compared here.
void reportOddByte(Job& job, std::span<const std::uint8_t> written,
                   std::span<const std::uint8_t> read) {
    const std::size_t last = written.size() - 1;
    job.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                      static_cast<unsigned>(written[last]), static_cast<unsigned>(read[last]));
}

std::optional<std::size_t> firstDifference(Job& job, std::span<const std::uint8_t> written,
                                           std::span<const std::uint8_t> read, bool report) {
    const std::size_t words = written.size() / 2;
    for (std::size_t i = 0; i < words; ++i) {
        if (wordAt(written, 2 * i) != wordAt(read, 2 * i)) {
            std::size_t position = 0;
            if (report)
                verifyBuffer(job, written, read, position);
            return 2 * i;
        }
    }
    if (written.size() % 2 != 0 && written.back() != read[written.size() - 1]) {
        if (report)
            reportOddByte(job, written, read);
        return written.size() - 1;
    }
    return std::nullopt;
}

// A block that differs is read again after a resynchronisation: a difference is reported only
// when two reads in a row bring the same bytes, and reads that never agree blame the line.
void verifyBlock(Job& job, std::uint32_t offset, std::span<const std::uint8_t> hostData,
                 std::uint32_t remainingAfter) {
    constexpr int kReads = 3;
    Block reads[2]{};
    for (int read = 0; read < kReads; ++read) {
        if (read > 0)
            PortResyncQuietly(job.board.link);
        const auto readBack = std::span(reads[read % 2]).first(hostData.size());
        ReadPageWithRetry(job, job.deviceBase() + offset, readBack, remainingAfter,
                          ErrorCode::VerifyTimeout);
        if (!firstDifference(job, hostData, readBack, false))
            return;
        const auto before = std::span(reads[(read + 1) % 2]).first(hostData.size());
        if (read > 0 && std::equal(readBack.begin(), readBack.end(), before.begin())) {
            const std::size_t position = *firstDifference(job, hostData, readBack, true);
            throw RunError(ErrorCode::Verifying, "",
                           Format("\n\nError at offset 0x%08lx!!!\n",
                                  static_cast<unsigned long>(offset + position)));
        }
    }
    throw RunError(ErrorCode::ChecksumTransfer);
}

// Reads a page back block by block, to find its first difference.
void readBackPage(Job& job, std::uint32_t offset, std::span<const std::uint8_t> data,
                  std::uint32_t remainingAfter) {
    const auto end = offset + static_cast<std::uint32_t>(data.size());
    ForEachPiece(job.deviceBase(), offset, end, ReadBackBlockSize(job), [&](const Piece& block) {
        const auto done = block.offset - offset;
        verifyBlock(job, block.offset, data.subspan(done, block.size),
                    remainingAfter + (end - block.offset - block.size));
    });
}

// The page's CRC first: only a page that does not prove itself is read back, to find the first
// difference. Without the routine every page is read back and its blocks' sums compared.
//
// A read-back that finds no difference where the CRC found one is the weaker proof: the line may
// have changed the very bytes that differ. It never overrules the CRC; only the CRC asked again,
// and agreeing, does. Otherwise the line is blamed, and the run never ends in a success.
void verifyPage(Job& job, std::uint32_t offset, std::span<const std::uint8_t> data,
                std::uint32_t remainingAfter) {
    const std::uint32_t address = job.deviceBase() + offset;
    PrepareProof(job);
    const bool byCrc = job.board.targetCode.proof == TargetCodeState::Proof::crc;
    if (byCrc && ProvePiece(job, address, data) == PieceProof::agrees)
        return;
    readBackPage(job, offset, data, remainingAfter);
    if (ProvePiece(job, address, data) != PieceProof::agrees)
        throw RunError(ErrorCode::ChecksumTransfer, "General Checksum Error!!\n");
}

}  // namespace

int verifyBuffer(Job& job, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t words = std::min(written.size(), read.size()) / 2;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t w = wordAt(written, 2 * i);
        const std::uint16_t r = wordAt(read, 2 * i);
        if (w != r) {
            job.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                              static_cast<unsigned>(w), static_cast<unsigned>(r));
            position = 2 * i;
            return 1;
        }
    }
    return 0;
}

std::uint32_t VerifyStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    std::uint32_t hostSum = 0;
    std::uint32_t remaining = job.settings.length;
    for (const Stretch& stretch : stretches) {
        ForEachPiece(job.deviceBase(), stretch.flashOffset, EndOf(stretch), PageSize(job),
                     [&](const Piece& page) {
                         const auto data = BytesOf(job, file, stretch, page.offset, page.size);
                         remaining -= page.size;
                         verifyPage(job, page.offset, data, remaining);
                         hostSum += byteSum(data);
                         PrintProgress(job, remaining, job.settings.length);
                     });
    }
    return hostSum;
}

}  // namespace halvard
