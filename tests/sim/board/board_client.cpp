#include "board_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

#include "target/target_image.hpp"

namespace halvard::sim::testing {

namespace {

std::vector<std::uint8_t> header(std::uint8_t code, std::uint32_t address,
                                 std::initializer_list<std::uint8_t> tail) {
    std::vector<std::uint8_t> frame{code, static_cast<std::uint8_t>(address),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address >> 16)};
    for (const std::uint8_t byte : tail)
        frame.push_back(byte);
    return frame;
}

std::uint8_t low(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t high(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

std::span<const std::uint8_t> bootstrapCode() {
    return std::span(TargetImage).subspan(0, 32);
}

std::vector<std::uint8_t> xc16xBootstrapCode() {
    std::vector<std::uint8_t> code(TargetImage.begin(), TargetImage.begin() + 32);
    std::copy(kXc16xHeader.begin(), kXc16xHeader.end(), code.begin());
    return code;
}

std::span<const std::uint8_t> monitorUpload() {
    return std::span(TargetImage).subspan(32, 274);
}
std::span<const std::uint8_t> monitorBytes() {
    return std::span(TargetImage).subspan(32, 264);
}

std::uint16_t byteSum16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(std::accumulate(bytes.begin(), bytes.end(), 0U));
}

BoardConfig quietConfig(const CpuModel& cpu) {
    BoardConfig config;
    config.cpu = cpu;
    config.diagnostics = nullptr;
    return config;
}

Halt BoardClient::runUntilIdle() {
    return virtual_ != nullptr ? virtual_->run() : board_.run();
}

std::size_t BoardClient::readable() {
    return virtual_ != nullptr ? virtual_->hostReadable() : board_.hostReadable();
}

std::size_t BoardClient::read(std::span<std::uint8_t> into) {
    return virtual_ != nullptr ? virtual_->hostRead(into) : board_.hostRead(into);
}

void BoardClient::write(std::span<const std::uint8_t> bytes) {
    if (virtual_ != nullptr) {
        virtual_->hostWrite(bytes);
    } else {
        board_.hostWrite(bytes);
    }
}

std::vector<std::uint8_t> BoardClient::send(std::span<const std::uint8_t> bytes) {
    write(bytes);
    return drain();
}

std::vector<std::uint8_t> BoardClient::drain() {
    const Halt halt = runUntilIdle();
    EXPECT_NE(halt, Halt::deadline) << "an unlimited run ended at a deadline";
    std::vector<std::uint8_t> reply(readable());
    read(reply);
    return reply;
}

std::vector<std::uint64_t> BoardClient::arrivalTimes(std::span<const std::uint8_t> bytes) {
    write(bytes);
    std::vector<std::uint64_t> times;
    for (;;) {
        const Halt halt = virtual_ != nullptr ? virtual_->run({.untilOutput = true})
                                              : board_.run({.untilOutput = true});
        if (halt != Halt::output)
            return times;
        std::array<std::uint8_t, 1> byte{};
        while (read(byte) == 1)
            times.push_back(board_.nowNs());
    }
}

void BoardClient::loadFlashAlgorithm(std::uint32_t flashBase) {
    const auto algorithm = std::span(TargetImage).subspan(296);
    EXPECT_EQ(writeBlock(0xFA40 + 296, algorithm), std::vector<std::uint8_t>{0xAA});
    const auto registerAt = [](unsigned n) { return 0xFA00U + 2 * n; };
    const std::uint32_t unlock1 = flashBase + 0x5555;
    const std::uint32_t unlock2 = flashBase + 0x2AAA;
    writeWord(registerAt(5), 0xAAAA);
    writeWord(registerAt(6), 0x5555);
    writeWord(registerAt(7), 0xA0A0);
    writeWord(registerAt(8), static_cast<std::uint16_t>(unlock1 & 0x3FFF));
    writeWord(0xFE00, static_cast<std::uint16_t>(unlock1 >> 14));  // DPP0
    writeWord(registerAt(9), static_cast<std::uint16_t>(0x8000 | (unlock2 & 0x3FFF)));
    writeWord(0xFE04, static_cast<std::uint16_t>(unlock2 >> 14));  // DPP2
    writeWord(registerAt(4), 0);                                   // byte cells
}

std::vector<std::uint8_t> BoardClient::programBlock(std::uint32_t address,
                                                    std::span<const std::uint8_t> data) {
    const auto count = static_cast<std::uint16_t>(data.size());
    auto frame = header(0x0E, address, {low(count), high(count)});
    frame.insert(frame.end(), data.begin(), data.end());
    return send(frame);
}

std::uint8_t BoardClient::readByte(std::uint32_t address) {
    const auto reply = send(header(0x05, address, {}));
    EXPECT_EQ(reply.size(), 1U);
    return reply.empty() ? 0 : reply[0];
}

std::uint16_t BoardClient::readWord(std::uint32_t address) {
    const auto reply = send(header(0x07, address & ~1U, {}));
    EXPECT_EQ(reply.size(), 2U);
    return reply.size() < 2 ? 0 : static_cast<std::uint16_t>(reply[0] | (reply[1] << 8));
}

void BoardClient::writeByte(std::uint32_t address, std::uint8_t value) {
    EXPECT_TRUE(send(header(0x06, address, {value})).empty());
}

void BoardClient::writeWord(std::uint32_t address, std::uint16_t value) {
    EXPECT_TRUE(send(header(0x08, address & ~1U, {low(value), high(value)})).empty());
}

std::vector<std::uint8_t> BoardClient::readBlock(std::uint32_t address, std::uint16_t count) {
    return send(header(0x09, address, {low(count), high(count)}));
}

std::vector<std::uint8_t> BoardClient::writeBlock(std::uint32_t address,
                                                  std::span<const std::uint8_t> data) {
    const auto count = static_cast<std::uint16_t>(data.size());
    auto frame = header(0x0A, address, {low(count), high(count)});
    frame.insert(frame.end(), data.begin(), data.end());
    return send(frame);
}

std::vector<std::uint8_t> BoardClient::checksum(std::uint32_t address, std::uint16_t count) {
    return send(header(0x0B, address, {low(count), high(count)}));
}

std::vector<std::uint8_t> BoardClient::startMonitor(bool xc16x) {
    std::vector<std::uint8_t> answers = send({0x00});
    const auto v = xc16x ? send(xc16xBootstrapCode()) : send(bootstrapCode());
    answers.insert(answers.end(), v.begin(), v.end());
    const auto none = send(monitorUpload());
    answers.insert(answers.end(), none.begin(), none.end());
    const auto aa = send({0x00});
    answers.insert(answers.end(), aa.begin(), aa.end());
    return answers;
}

}  // namespace halvard::sim::testing
