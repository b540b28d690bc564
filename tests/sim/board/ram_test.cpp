// Each CPU model's RAM: a write where the CPU has no memory stops the board and names the address
// and the instruction, so that target code cannot rely on RAM that only the virtual board has.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board_client.hpp"
#include "sim/board/board.hpp"

namespace halvard::sim::testing {
namespace {

struct EdgeWrite {
    const char* cpu;
    std::uint32_t address;
    bool word;
    const char* outside;  // how the stop names the place; nullptr: taken; "": goes nowhere
};

// Just outside each RAM range where something other than registers lies next to it, and just
// inside where a range is wider than the smallest. The SFRs above every RAM and the C167CS's
// ESFRs below its RAM answer writes.
const EdgeWrite kEdges[] = {
    {"c167cr", 0xF5FF, false, "outside the C167CR's RAM (0xF600-0xFDFF)"},
    {"c167cr", 0xF600, true, nullptr},
    {"c167cs", 0xF200, true, nullptr},
    {"c161pi", 0xF9FE, true, "outside the C161PI's RAM (0xFA00-0xFDFF)"},
    {"c161pi", 0xFDFF, false, nullptr},
    {"c161ri", 0xF9FF, false, "outside the C161RI's RAM (0xFA00-0xFDFF)"},
    {"xc16x", 0xF5FE, true, "outside the XC16x's RAM (0xF600-0xFDFF)"},
    {"xc16x", 0xDFFFFF, false, ""},
    {"xc16x", 0xE0FFFF, false, nullptr},
    {"xc16x", 0xE10000, true, ""},
    {"c167cr", 0xE00000, false, ""},  // a C16x has no PSRAM
    {"c167cr", 0x010000, true, ""},   // nothing on the external bus
};

// The instruction named must be the monitor's, which did the write: a stop that names the
// address after it, or the wrong segment, points the developer at the wrong code.
bool namesAMonitorInstruction(const std::string& text, std::uint32_t imageBase) {
    unsigned wrote = 0;
    unsigned at = 0;
    if (std::sscanf(text.c_str(), "target code wrote to 0x%x at 0x%x", &wrote, &at) != 2)
        return false;
    return at >= imageBase + 32 && at < imageBase + 296;
}

TEST(RamEdges, WriteOutsideTheRamStopsTheBoardAndOneInsideIsTaken) {
    for (const EdgeWrite& edge : kEdges) {
        SCOPED_TRACE(std::string(edge.cpu) + " " + std::to_string(edge.address));
        const CpuModel cpu = *findCpuModel(edge.cpu);
        const bool xc16x = cpu.loader == LoaderKind::xc16x;
        Board board(quietConfig(cpu));
        BoardClient client(board);
        ASSERT_EQ(client.startMonitor(xc16x).size(), 3U);
        if (edge.word) {
            client.writeWord(edge.address, 0x5AC3);
        } else {
            client.writeByte(edge.address, 0x5A);
        }
        if (edge.outside != nullptr && *edge.outside == '\0') {
            EXPECT_FALSE(board.stopped()) << board.diagnostic();
            continue;
        }
        if (edge.outside == nullptr) {
            ASSERT_FALSE(board.stopped()) << board.diagnostic();
            const unsigned readBack =
                edge.word ? client.readWord(edge.address) : client.readByte(edge.address);
            EXPECT_EQ(readBack, edge.word ? 0x5AC3U : 0x5AU);
            continue;
        }
        EXPECT_EQ(board.run(), Halt::stopped);
        char wrote[40];
        std::snprintf(wrote, sizeof wrote, "target code wrote to 0x%06X at 0x",
                      static_cast<unsigned>(edge.address));
        const std::string& text = board.diagnostic();
        EXPECT_EQ(text.rfind(wrote, 0), 0U) << text;
        EXPECT_TRUE(text.ends_with(edge.outside)) << text;
        EXPECT_TRUE(namesAMonitorInstruction(text, xc16x ? cpu.psram.first : 0xFA40)) << text;
    }
}

struct StrayCode {
    const char* way;
    std::vector<std::uint8_t> code;  // runs from 0xFA40; its second instruction, at 0xFA44, writes
    std::uint32_t address;
};

// The ways code writes memory that bypass the bus when the core takes its fast path to RAM:
// through a pointer, the stack and the register bank.
const StrayCode kStrays[] = {
    {"MOV [R1],R2", {0xE6, 0xF1, 0xFE, 0xF5, 0xB8, 0x21}, 0xF5FE},
    {"MOVB [R1],RL2", {0xE6, 0xF1, 0xFF, 0xF5, 0xB9, 0x41}, 0xF5FF},
    {"PUSH after MOV SP,#0F600h", {0xE6, 0x09, 0x00, 0xF6, 0xEC, 0xF1}, 0xF5FE},
    {"MOV R1,#1 after MOV CP,#0F5E0h", {0xE6, 0x08, 0xE0, 0xF5, 0xE0, 0x11}, 0xF5E2},
};

TEST(StrayWrites, EveryWayOfWritingIsCaughtAtItsInstructionAndToldOnce) {
    for (const StrayCode& stray : kStrays) {
        SCOPED_TRACE(stray.way);
        std::FILE* log = std::tmpfile();
        ASSERT_NE(log, nullptr);
        BoardConfig config = quietConfig();
        config.diagnostics = log;
        Board board(config);
        BoardClient client(board);
        std::vector<std::uint8_t> code = stray.code;
        while (code.size() < 32)
            code.insert(code.end(), {0xCC, 0x00});  // NOPs
        client.send({0x00});
        EXPECT_TRUE(client.send(code).empty());
        char expected[120];
        std::snprintf(expected, sizeof expected,
                      "target code wrote to 0x%06X at 0x00FA44, outside the C167CR's RAM "
                      "(0xF600-0xFDFF)",
                      static_cast<unsigned>(stray.address));
        EXPECT_EQ(board.diagnostic(), expected);
        EXPECT_EQ(board.core().ip(), 0xFA46) << "the board ran on after the write";

        std::rewind(log);
        std::string text(256, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), log));
        std::fclose(log);
        EXPECT_EQ(text, "virtual board: " + std::string(expected) + "\n");
    }
}

}  // namespace
}  // namespace halvard::sim::testing
