#include "ops/proof.hpp"

#include <array>
#include <optional>

#include "app/run.hpp"
#include "line/port.hpp"
#include "monitor/crc_requests.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

using Slot = TargetCodeState::Slot;
using Proof = TargetCodeState::Proof;

// A question is asked at most this often before the line is blamed.
constexpr int kAsks = 3;

bool loadChecked(Run& run, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    host2Target(run, address, bytes);
    const auto count = static_cast<std::uint16_t>(bytes.size());
    return targetChecksum(run, address, count) == (byteSum(bytes) & 0xFFFF);
}

bool loadRoutine(Run& run) {
    run.targetCode.slot = Slot::unknown;
    run.targetCode.mode = 0;
    const auto tables = CrcRoutineTables();
    if (!loadChecked(run, run.imageBase + kCrcRoutineOffset, kCrcRoutine) ||
        !loadChecked(run, kCrcTablesAddress, tables)) {
        return false;
    }
    targetWordWrite(run, kCrcModeAddress, kCrcMode);
    run.targetCode.mode = kCrcMode;
    run.targetCode.slot = Slot::crcRoutine;
    return true;
}

void selectMode(Run& run, std::uint16_t mode) {
    if (run.targetCode.mode == mode)
        return;
    targetWordWrite(run, kCrcModeAddress, mode);
    run.targetCode.mode = mode;
}

// The mode write has no answer: after an answer that does not prove, the mode is written again
// before the next question, in case the line garbled it.
void distrustMode(Run& run) {
    run.targetCode.mode = 0;
}

// Asks until two answers agree or one matches; nothing when the line garbles every answer.
template <class Ask>
std::optional<std::uint32_t> settledAnswer(Run& run, std::uint32_t expected, Ask ask) {
    std::optional<std::uint32_t> previous;
    for (int i = 0; i < kAsks; ++i) {
        if (i > 0)
            PortResync(run);
        const std::optional<std::uint32_t> answer = ask();
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

PieceProof proveByCrc(Run& run, std::uint32_t address, std::span<const std::uint8_t> expected) {
    const std::uint32_t crc = crc32(expected);
    const auto count = static_cast<std::uint16_t>(expected.size());
    const auto ask = [&] {
        selectMode(run, kCrcMode);
        const std::optional<std::uint32_t> answer = targetCrc32(run, address, count);
        if (answer != crc)
            distrustMode(run);
        return answer;
    };
    return judged(settledAnswer(run, crc, ask), crc);
}

PieceProof proveBySums(Run& run, std::uint32_t address, std::span<const std::uint8_t> expected) {
    for (std::size_t done = 0; done < expected.size();) {
        const auto block = expected.subspan(
            done,
            NextPiece(address, static_cast<std::uint32_t>(expected.size() - done), kMaxBlock));
        const std::uint32_t sum = byteSum(block) & 0xFFFF;
        const auto count = static_cast<std::uint16_t>(block.size());
        const PieceProof proof =
            judged(settledAnswer(run, sum,
                                 [&]() -> std::optional<std::uint32_t> {
                                     return targetChecksum(run, address, count);
                                 }),
                   sum);
        if (proof != PieceProof::agrees)
            return proof;
        done += block.size();
        address += count;
    }
    return PieceProof::agrees;
}

// The routine's CRC of the monitor, which the host knows byte for byte.
bool selfTestPasses(Run& run) {
    const auto monitor = MonitorCode(FindAlgorithmOffset());
    return proveByCrc(run, run.imageBase + kBootstrapSize, monitor) == PieceProof::agrees;
}

}  // namespace

void PrepareProof(Run& run) {
    if (run.targetCode.proof == Proof::blockSums)
        return;
    for (int attempt = 0; attempt < 2 && run.targetCode.slot != Slot::crcRoutine; ++attempt) {
        if (!loadRoutine(run))
            PortResync(run);
    }
    if (run.targetCode.proof == Proof::untested) {
        const bool passed = run.targetCode.slot == Slot::crcRoutine && selfTestPasses(run);
        run.targetCode.proof = passed ? Proof::crc : Proof::blockSums;
        if (!passed) {
            run.console.print(
                "Warning: the target's CRC-32 routine failed its test, proving by block "
                "checksums\n");
        }
    }
}

PieceProof ProvePiece(Run& run, std::uint32_t address, std::span<const std::uint8_t> expected) {
    PrepareProof(run);
    if (run.targetCode.proof == Proof::crc)
        return proveByCrc(run, address, expected);
    return proveBySums(run, address, expected);
}

ProvedRead ReadPieceWithCrc(Run& run, std::uint32_t address, std::span<std::uint8_t> piece,
                            const ArrivalProgress& onArrival) {
    selectMode(run, kCrcSendMode);
    const std::optional<std::uint32_t> crc = targetReadWithCrc32(run, address, piece, onArrival);
    if (crc && *crc == crc32(piece))
        return ProvedRead::proved;
    distrustMode(run);
    return crc ? ProvedRead::notProved : ProvedRead::timedOut;
}

void EnsureFlashAlgorithm(Run& run) {
    if (run.targetCode.slot == Slot::flashAlgorithm)
        return;
    distrustMode(run);  // the flash algorithm's buffer covers the mode word
    const std::size_t offset = FindAlgorithmOffset();
    const auto algorithm = FlashAlgorithm(offset);
    const std::uint32_t address = run.imageBase + static_cast<std::uint32_t>(offset);
    run.targetCode.slot = Slot::unknown;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (loadChecked(run, address, algorithm)) {
            run.targetCode.slot = Slot::flashAlgorithm;
            return;
        }
        PortResync(run);
    }
    throw RunError(ErrorCode::FlashAlgorithm);
}

}  // namespace halvard
