#pragma once

// The check that an assembled source says what its bytes are: each instruction line's bytes,
// disassembled at their address, read as the line itself. Values compare by number, so a label,
// NAME + 2, 0x10 or a register's name in the source matches the disassembler's hex.

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/c166/assembler.hpp"
#include "sim/c166/core.hpp"
#include "sim/c166/operand_names.hpp"

namespace halvard::sim::test {

// A word (upper-cased), a punctuation mark, or a value.
struct SourceToken {
    std::string text;
    std::optional<std::int64_t> value;
    bool operator==(const SourceToken&) const = default;
};

// Read independently of the assembler, so that a misread number there shows here.
inline std::optional<std::int64_t> numberOf(std::string word) {
    int base = 10;
    if (word.size() > 2 && (word[1] == 'X' || word[1] == 'x')) {
        word = word.substr(2);
        base = 16;
    } else if (word.back() == 'H' || word.back() == 'h') {
        word.pop_back();
        base = 16;
    }
    std::size_t used = 0;
    const std::int64_t value = std::stoll(word, &used, base);
    return used == word.size() ? std::optional(value) : std::nullopt;
}

inline std::vector<SourceToken> sourceTokens(std::string_view text, const Assembly& assembly) {
    std::vector<SourceToken> tokens;
    const auto wordChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    };
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (wordChar(text[i]) && end < text.size() && wordChar(text[end]))
            ++end;
        const std::string word(text.substr(i, end - i));
        i = end;
        SourceToken token{word, std::nullopt};
        if (std::isdigit(static_cast<unsigned char>(word[0])))
            token.value = numberOf(word);
        else if (const auto it = assembly.symbols.find(word); it != assembly.symbols.end())
            token.value = it->second;
        else if (const auto address = registerAddress(word))
            token.value = *address;  // S0RBUF reads as the 0FEB2h a mem operand prints
        if (!token.value)
            for (char& c : token.text)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        else
            token.text.clear();
        // NAME + 2: the sum is one value.
        const std::size_t n = tokens.size();
        if (token.value && n >= 2 && tokens[n - 2].value &&
            (tokens[n - 1].text == "+" || tokens[n - 1].text == "-")) {
            const std::int64_t sum = tokens[n - 1].text == "+"
                                         ? *tokens[n - 2].value + *token.value
                                         : *tokens[n - 2].value - *token.value;
            tokens.pop_back();
            tokens.back().value = sum;
            continue;
        }
        tokens.push_back(token);
    }
    return tokens;
}

// The instruction part of a source line: no label, no comment.
inline std::string_view instructionText(std::string_view line) {
    line = line.substr(0, line.find(';'));
    if (const std::size_t colon = line.find(':'); colon != std::string_view::npos)
        line.remove_prefix(colon + 1);
    return line;
}

inline ::testing::AssertionResult DisassemblesToSource(std::string_view source,
                                                       std::uint32_t origin) {
    const AssemblyResult result = Assemble(source, origin);
    if (const auto* error = std::get_if<AssemblyError>(&result))
        return ::testing::AssertionFailure() << "line " << error->line << ": " << error->message;
    const Assembly& assembly = std::get<Assembly>(result);
    std::istringstream in{std::string(source)};
    std::vector<std::string> storage;
    for (std::string line; std::getline(in, line);)
        storage.push_back(line);
    std::size_t checked = 0;
    for (const AssembledLine& line : assembly.lines) {
        if (!line.instruction)
            continue;
        std::array<std::uint8_t, 4> code{};
        for (std::size_t i = 0; i < line.size && i < code.size(); ++i)
            code[i] = assembly.bytes[line.address - assembly.origin + i];
        const Disassembly d = disassemble(code, line.address);
        const std::string_view text = instructionText(storage.at(line.line - 1));
        if (d.length != line.size || sourceTokens(d.text, assembly) != sourceTokens(text, assembly))
            return ::testing::AssertionFailure()
                   << "line " << line.line << " '" << text << "' disassembles as '" << d.text
                   << "' (" << d.length << " bytes of " << line.size << ")";
        ++checked;
    }
    if (checked == 0)
        return ::testing::AssertionFailure() << "no instruction lines";
    return ::testing::AssertionSuccess() << checked << " instruction lines";
}

}  // namespace halvard::sim::test
