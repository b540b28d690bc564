// The host's CRC-32 routine on the emulated core, driven with raw command frames.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "board_client.hpp"
#include "sim/c166/core.hpp"
#include "target/crc_routine.hpp"

namespace halvard::sim::testing {
namespace {

constexpr std::uint32_t kImageBase = 0xFA40;
constexpr std::uint32_t kData = 0xF600;  // the C167CR's RAM below the register bank

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

VirtualBoardOptions optionsWith(const BoardConfig& config) {
    VirtualBoardOptions options;
    options.board = config;
    return options;
}

class CrcRoutine : public ::testing::Test {
  protected:
    explicit CrcRoutine(const BoardConfig& config = quietConfig())
        : virtual_(optionsWith(config)), client_(virtual_) {
        client_.startMonitor();
        loadRoutine();
    }
    void loadRoutine() {
        EXPECT_EQ(client_.writeBlock(kImageBase + kCrcRoutineOffset, kCrcRoutine),
                  std::vector<std::uint8_t>{0xAA});
        const auto tables = CrcRoutineTables();
        EXPECT_EQ(client_.writeBlock(kCrcTablesAddress, tables), std::vector<std::uint8_t>{0xAA});
        client_.writeWord(kCrcModeAddress, kCrcMode);
    }
    std::vector<std::uint8_t> crcOf(std::uint32_t address, std::uint16_t count) {
        return client_.send(
            {0x0E, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(count),
             static_cast<std::uint8_t>(count >> 8)});
    }
    std::vector<std::uint8_t> sentWithCrc(std::uint32_t address, std::uint16_t count) {
        client_.writeWord(kCrcModeAddress, kCrcSendMode);
        auto answer = crcOf(address, count);
        client_.writeWord(kCrcModeAddress, kCrcMode);
        return answer;
    }
    static std::vector<std::uint8_t> le32(std::uint32_t value) {
        return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    }

    VirtualBoard virtual_;
    Board& board_ = virtual_.board();
    BoardClient client_;
};

TEST_F(CrcRoutine, KnownVectorsAndTheHostsCrcAgree) {
    struct Vector {
        std::vector<std::uint8_t> bytes;
        std::uint32_t crc;
    };
    const Vector vectors[] = {
        {bytesOf("123456789"), 0xCBF43926},
        {bytesOf("a"), 0xE8B7BE43},
        {{0x00}, 0xD202EF8D},
        {bytesOf("The quick brown fox jumps over the lazy dog"), 0x414FA339},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(crc32(v.bytes), v.crc);
        client_.writeBlock(kData, v.bytes);
        const auto count = static_cast<std::uint16_t>(v.bytes.size());
        EXPECT_EQ(crcOf(kData, count), le32(RoutineCrc(kData, count, v.bytes)));
    }
}

TEST_F(CrcRoutine, ProvesTheMonitorAndAFlashPageInTime) {
    const auto monitor = monitorBytes();
    const auto count = static_cast<std::uint16_t>(monitor.size());
    EXPECT_EQ(crcOf(kImageBase + 32, count), le32(RoutineCrc(kImageBase + 32, count, monitor)));
    // The erased flash: 16 KB of FFh, through the page window in segment 2.
    const std::vector<std::uint8_t> erased(0x4000, 0xFF);
    const std::uint64_t before = board_.nowNs();
    EXPECT_EQ(crcOf(0x024000, 0x4000), le32(RoutineCrc(0x024000, 0x4000, erased)));
    const double ms = static_cast<double>(board_.nowNs() - before) / 1e6;
    RecordProperty("page_ms", std::to_string(ms));
    EXPECT_LT(ms, 100.0) << "a 16 KB page at 20 MHz";
}

// Erased pages hold the same bytes everywhere: only the request, as the routine understood it,
// tells their answers apart. Addresses with bits 13-8 set leave junk in DPP1's missing bits,
// which must not reach the CRC.
TEST_F(CrcRoutine, AnswersNameTheAddressAndCountAsked) {
    const std::vector<std::uint8_t> erased(0x200, 0xFF);
    const std::pair<std::uint32_t, std::uint16_t> requests[] = {
        {0x024000, 0x200}, {0x028000, 0x200}, {0x024002, 0x200}, {0x034000, 0x200},
        {0x027E00, 0x200}, {0x02BE00, 0x200}, {0x024000, 0x1FF}, {0x064000, 0x200},
    };
    std::set<std::vector<std::uint8_t>> answers;
    for (const auto& [address, count] : requests) {
        const auto answer = crcOf(address, count);
        EXPECT_EQ(answer, le32(RoutineCrc(address, count, std::span(erased).first(count))))
            << std::hex << address << " " << count;
        answers.insert(answer);
    }
    EXPECT_EQ(answers.size(), std::size(requests));
}

TEST_F(CrcRoutine, RefusesWithoutItsModeAndLeavesTheFlashParametersAlone) {
    client_.writeWord(0xFA08, 0x1234);  // R4, a flash algorithm parameter
    client_.writeWord(kCrcModeAddress, 0);
    EXPECT_EQ(crcOf(kData, 4), (std::vector<std::uint8_t>{0x5A, 0x00, 0x00}));
    client_.writeWord(kCrcModeAddress, kCrcMode);
    EXPECT_EQ(crcOf(kData, 4).size(), 4u);
    EXPECT_EQ(client_.readWord(0xFA08), 0x1234);
    EXPECT_EQ(client_.send({0x00}), std::vector<std::uint8_t>{0xAA});
}

// The listing in the header is what the bytes are: each line's bytes, in order, and the
// disassembler's reading of them, with branch targets written as NAME (image offset).
TEST(CrcRoutineListing, MatchesTheBytesAndTheDisassembler) {
    const std::regex line(R"(^(\d+)  ([0-9A-F]{2}(?: [0-9A-F]{2})*) +(\S+(?: \S+)*?)(?:  +.*)?$)");
    const std::regex target(R"([A-Z]+ \((\d+)\))");
    std::istringstream listing{std::string(kCrcRoutineListing)};
    std::vector<std::uint8_t> bytes;
    std::size_t offset = kCrcRoutineOffset;
    for (std::string text; std::getline(listing, text);) {
        if (text.empty())
            continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        EXPECT_EQ(std::stoul(m[1]), offset) << text;
        std::array<std::uint8_t, 4> code{};
        std::istringstream hexBytes(m[2]);
        std::size_t length = 0;
        for (unsigned value; hexBytes >> std::hex >> value; ++length)
            code[length] = static_cast<std::uint8_t>(value);
        bytes.insert(bytes.end(), code.begin(), code.begin() + length);
        std::string expected = m[3];
        std::smatch t;
        if (std::regex_search(expected, t, target)) {
            char address[8];
            std::snprintf(address, sizeof address, "%04Xh",
                          static_cast<unsigned>(kImageBase + std::stoul(t[1])));
            expected.replace(t.position(0), t.length(0), std::string("0") + address);
        }
        const Disassembly d = disassemble(code, kImageBase + static_cast<std::uint32_t>(offset));
        EXPECT_EQ(d.length, length) << text;
        EXPECT_EQ(d.text, expected) << text;
        offset += length;
    }
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(kCrcRoutine.begin(), kCrcRoutine.end()));
}

// The send mode answers the bytes and then their CRC-32, wherever they lie: RAM and flash, odd
// starts and lengths, up to the end of a flash page, and a whole page.
TEST_F(CrcRoutine, SendModeAnswersTheBytesAndThenTheHostsCrc) {
    std::mt19937 random(5);
    std::vector<std::uint8_t> ram(0x300);
    for (auto& b : ram)
        b = static_cast<std::uint8_t>(random());
    client_.writeBlock(kData, std::span(ram).first(0x200));
    client_.writeBlock(kData + 0x200, std::span(ram).subspan(0x200));
    // The page at 0x024000 (flash offset 0x4000), erased but for its last 512 bytes.
    std::vector<std::uint8_t> flash(0x4000, 0xFF);
    for (std::size_t i = 0x3E00; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>(random());
        virtual_.flashChip()->array()[0x4000 + i] = flash[i];
    }
    struct Case {
        std::uint32_t address;
        std::uint16_t count;
        std::span<const std::uint8_t> bytes;
    };
    const std::span<const std::uint8_t> r(ram), f(flash);
    const Case cases[] = {
        {kData, 1, r.first(1)},           {kData + 1, 7, r.subspan(1, 7)},
        {kData + 3, 0x2FD, r.subspan(3)}, {0x027FFF, 1, f.last(1)},
        {0x027E01, 0x1FF, f.last(0x1FF)}, {0x024000, 0x4000, f},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> expected(c.bytes.begin(), c.bytes.end());
        const auto crc = le32(RoutineCrc(c.address, c.count, c.bytes));
        expected.insert(expected.end(), crc.begin(), crc.end());
        EXPECT_EQ(sentWithCrc(c.address, c.count), expected)
            << std::hex << c.address << " " << c.count;
    }
    // The other mode and the monitor still work afterwards.
    EXPECT_EQ(crcOf(kData, 4), le32(RoutineCrc(kData, 4, r.first(4))));
    EXPECT_EQ(client_.send({0x00}), std::vector<std::uint8_t>{0xAA});
}

// At 115200 baud the CRC is computed while each byte is on the wire: a page and its CRC take
// their frames back to back, as a plain block read does.
class PacedCrcRoutine : public CrcRoutine {
  protected:
    PacedCrcRoutine() : CrcRoutine(pacedAt115200()) {}
    static BoardConfig pacedAt115200() {
        BoardConfig config = quietConfig();
        config.clockHz = 18'432'000;
        config.paced = true;
        config.baud = 115200;
        return config;
    }
};

TEST_F(PacedCrcRoutine, SendModeLeavesNoGapsOnTheLine) {
    client_.writeWord(kCrcModeAddress, kCrcSendMode);
    const std::uint64_t start = board_.nowNs();
    EXPECT_EQ(crcOf(0x024000, 0x4000).size(), 0x4000u + 4);
    const double frames = static_cast<double>(board_.nowNs() - start) * 115200 / 10e9;
    EXPECT_LT(frames, 6 + 0x4000 + 4 + 0.5);
}

}  // namespace
}  // namespace halvard::sim::testing
