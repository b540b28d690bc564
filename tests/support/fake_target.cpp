#include "support/fake_target.hpp"

#include <algorithm>
#include <numeric>

#include "monitor/crc_requests.hpp"
#include "target/target_image.hpp"

namespace halvard::testing {

namespace {

constexpr std::uint8_t kPing = 0x00;
constexpr std::uint8_t kByteRead = 0x05;
constexpr std::uint8_t kByteWrite = 0x06;
constexpr std::uint8_t kWordRead = 0x07;
constexpr std::uint8_t kWordWrite = 0x08;
constexpr std::uint8_t kBlockRead = 0x09;
constexpr std::uint8_t kBlockWrite = 0x0A;
constexpr std::uint8_t kChecksum = 0x0B;
constexpr std::uint8_t kFlashWrite = 0x0E;

std::uint32_t addressOf(std::span<const std::uint8_t> frame) {
    return frame[1] | (frame[2] << 8) | (frame[3] << 16);
}

std::uint16_t wordOf(std::span<const std::uint8_t> frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] | (frame[at + 1] << 8));
}

const char* nameOf(AccessKind kind) {
    switch (kind) {
        case AccessKind::byteRead:
            return "byteRead";
        case AccessKind::byteWrite:
            return "byteWrite";
        case AccessKind::wordRead:
            return "wordRead";
        case AccessKind::wordWrite:
            return "wordWrite";
        case AccessKind::blockRead:
            return "blockRead";
        case AccessKind::checksum:
            return "checksum";
        case AccessKind::flashWrite:
            return "flashWrite";
        case AccessKind::blockWrite:
            return "blockWrite";
        case AccessKind::crc:
            return "crc";
        case AccessKind::crcRead:
            return "crcRead";
    }
    return "?";
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Access& access) {
    return out << nameOf(access.kind) << "(0x" << std::hex << access.address << ", 0x"
               << access.value << ")" << std::dec;
}

FakeTarget::FakeTarget(ScriptedLine& line) {
    load(kBootstrapSize, MonitorUpload(FindAlgorithmOffset()));
    line.onWrite(
        [this](ScriptedLine& l, std::span<const std::uint8_t> bytes) { receive(l, bytes); });
}

void FakeTarget::setWord(std::uint32_t address, std::uint16_t value) {
    memory_[address] = static_cast<std::uint8_t>(value);
    memory_[address + 1] = static_cast<std::uint8_t>(value >> 8);
}

void FakeTarget::load(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        memory_[address + static_cast<std::uint32_t>(i)] = bytes[i];
}

std::uint8_t FakeTarget::byteAt(std::uint32_t address) const {
    const auto found = memory_.find(address);
    return found == memory_.end() ? 0xFF : found->second;
}

std::vector<std::uint8_t> FakeTarget::bytesAt(std::uint32_t address, std::size_t count) const {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = byteAt(address + static_cast<std::uint32_t>(i));
    return bytes;
}

void FakeTarget::scriptReads(std::uint32_t address, std::vector<std::uint16_t> values) {
    auto& queue = scripted_[address];
    queue.insert(queue.end(), values.begin(), values.end());
}

std::vector<Access> FakeTarget::accessesOf(AccessKind kind) const {
    std::vector<Access> found;
    for (const Access& a : accesses) {
        if (a.kind == kind)
            found.push_back(a);
    }
    return found;
}

std::uint16_t FakeTarget::crcMode() const {
    return static_cast<std::uint16_t>(byteAt(kCrcModeAddress) | byteAt(kCrcModeAddress + 1) << 8);
}

bool FakeTarget::crcRoutineReady() const {
    return crcRoutineLoaded_ && (crcMode() == kCrcMode || crcMode() == kCrcSendMode);
}

std::optional<std::vector<std::uint8_t>> FakeTarget::blockReadAnswer(std::uint32_t address,
                                                                     std::uint16_t count) {
    if (silentBlockReads > 0) {
        --silentBlockReads;
        return std::nullopt;
    }
    std::vector<std::uint8_t> reply = bytesAt(address, count);
    const auto corrupt = corruptBlockReadsAt.find(address);
    if (corrupt != corruptBlockReadsAt.end() && !reply.empty()) {
        corruptBlockReadsAt.erase(corrupt);
        reply[0] ^= 0x01;
    }
    return reply;
}

bool FakeTarget::inFlash(std::uint32_t address) const {
    return address >= flashBase && address - flashBase < flashSize;
}

std::uint16_t FakeTarget::readCell(std::uint32_t address, bool word) {
    auto script = scripted_.find(address);
    if (script != scripted_.end() && !script->second.empty()) {
        const std::uint16_t value = script->second.front();
        script->second.pop_front();
        return value;
    }
    const auto byteOf = [&](std::uint32_t a) -> std::uint8_t {
        const std::uint32_t offset = a - flashBase;
        if (query && inFlash(a) && offset < queryWindow.size())
            return queryWindow[offset];
        if (autoselect && inFlash(a) && offset < autoselectId.size())
            return autoselectId[offset];
        return byteAt(a);
    };
    if (!word)
        return byteOf(address);
    return static_cast<std::uint16_t>(byteOf(address) | (byteOf(address + 1) << 8));
}

void FakeTarget::writeCell(std::uint32_t address, std::uint16_t value, bool word) {
    if (!inFlash(address)) {
        if (word)
            setWord(address, value);
        else
            setByte(address, static_cast<std::uint8_t>(value));
        return;
    }
    const auto command = static_cast<std::uint8_t>(value);
    if (command == 0x90 && (!autoselectAt || *autoselectAt == address))
        autoselect = true;
    if (command == 0x98 && !queryWindow.empty())
        query = true;
    if (command == 0xF0) {
        autoselect = query && autoselect;  // the query returns to the mode it was entered from
        query = false;
    }
}

// Frames may arrive split over several writes (a header, then its data).
void FakeTarget::receive(ScriptedLine& line, std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    for (std::size_t length; !pending_.empty() && (length = frameLength()) <= pending_.size();) {
        const std::vector<std::uint8_t> frame(pending_.begin(), pending_.begin() + length);
        pending_.erase(pending_.begin(), pending_.begin() + length);
        serve(line, frame);
    }
}

std::size_t FakeTarget::frameLength() const {
    switch (pending_[0]) {
        case kByteRead:
        case kWordRead:
            return 4;
        case kByteWrite:
            return 5;
        case kWordWrite:
        case kBlockRead:
        case kChecksum:
            return 6;
        case kFlashWrite:
            if (crcRoutineReady())
                return 6;
            return pending_.size() < 6 ? 6 : 6 + wordOf(pending_, 4);
        case kBlockWrite:
            return pending_.size() < 6 ? 6 : 6 + wordOf(pending_, 4);
        default:
            return 1;
    }
}

void FakeTarget::serve(ScriptedLine& line, std::span<const std::uint8_t> frame) {
    const std::uint32_t address = frame.size() >= 4 ? addressOf(frame) : 0;
    switch (frame[0]) {
        case kPing:
            line.deliver({0xAA});
            break;
        case kByteRead: {
            const std::uint16_t value = readCell(address, false);
            accesses.push_back({AccessKind::byteRead, address, value});
            line.deliver({static_cast<std::uint8_t>(value)});
            break;
        }
        case kWordRead: {
            const std::uint16_t value = readCell(address, true);
            accesses.push_back({AccessKind::wordRead, address, value});
            line.deliver({static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
            break;
        }
        case kByteWrite:
            accesses.push_back({AccessKind::byteWrite, address, frame[4]});
            writeCell(address, frame[4], false);
            break;
        case kWordWrite:
            accesses.push_back({AccessKind::wordWrite, address, wordOf(frame, 4)});
            writeCell(address, wordOf(frame, 4), true);
            break;
        case kBlockRead: {
            const std::uint16_t count = wordOf(frame, 4);
            accesses.push_back({AccessKind::blockRead, address, count});
            if (auto reply = blockReadAnswer(address, count))
                line.deliver(std::move(*reply));
            break;
        }
        case kChecksum: {
            const std::uint16_t count = wordOf(frame, 4);
            accesses.push_back({AccessKind::checksum, address, count});
            const std::vector<std::uint8_t> bytes = bytesAt(address, count);
            const auto sum = static_cast<std::uint16_t>(
                std::accumulate(bytes.begin(), bytes.end(), 0u) + checksumBias);
            line.deliver({static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8)});
            break;
        }
        case kBlockWrite: {
            const std::uint16_t count = wordOf(frame, 4);
            const auto data = frame.subspan(6, count);
            accesses.push_back({AccessKind::blockWrite, address, count});
            load(address, data);
            if (address == kCrcRoutineOffset)
                crcRoutineLoaded_ =
                    std::equal(data.begin(), data.end(), kCrcRoutine.begin(), kCrcRoutine.end());
            if (address < kCrcRoutineOffset && address + count > kCrcRoutineOffset)
                crcRoutineLoaded_ = false;  // the flash algorithm is back
            line.deliver({0xAA});
            break;
        }
        case kFlashWrite: {
            if (crcRoutineReady()) {
                const std::uint16_t count = wordOf(frame, 4);
                const bool send = crcMode() == kCrcSendMode;
                accesses.push_back({send ? AccessKind::crcRead : AccessKind::crc, address, count});
                std::uint32_t crc = RoutineCrc(address, count, bytesAt(address, count)) + crcBias;
                if (wrongCrcAnswers > 0) {
                    --wrongCrcAnswers;
                    ++crc;
                }
                if (!send && silentCrcAnswers > 0 && inFlash(address)) {
                    --silentCrcAnswers;
                    break;
                }
                std::vector<std::uint8_t> answer;
                if (send) {
                    auto bytes = blockReadAnswer(address, count);
                    if (!bytes)
                        break;
                    answer = std::move(*bytes);
                }
                for (int shift = 0; shift < 32; shift += 8)
                    answer.push_back(static_cast<std::uint8_t>(crc >> shift));
                line.deliver(std::move(answer));
                break;
            }
            const std::uint16_t count = wordOf(frame, 4);
            accesses.push_back({AccessKind::flashWrite, address, count});
            const auto failing = failingCells.lower_bound(address);
            if (failing != failingCells.end() && *failing < address + count) {
                const auto offset = static_cast<std::uint16_t>(*failing & 0x3FFF);
                line.deliver({0x5A, static_cast<std::uint8_t>(offset),
                              static_cast<std::uint8_t>(offset >> 8)},
                             flashWriteMs);
                break;
            }
            load(address, frame.subspan(6, count));
            line.deliver({0xAA}, flashWriteMs);
            break;
        }
        default:
            break;
    }
}

}  // namespace halvard::testing
