#include "ops/proof.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "line/port.hpp"
#include "monitor/crc_requests.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "target/loader.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

using Slot = TargetCodeState::Slot;
using Proof = TargetCodeState::Proof;

// A question is asked at most this often before the line is blamed.
constexpr int kAsks = 3;

// In blocks of at most 512 bytes, the most the monitor takes at once.
bool loadBlocks(Job& job, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t done = 0; done < bytes.size(); done += kMaxBlock) {
        const auto block =
            bytes.subspan(done, std::min<std::size_t>(kMaxBlock, bytes.size() - done));
        const auto at = address + static_cast<std::uint32_t>(done);
        host2Target(job.board.link, at, block);
        const auto count = static_cast<std::uint16_t>(block.size());
        if (targetChecksum(job.board.link, at, count) != (byteSum(block) & 0xFFFF))
            return false;
    }
    return true;
}

// A block or an answer that the line garbled or lost is a failed load, which the caller repeats
// after a resynchronisation.
bool loadChecked(Job& job, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    try {
        return loadBlocks(job, address, bytes);
    } catch (const RunError& error) {
        if (error.status() != status(ErrorCode::MonitorTimeout) &&
            error.status() != status(ErrorCode::IllegalEcho))
            throw;
        return false;
    }
}

bool loadRoutine(Job& job) {
    job.board.targetCode.slot = Slot::unknown;
    job.board.targetCode.mode = 0;
    const auto tables = CrcRoutineTables();
    if (!loadChecked(job, job.board.imageBase + kCrcRoutineOffset, kCrcRoutine) ||
        !loadChecked(job, kCrcTablesAddress, tables)) {
        return false;
    }
    targetWordWrite(job.board.link, kCrcModeAddress, kCrcMode);
    job.board.targetCode.mode = kCrcMode;
    job.board.targetCode.slot = Slot::crcRoutine;
    return true;
}

void selectMode(Job& job, std::uint16_t mode) {
    if (job.board.targetCode.mode == mode)
        return;
    targetWordWrite(job.board.link, kCrcModeAddress, mode);
    job.board.targetCode.mode = mode;
}

// The mode write has no answer: after an answer that does not prove, the mode is written again
// before the next question, in case the line garbled it.
void distrustMode(Job& job) {
    job.board.targetCode.mode = 0;
}

// Asks until two answers agree or one matches; nothing when the line garbles every answer.
template <class Ask>
std::optional<std::uint32_t> settledAnswer(Job& job, std::uint32_t expected, Ask ask) {
    std::optional<std::uint32_t> previous;
    std::optional<std::uint32_t> answer;
    for (int i = 0; i < kAsks; ++i) {
        if (i > 0 && answer)
            PortResyncQuietly(job.board.link);  // the answer came whole: the line is likely fine
        else if (i > 0)
            PortResync(job.board.link);
        answer = ask();
        if (answer && (*answer == expected || answer == previous))
            return answer;
        if (answer)
            previous = answer;
    }
    return std::nullopt;
}

PieceProof judged(const std::optional<std::uint32_t>& answer, std::uint32_t expected) {
    if (!answer)
        return PieceProof::noAnswer;
    return *answer == expected ? PieceProof::agrees : PieceProof::differs;
}

std::optional<std::uint32_t> askedCrc(Job& job, std::uint32_t address, std::uint16_t count,
                                      std::uint32_t expected) {
    const auto ask = [&] {
        selectMode(job, kCrcMode);
        const std::optional<std::uint32_t> answer = targetCrc32(job.board.link, address, count);
        if (answer != expected)
            distrustMode(job);
        return answer;
    };
    return settledAnswer(job, expected, ask);
}

PieceProof proveByCrc(Job& job, std::uint32_t address, std::span<const std::uint8_t> expected) {
    const auto count = static_cast<std::uint16_t>(expected.size());
    const std::uint32_t crc = RoutineCrc(address, count, expected);
    return judged(askedCrc(job, address, count, crc), crc);
}

// Without the routine a piece is read back in full, block by block, and proven by the CRC-32
// of what the host read: 16-bit sums would let a +2/-2 pair of errors pass.
PieceProof proveByReadBack(Job& job, std::uint32_t address,
                           std::span<const std::uint8_t> expected) {
    const ErrorCode timeoutCode = job.settings.operation == Operation::verify
                                      ? ErrorCode::VerifyTimeout
                                      : ErrorCode::ReadTimeout;
    const auto end = address + static_cast<std::uint32_t>(expected.size());
    std::array<std::uint8_t, kMaxBlock> buffer{};
    PieceProof proof = PieceProof::agrees;
    WalkPieces(0, address, end, ReadBackBlockSize(job), [&](const Piece& block) {
        const std::uint32_t crc = crc32(expected.subspan(block.offset - address, block.size));
        const auto readBack = std::span(buffer).first(block.size);
        const auto ask = [&]() -> std::optional<std::uint32_t> {
            if (target2Host(job.board.link, block.offset, readBack, timeoutCode))
                return std::nullopt;
            return crc32(readBack);
        };
        proof = judged(settledAnswer(job, crc, ask), crc);
        return proof == PieceProof::agrees;
    });
    return proof;
}

// The routine's CRC of the monitor upload and of itself, which the host knows byte for byte.
// Its own bytes are in it because the check sum of its upload lets a +k/-k pair of errors pass,
// and a send loop that the line changed could send other bytes under a CRC that matches them.
bool selfTestPasses(Job& job) {
    std::vector<std::uint8_t> known(TargetImage.begin() + kBootstrapSize,
                                    TargetImage.begin() + kCrcRoutineOffset);
    known.insert(known.end(), kCrcRoutine.begin(), kCrcRoutine.end());
    return proveByCrc(job, job.board.imageBase + kBootstrapSize, known) == PieceProof::agrees;
}

}  // namespace

// A routine that the line garbled on its way fails its self-test as a broken one would: it is
// loaded and tested again, and only a routine that fails every time makes the run fall back.
bool PrepareProof(Job& job) {
    constexpr int kRoutineTests = 3;
    TargetCodeState& code = job.board.targetCode;
    if (code.proof == Proof::blockSums)
        return false;
    for (int test = 0; test < kRoutineTests; ++test) {
        for (int attempt = 0; attempt < 2 && code.slot != Slot::crcRoutine; ++attempt) {
            if (!loadRoutine(job))
                PortResync(job.board.link);
        }
        if (code.proof != Proof::untested)
            return true;
        if (code.slot == Slot::crcRoutine && selfTestPasses(job)) {
            code.proof = Proof::crc;
            return true;
        }
        code.slot = Slot::unknown;
        PortResync(job.board.link);
    }
    code.proof = Proof::blockSums;
    job.console.print(
        "Warning: the target's CRC-32 routine failed its test, proving by reading the flash "
        "back\n");
    return false;
}

PageHolds AskPageOnce(Job& job, std::uint32_t address, std::span<const std::uint8_t> expected) {
    const auto count = static_cast<std::uint16_t>(expected.size());
    const std::uint32_t crc = RoutineCrc(address, count, expected);
    const std::vector<std::uint8_t> erased(count, 0xFF);
    selectMode(job, kCrcMode);
    const std::optional<std::uint32_t> answer = targetCrc32(job.board.link, address, count);
    if (answer == crc)
        return PageHolds::bytes;
    if (answer == RoutineCrc(address, count, erased))
        return PageHolds::erased;
    distrustMode(job);
    if (!answer)
        PortResync(job.board.link);  // the line may be out of step
    return PageHolds::other;
}

PieceProof ProvePiece(Job& job, std::uint32_t address, std::span<const std::uint8_t> expected) {
    if (PrepareProof(job))
        return proveByCrc(job, address, expected);
    return proveByReadBack(job, address, expected);
}

// An answer other than the likely one is no sign of trouble here: the line is resynchronised
// only after an answer that did not come.
std::optional<std::uint32_t> SettledCrc(Job& job, std::uint32_t address, std::uint16_t count,
                                        std::uint32_t likely) {
    std::optional<std::uint32_t> previous;
    for (int i = 0; i < kAsks + 1; ++i) {
        selectMode(job, kCrcMode);
        const std::optional<std::uint32_t> answer = targetCrc32(job.board.link, address, count);
        if (answer && (*answer == likely || answer == previous))
            return answer;
        distrustMode(job);
        if (!answer)
            PortResync(job.board.link);
        previous = answer;
    }
    return std::nullopt;
}

ProvedRead ReadPieceWithCrc(Job& job, std::uint32_t address, std::span<std::uint8_t> piece,
                            ErrorCode timeoutCode, const ArrivalProgress& onArrival) {
    selectMode(job, kCrcSendMode);
    const std::optional<std::uint32_t> crc =
        targetReadWithCrc32(job.board.link, address, piece, timeoutCode, onArrival);
    if (crc && *crc == RoutineCrc(address, static_cast<std::uint16_t>(piece.size()), piece))
        return ProvedRead::proved;
    distrustMode(job);
    return crc ? ProvedRead::notProved : ProvedRead::timedOut;
}

void EnsureFlashAlgorithm(Job& job) {
    if (job.board.targetCode.slot == Slot::flashAlgorithm)
        return;
    distrustMode(job);  // the flash algorithm's buffer covers the mode word
    const std::size_t offset = FindAlgorithmOffset();
    const auto algorithm = FlashAlgorithm(offset);
    const std::uint32_t address = job.board.imageBase + static_cast<std::uint32_t>(offset);
    job.board.targetCode.slot = Slot::unknown;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (loadChecked(job, address, algorithm)) {
            job.board.targetCode.slot = Slot::flashAlgorithm;
            return;
        }
        PortResync(job.board.link);
    }
    throw RunError(ErrorCode::FlashAlgorithm);
}

}  // namespace halvard

namespace halvard {

bool LoadLoader(Job& job) {
    distrustMode(job);
    job.board.targetCode.slot = Slot::unknown;
    const auto tables = CrcRoutineTables();
    const std::uint32_t quiet = LoaderQuietCount(job.board.clockMHz);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (loadChecked(job, job.board.imageBase + kLoaderOffset, LoaderCode()) &&
            loadChecked(job, kLoaderTablesAddress, tables)) {
            targetWordWrite(job.board.link, kLoaderQuietAddress, quiet & 0xFFFF);
            targetWordWrite(job.board.link, kLoaderQuietAddress + 2, quiet >> 16);
            job.board.targetCode.slot = Slot::loader;
            return true;
        }
        PortResync(job.board.link);
    }
    return false;
}

}  // namespace halvard
