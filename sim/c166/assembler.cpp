#include "sim/c166/assembler.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>
#include <span>

#include "sim/c166/opcode_table.hpp"
#include "sim/c166/operand_names.hpp"

namespace halvard::sim {

namespace {

// A line's fault; Assemble turns it into an AssemblyError with the line number.
struct LineError {
    std::string message;
};

// ---------------------------------------------------------------------------------- text

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

bool isIdentifierStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool isIdentifier(std::string_view text) {
    if (text.empty() || !isIdentifierStart(text.front()))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    });
}

bool isDecimal(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// The operands of a line: split at the commas that are not inside brackets.
std::vector<std::string_view> splitOperands(std::string_view text) {
    std::vector<std::string_view> parts;
    if (trim(text).empty())
        return parts;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        depth += text[i] == '[' ? 1 : text[i] == ']' ? -1 : 0;
        if (text[i] == ',' && depth == 0) {
            parts.push_back(trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    parts.push_back(trim(text.substr(start)));
    return parts;
}

// Assembler-style hex as the disassembler prints it, for messages.
std::string hex(std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%s%llXh", value < 0 ? "-" : "",
                  static_cast<unsigned long long>(value < 0 ? -value : value));
    const bool letterFirst = text[value < 0 ? 1 : 0] >= 'A';
    std::string result(text);
    return letterFirst ? result.insert(value < 0 ? 1 : 0, "0") : result;
}

// 0FE02h, 0xFE02 or 65026.
std::optional<std::int64_t> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    } else if (text.size() > 1 && (text.back() == 'h' || text.back() == 'H') &&
               std::isdigit(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_suffix(1);
        base = 16;
    }
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0'
                          : std::isxdigit(static_cast<unsigned char>(c)) != 0
                              ? std::toupper(static_cast<unsigned char>(c)) - 'A' + 10
                              : base;
        if (digit >= base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

// R0-R15 (word) and RL0-RH7 (byte, numbered as the core numbers them: RL0 0, RH0 1, ...).
struct GprName {
    Width width;
    unsigned number;
};

std::optional<GprName> parseGpr(std::string_view text) {
    const std::string name = upper(text);
    if (name.size() >= 3 && (name.starts_with("RL") || name.starts_with("RH")) &&
        isDecimal(name.substr(2))) {
        const unsigned k = static_cast<unsigned>(std::stoul(name.substr(2)));
        if (k <= 7 && name.size() == 3)
            return GprName{Width::Byte, 2 * k + (name[1] == 'H' ? 1U : 0U)};
        return std::nullopt;
    }
    if (name.size() >= 2 && name.size() <= 3 && name[0] == 'R' && isDecimal(name.substr(1))) {
        const unsigned n = static_cast<unsigned>(std::stoul(name.substr(1)));
        if (n <= 15 && !(name.size() == 3 && name[1] == '0'))
            return GprName{Width::Word, n};
    }
    return std::nullopt;
}

// --------------------------------------------------------------------------- operands

// A value is unknown only in the first pass, where a label may still lie ahead.
struct Value {
    std::int64_t number = 0;
    bool known = true;
};

using Symbols = std::map<std::string, std::int64_t, std::less<>>;

enum class Kind {
    Gpr,
    Indirect,
    PreDecrement,
    PostIncrement,
    Displaced,
    Immediate,
    Condition,
    Bit,
    Address
};

struct Operand {
    Kind kind = Kind::Address;
    GprName gpr{Width::Word, 0};  // Gpr, the register of the indirect kinds, a Bit's GPR word
    bool gprBit = false;          // Bit: the word is `gpr` rather than the address in `value`
    unsigned number = 0;          // Condition: its code; Bit: the bit
    Value value;                  // Immediate, Displaced, Address, a Bit's word address
};

Operand operandOf(Kind kind, GprName gpr = {Width::Word, 0}) {
    Operand operand;
    operand.kind = kind;
    operand.gpr = gpr;
    return operand;
}

class Evaluator {
  public:
    Evaluator(const Symbols& symbols, bool final) : symbols_(symbols), final_(final) {}

    // NAME, number, register name, or a sum of them: "TABLE + 2", "-1".
    Value evaluate(std::string_view text) const {
        text = trim(text);
        if (text.empty())
            throw LineError{"a value is missing"};
        Value total{0, true};
        int sign = 1;
        if (text.front() == '-' || text.front() == '+') {
            sign = text.front() == '-' ? -1 : 1;
            text.remove_prefix(1);
        }
        while (true) {
            const std::size_t end = text.find_first_of("+-");
            const Value term = evaluateTerm(trim(text.substr(0, end)));
            total.number += sign * term.number;
            total.known = total.known && term.known;
            if (end == std::string_view::npos)
                return total;
            sign = text[end] == '-' ? -1 : 1;
            text.remove_prefix(end + 1);
        }
    }

  private:
    Value evaluateTerm(std::string_view term) const {
        if (term.empty())
            throw LineError{"a value is missing"};
        if (const auto number = parseNumber(term))
            return {*number, true};
        if (!isIdentifier(term))
            throw LineError{"'" + std::string(term) + "' is not a value"};
        if (const std::string name = upper(term);
            name.size() > 1 && name[0] == 'R' &&
            isDecimal(name.substr(name[1] == 'L' || name[1] == 'H' ? 2 : 1)))
            throw LineError{"'" + std::string(term) + "' is not a register (R0-R15, RL0-RH7)"};
        if (const auto it = symbols_.find(term); it != symbols_.end())
            return {it->second, true};
        if (const auto address = registerAddress(term))
            return {*address, true};
        if (final_)
            throw LineError{"undefined symbol '" + std::string(term) + "'"};
        return {0, false};
    }

    const Symbols& symbols_;
    bool final_;
};

GprName wordRegister(std::string_view text, std::string_view operand) {
    const auto gpr = parseGpr(trim(text));
    if (!gpr || gpr->width != Width::Word)
        throw LineError{"'" + std::string(operand) + "': the register must be R0-R15"};
    return *gpr;
}

// [R1], [-R1], [R1+], [R1+#0010h]
Operand parseIndirect(std::string_view text, const Evaluator& evaluator) {
    if (text.back() != ']')
        throw LineError{"'" + std::string(text) + "' lacks its ']'"};
    const std::string_view inside = trim(text.substr(1, text.size() - 2));
    if (inside.starts_with('-'))
        return operandOf(Kind::PreDecrement, wordRegister(trim(inside.substr(1)), text));
    const std::size_t plus = inside.find('+');
    if (plus == std::string_view::npos)
        return operandOf(Kind::Indirect, wordRegister(inside, text));
    Operand operand = operandOf(Kind::PostIncrement, wordRegister(inside.substr(0, plus), text));
    const std::string_view rest = trim(inside.substr(plus + 1));
    if (rest.empty())
        return operand;
    if (rest.front() != '#')
        throw LineError{"'" + std::string(text) + "': the displacement needs a '#'"};
    operand.kind = Kind::Displaced;
    operand.value = evaluator.evaluate(rest.substr(1));
    return operand;
}

Operand parseOperand(std::string_view text, const Evaluator& evaluator) {
    if (text.empty())
        throw LineError{"an operand is missing"};
    if (text.front() == '[')
        return parseIndirect(text, evaluator);
    if (text.front() == '#') {
        Operand operand = operandOf(Kind::Immediate);
        operand.value = evaluator.evaluate(text.substr(1));
        return operand;
    }
    if (const auto code = conditionCode(text)) {
        Operand operand = operandOf(Kind::Condition);
        operand.number = *code;
        return operand;
    }
    if (const auto gpr = parseGpr(text))
        return operandOf(Kind::Gpr, *gpr);
    if (const std::size_t dot = text.rfind('.'); dot != std::string_view::npos) {
        const std::string_view bit = trim(text.substr(dot + 1));
        if (!isDecimal(bit) || bit.size() > 2 || std::stoul(std::string(bit)) > 15)
            throw LineError{"'" + std::string(text) + "': the bit must be 0-15"};
        Operand operand = operandOf(Kind::Bit);
        operand.number = static_cast<unsigned>(std::stoul(std::string(bit)));
        const std::string_view word = trim(text.substr(0, dot));
        if (const auto gpr = parseGpr(word); gpr && gpr->width == Width::Word) {
            operand.gpr = *gpr;
            operand.gprBit = true;
        } else {
            operand.value = evaluator.evaluate(word);
        }
        return operand;
    }
    Operand operand = operandOf(Kind::Address);
    operand.value = evaluator.evaluate(text);
    return operand;
}

// ------------------------------------------------------------------------------ fields

// The operands of one line, read as the fields of one table row. Each accessor answers nullopt
// when the operand is of another kind (the row does not match); a value of the right kind that
// does not fit also answers nullopt but leaves the reason in `why`, which is the line's error
// when no row matches.
class Fields {
  public:
    Fields(std::span<const Operand> operands, const Opcode& row, std::uint32_t address)
        : operands_(operands), row_(row), address_(address) {}

    bool count(std::size_t n) const { return operands_.size() == n; }
    Width width() const { return row_.width; }
    bool sawUnknown() const { return sawUnknown_; }
    const std::string& why() const { return why_; }

    // Rn in the row's width (R0-R15 or RL0-RH7).
    std::optional<unsigned> gpr(std::size_t i, Width width) const {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Gpr || o.gpr.width != width)
            return std::nullopt;
        return o.gpr.number;
    }
    std::optional<unsigned> gpr(std::size_t i) const { return gpr(i, row_.width); }

    // The 8-bit register field: a GPR (F0h + n) or a register of the SFR area by name or address.
    std::optional<unsigned> reg(std::size_t i) const {
        if (const auto n = gpr(i))
            return 0xF0 + *n;
        const Operand& o = operands_[i];
        if (o.kind != Kind::Address || !o.value.known)
            return std::nullopt;
        const std::int64_t a = o.value.number;
        if (a < 0xFE00 || a >= 0xFFE0 || a % 2 != 0)
            return std::nullopt;
        return static_cast<unsigned>((a - 0xFE00) / 2);
    }

    // [Rm], [Rm+] or [Rm+#d]: the register of that kind.
    std::optional<unsigned> indirect(std::size_t i, Kind kind) const {
        const Operand& o = operands_[i];
        return o.kind == kind ? std::optional<unsigned>(o.gpr.number) : std::nullopt;
    }

    // A 16-bit data address.
    std::optional<unsigned> mem(std::size_t i) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Address)
            return std::nullopt;
        return fit(o.value, 0, 0xFFFF, "address");
    }

    // #data of `bits` bits; the wide fields also take negative numbers as two's complement.
    std::optional<unsigned> immediate(std::size_t i, int bits) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Immediate)
            return std::nullopt;
        const std::int64_t top = (std::int64_t{1} << bits) - 1;
        const std::int64_t bottom = bits >= 8 ? -(top + 1) / 2 : 0;
        const auto value = fit(o.value, bottom, top, "#data" + std::to_string(bits));
        return value ? std::optional<unsigned>(*value & static_cast<unsigned>(top)) : value;
    }

    // A plain number (the segment of JMPS and CALLS).
    std::optional<unsigned> number(std::size_t i, std::int64_t top) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Address)
            return std::nullopt;
        return fit(o.value, 0, top, "number");
    }

    // #irang2 of EXTS and EXTP: 1 to 4 instructions.
    std::optional<unsigned> range(std::size_t i) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Immediate)
            return std::nullopt;
        return fit(o.value, 1, 4, "#irang2");
    }

    // Displacement of [Rm+#d], 16 bits.
    std::optional<unsigned> displacement(std::size_t i) {
        const auto value = fit(operands_[i].value, -0x8000, 0xFFFF, "displacement");
        return value ? std::optional<unsigned>(*value & 0xFFFF) : value;
    }

    std::optional<unsigned> condition(std::size_t i) const {
        const Operand& o = operands_[i];
        return o.kind == Kind::Condition ? std::optional<unsigned>(o.number) : std::nullopt;
    }

    // A bit as {bitoff, bit}: R0-R15, the bit-addressable RAM FD00h-FDFEh, or the SFRs
    // FF00h-FFDEh.
    std::optional<std::pair<unsigned, unsigned>> bit(std::size_t i) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Bit)
            return std::nullopt;
        if (o.gprBit)
            return std::pair{0xF0 + o.gpr.number, o.number};
        if (!o.value.known) {
            sawUnknown_ = true;
            return std::pair{0U, o.number};
        }
        const std::int64_t a = o.value.number;
        if (a % 2 == 0 && a >= 0xFD00 && a <= 0xFDFE)
            return std::pair{static_cast<unsigned>((a - 0xFD00) / 2), o.number};
        if (a % 2 == 0 && a >= 0xFF00 && a < 0xFFE0)
            return std::pair{static_cast<unsigned>(0x80 + (a - 0xFF00) / 2), o.number};
        why_ = hex(a) + " is not a bit-addressable word";
        return std::nullopt;
    }

    // The word displacement from the end of this instruction to a target in its segment.
    std::optional<unsigned> relative(std::size_t i) {
        const Operand& o = operands_[i];
        if (o.kind != Kind::Address)
            return std::nullopt;
        if (!o.value.known) {
            sawUnknown_ = true;
            return 0U;
        }
        const std::int64_t target = o.value.number;
        if (target < 0 || (target > 0xFFFF && target >> 16 != address_ >> 16)) {
            why_ = "branch target " + hex(target) + " is not in the segment of " + hex(address_);
            return std::nullopt;
        }
        const std::int64_t next = (address_ + row_.length) & 0xFFFF;
        const std::int64_t delta = (target & 0xFFFF) - next;
        if (delta % 2 != 0 || delta < -256 || delta > 254) {
            why_ = "branch target " + hex(target) + " is " + std::to_string(delta) +
                   " bytes from the end of " + std::string(row_.mnemonic) +
                   (delta % 2 != 0 ? ", an odd distance" : ", out of its reach (-256 to +254)");
            return std::nullopt;
        }
        return static_cast<unsigned>(delta / 2) & 0xFF;
    }

  private:
    std::optional<unsigned> fit(const Value& value, std::int64_t low, std::int64_t high,
                                const std::string& what) {
        if (!value.known) {
            sawUnknown_ = true;
            return 0U;
        }
        if (value.number < low || value.number > high) {
            why_ = hex(value.number) + " does not fit the " + what + " field of " +
                   std::string(row_.mnemonic);
            return std::nullopt;
        }
        return static_cast<unsigned>(value.number);
    }

    std::span<const Operand> operands_;
    const Opcode& row_;
    std::uint32_t address_;
    bool sawUnknown_ = false;
    std::string why_;
};

// ------------------------------------------------------------------------------- forms

// The instruction bytes, first byte lowest, as the opcode table's rows describe them.
constexpr std::uint32_t code(unsigned b0, unsigned b1, unsigned high16 = 0) {
    return b0 | (b1 & 0xFF) << 8 | (high16 & 0xFFFF) << 16;
}

constexpr std::uint32_t code(unsigned b0, unsigned b1, unsigned b2, unsigned b3) {
    return code(b0, b1, (b2 & 0xFF) | (b3 & 0xFF) << 8);
}

template <typename... T>
bool all(const std::optional<T>&... fields) {
    return (fields.has_value() && ...);
}

// The syntax and encoding of each form, one case per form: the operands the disassembler
// prints for it, in its order, and where their fields go (see the layouts in opcode_table.hpp).
// `unsupported` marks a form that has no case here yet.
std::optional<std::uint32_t> encodeForm(const Opcode& row, unsigned opcode, Fields& f,
                                        bool& unsupported) {
    switch (row.form) {
        case Form::Fixed:
            return f.count(0) ? std::optional(row.fixedCode) : std::nullopt;
        case Form::RegImm16: {  // reg, #data16
            if (!f.count(2))
                return std::nullopt;
            const auto r = f.reg(0);
            const auto data = f.immediate(1, 16);
            return all(r, data) ? std::optional(code(opcode, *r, *data)) : std::nullopt;
        }
        case Form::RegImm8: {  // reg, #data8
            if (!f.count(2))
                return std::nullopt;
            const auto r = f.reg(0);
            const auto data = f.immediate(1, 8);
            return all(r, data) ? std::optional(code(opcode, *r, *data)) : std::nullopt;
        }
        case Form::RegData4: {  // Rn, #data4
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto data = f.immediate(1, 4);
            return all(n, data) ? std::optional(code(opcode, *data << 4 | *n)) : std::nullopt;
        }
        case Form::RegReg: {  // Rn, Rm
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto m = f.gpr(1);
            return all(n, m) ? std::optional(code(opcode, *n << 4 | *m)) : std::nullopt;
        }
        case Form::RegMem: {  // reg, mem
            if (!f.count(2))
                return std::nullopt;
            const auto r = f.reg(0);
            const auto mem = f.mem(1);
            return all(r, mem) ? std::optional(code(opcode, *r, *mem)) : std::nullopt;
        }
        case Form::MemReg: {  // mem, reg
            if (!f.count(2))
                return std::nullopt;
            const auto mem = f.mem(0);
            const auto r = f.reg(1);
            return all(mem, r) ? std::optional(code(opcode, *r, *mem)) : std::nullopt;
        }
        case Form::IndMem: {  // [Rm], mem
            if (!f.count(2))
                return std::nullopt;
            const auto m = f.indirect(0, Kind::Indirect);
            const auto mem = f.mem(1);
            return all(m, mem) ? std::optional(code(opcode, *m, *mem)) : std::nullopt;
        }
        case Form::RegInd:       // Rn, [Rm]
        case Form::RegIndInc: {  // Rn, [Rm+]
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto m =
                f.indirect(1, row.form == Form::RegInd ? Kind::Indirect : Kind::PostIncrement);
            return all(n, m) ? std::optional(code(opcode, *n << 4 | *m)) : std::nullopt;
        }
        case Form::IndReg: {  // [Rm], Rn
            if (!f.count(2))
                return std::nullopt;
            const auto m = f.indirect(0, Kind::Indirect);
            const auto n = f.gpr(1);
            return all(m, n) ? std::optional(code(opcode, *n << 4 | *m)) : std::nullopt;
        }
        case Form::RegIndDisp: {  // Rn, [Rm+#data16]
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto m = f.indirect(1, Kind::Displaced);
            const auto d = m ? f.displacement(1) : std::nullopt;
            return all(n, m, d) ? std::optional(code(opcode, *n << 4 | *m, *d)) : std::nullopt;
        }
        case Form::WordFromByte: {  // Rwn, Rbm: the byte register in the high nibble
            if (!f.count(2))
                return std::nullopt;
            const auto word = f.gpr(0, Width::Word);
            const auto byte = f.gpr(1, Width::Byte);
            return all(word, byte) ? std::optional(code(opcode, *byte << 4 | *word)) : std::nullopt;
        }
        case Form::RegData3: {  // Rn, #data3
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto data = f.immediate(1, 3);
            return all(n, data) ? std::optional(code(opcode, *n << 4 | *data)) : std::nullopt;
        }
        case Form::RegIndI:       // Rn, [Ri]  (R0-R3)
        case Form::RegIndIncI: {  // Rn, [Ri+]
            if (!f.count(2))
                return std::nullopt;
            const bool inc = row.form == Form::RegIndIncI;
            const auto n = f.gpr(0);
            const auto i = f.indirect(1, inc ? Kind::PostIncrement : Kind::Indirect);
            if (!all(n, i) || *i > 3)
                return std::nullopt;
            return code(opcode, *n << 4 | (inc ? 0x0C : 0x08) | *i);
        }
        case Form::Bit: {  // bitoff.q, the bit in the opcode's high nibble
            if (!f.count(1))
                return std::nullopt;
            const auto b = f.bit(0);
            if (!b || b->second != opcode >> 4)
                return std::nullopt;
            return code(opcode, b->first);
        }
        case Form::BitBit: {  // ZZ.z, QQ.q
            if (!f.count(2))
                return std::nullopt;
            const auto z = f.bit(0);
            const auto q = f.bit(1);
            return all(z, q)
                       ? std::optional(code(opcode, q->first, z->first, q->second << 4 | z->second))
                       : std::nullopt;
        }
        case Form::BitRel: {  // bitoff.q, target
            if (!f.count(2))
                return std::nullopt;
            const auto b = f.bit(0);
            const auto rel = b ? f.relative(1) : std::nullopt;
            return all(b, rel) ? std::optional(code(opcode, b->first, *rel, b->second << 4))
                               : std::nullopt;
        }
        case Form::CondRel: {  // cc, target; the condition in the opcode's high nibble
            if (!f.count(2))
                return std::nullopt;
            const auto cc = f.condition(0);
            if (!cc || *cc != opcode >> 4)
                return std::nullopt;
            const auto rel = f.relative(1);
            return rel ? std::optional(code(opcode, *rel)) : std::nullopt;
        }
        case Form::Rel: {  // target
            if (!f.count(1))
                return std::nullopt;
            const auto rel = f.relative(0);
            return rel ? std::optional(code(opcode, *rel)) : std::nullopt;
        }
        case Form::CondInd: {  // cc, [Rn]
            if (!f.count(2))
                return std::nullopt;
            const auto cc = f.condition(0);
            const auto n = f.indirect(1, Kind::Indirect);
            return all(cc, n) ? std::optional(code(opcode, *cc << 4 | *n)) : std::nullopt;
        }
        case Form::Reg: {  // reg
            if (!f.count(1))
                return std::nullopt;
            const auto r = f.reg(0);
            return r ? std::optional(code(opcode, *r)) : std::nullopt;
        }
        case Form::Gpr: {  // Rn, in the high nibble
            const auto n = f.count(1) ? f.gpr(0) : std::nullopt;
            return n ? std::optional(code(opcode, *n << 4)) : std::nullopt;
        }
        case Form::GprImm16: {  // Rwn, #data16
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto data = f.immediate(1, 16);
            return all(n, data) ? std::optional(code(opcode, 0xF0 | *n, *data)) : std::nullopt;
        }
        case Form::GprMem: {  // Rwn, mem
            if (!f.count(2))
                return std::nullopt;
            const auto n = f.gpr(0);
            const auto mem = f.mem(1);
            return all(n, mem) ? std::optional(code(opcode, 0xF0 | *n, *mem)) : std::nullopt;
        }
        case Form::MemInd: {  // mem, [Rwn]
            if (!f.count(2))
                return std::nullopt;
            const auto mem = f.mem(0);
            const auto n = f.indirect(1, Kind::Indirect);
            return all(mem, n) ? std::optional(code(opcode, *n, *mem)) : std::nullopt;
        }
        case Form::DecIndReg: {  // [-Rwm], Rn
            if (!f.count(2))
                return std::nullopt;
            const auto m = f.indirect(0, Kind::PreDecrement);
            const auto n = f.gpr(1);
            return all(m, n) ? std::optional(code(opcode, *n << 4 | *m)) : std::nullopt;
        }
        case Form::IndInd:       // [Rwn], [Rwm]
        case Form::IndIncInd:    // [Rwn+], [Rwm]
        case Form::IndIndInc: {  // [Rwn], [Rwm+]
            if (!f.count(2))
                return std::nullopt;
            const auto n =
                f.indirect(0, row.form == Form::IndIncInd ? Kind::PostIncrement : Kind::Indirect);
            const auto m =
                f.indirect(1, row.form == Form::IndIndInc ? Kind::PostIncrement : Kind::Indirect);
            return all(n, m) ? std::optional(code(opcode, *n << 4 | *m)) : std::nullopt;
        }
        case Form::IndDispReg: {  // [Rwm+#data16], Rn
            if (!f.count(2))
                return std::nullopt;
            const auto m = f.indirect(0, Kind::Displaced);
            const auto d = m ? f.displacement(0) : std::nullopt;
            const auto n = f.gpr(1);
            return all(m, d, n) ? std::optional(code(opcode, *n << 4 | *m, *d)) : std::nullopt;
        }
        case Form::CondAbs: {  // cc, caddr
            if (!f.count(2))
                return std::nullopt;
            const auto cc = f.condition(0);
            const auto target = f.mem(1);
            return all(cc, target) ? std::optional(code(opcode, *cc << 4, *target)) : std::nullopt;
        }
        case Form::SegAbs: {  // seg, caddr
            if (!f.count(2))
                return std::nullopt;
            const auto seg = f.number(0, 0xFF);
            const auto target = f.mem(1);
            return all(seg, target) ? std::optional(code(opcode, *seg, *target)) : std::nullopt;
        }
        case Form::ExtSeg:     // #seg, #irang2
        case Form::ExtPage: {  // #pag, #irang2
            if (!f.count(2))
                return std::nullopt;
            const bool page = row.form == Form::ExtPage;
            const auto value = f.immediate(0, page ? 10 : 8);
            const auto range = f.range(1);
            if (!all(value, range))
                return std::nullopt;
            const unsigned mode = (page ? 0x40 : 0x00) | (*range - 1) << 4;
            return page ? code(opcode, mode, *value & 0xFF, *value >> 8)
                        : code(opcode, mode, *value, 0);
        }
        case Form::ExtSegReg:     // Rwm, #irang2
        case Form::ExtPageReg: {  // Rwm, #irang2
            if (!f.count(2))
                return std::nullopt;
            const auto m = f.gpr(0, Width::Word);
            const auto range = f.range(1);
            const unsigned mode = row.form == Form::ExtPageReg ? 0x40 : 0x00;
            return all(m, range) ? std::optional(code(opcode, mode | (*range - 1) << 4 | *m))
                                 : std::nullopt;
        }
        default:
            unsupported = true;
            return std::nullopt;
    }
}

// ----------------------------------------------------------------------------- driver

struct Encoded {
    unsigned row;  // the index in opcodeRows()
    std::uint32_t code;
    unsigned length;
    bool sawUnknown;
};

struct SourceLine {
    std::string_view label;
    std::string_view word;  // mnemonic or directive
    std::string_view rest;  // operands
};

SourceLine splitLine(std::string_view text) {
    if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos)
        text = text.substr(0, semicolon);
    text = trim(text);
    SourceLine line;
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        const std::string_view label = trim(text.substr(0, colon));
        if (!isIdentifier(label))
            throw LineError{"'" + std::string(label) + "' is not a label name"};
        line.label = label;
        text = trim(text.substr(colon + 1));
    }
    const std::size_t space = text.find_first_of(" \t");
    line.word = text.substr(0, space);
    line.rest = space == std::string_view::npos ? std::string_view{} : trim(text.substr(space));
    return line;
}

class Assembler {
  public:
    Assembler(std::string_view source, std::uint32_t origin) : origin_(origin) {
        for (std::size_t start = 0; start <= source.size();) {
            const std::size_t end = std::min(source.find('\n', start), source.size());
            lines_.push_back(source.substr(start, end - start));
            start = end + 1;
        }
        chosen_.assign(lines_.size(), std::nullopt);
    }

    AssemblyResult run() {
        for (const bool final : {false, true}) {
            if (auto error = pass(final))
                return *error;
        }
        return std::move(out_);
    }

  private:
    std::optional<AssemblyError> pass(bool final) {
        final_ = final;
        out_.bytes.clear();
        out_.lines.clear();
        out_.exports.clear();
        out_.origin = origin_;
        definedThisPass_.clear();
        for (current_ = 0; current_ < lines_.size(); ++current_) {
            try {
                assembleLine(splitLine(lines_[current_]));
            } catch (const LineError& error) {
                return AssemblyError{current_ + 1, error.message};
            }
        }
        return std::nullopt;
    }

    std::uint32_t here() const {
        return out_.origin + static_cast<std::uint32_t>(out_.bytes.size());
    }
    Evaluator evaluator() const { return Evaluator(out_.symbols, final_); }

    void assembleLine(const SourceLine& line) {
        if (!line.label.empty())
            define(line.label, here());
        if (line.word.empty())
            return;
        const std::uint32_t address = here();
        const std::size_t before = out_.bytes.size();
        const bool instruction = line.word.front() != '.';
        if (instruction)
            assembleInstruction(upper(line.word), line.rest);
        else
            assembleDirective(lower(line.word), line.rest);
        if (out_.bytes.size() > before)
            out_.lines.push_back({current_ + 1, address, out_.bytes.size() - before, instruction});
    }

    void define(std::string_view name, std::int64_t value) {
        if (parseGpr(name) || conditionCode(name) || registerAddress(name))
            throw LineError{"'" + std::string(name) + "' is a register or condition name"};
        if (!definedThisPass_.insert(std::string(name)).second)
            throw LineError{"'" + std::string(name) + "' is defined twice"};
        out_.symbols[std::string(name)] = value;
    }

    void emit(std::int64_t value, unsigned bytes) {
        for (unsigned i = 0; i < bytes; ++i)
            out_.bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }

    // Values of .byte and .word; unknown ones only in the first pass, where size is what counts.
    std::int64_t dataValue(std::string_view text, std::int64_t low, std::int64_t high) {
        const Value value = evaluator().evaluate(text);
        if (value.known && (value.number < low || value.number > high))
            throw LineError{hex(value.number) + " does not fit in " +
                            (high == 0xFF ? "a byte" : "a word")};
        return value.number;
    }

    std::int64_t knownValue(std::string_view text, std::string_view directive) {
        const Value value = evaluator().evaluate(text);
        if (!value.known)
            throw LineError{std::string(directive) + " needs a value known at this line"};
        return value.number;
    }

    void assembleDirective(const std::string& directive, std::string_view rest) {
        const std::vector<std::string_view> args = splitOperands(rest);
        const auto expect = [&](std::size_t n) {
            if (args.size() != n)
                throw LineError{directive + " takes " + std::to_string(n) + " operand(s)"};
        };
        if (directive == ".equ") {
            expect(2);
            if (!isIdentifier(args[0]))
                throw LineError{"'" + std::string(args[0]) + "' is not a name"};
            const Value value = evaluator().evaluate(args[1]);
            if (value.known)
                define(args[0], value.number);
        } else if (directive == ".byte" || directive == ".word") {
            if (args.empty())
                throw LineError{directive + " needs values"};
            const bool word = directive == ".word";
            for (std::string_view arg : args)
                emit(dataValue(arg, word ? -0x8000 : -0x80, word ? 0xFFFF : 0xFF), word ? 2 : 1);
        } else if (directive == ".space") {
            expect(1);
            const std::int64_t n = knownValue(args[0], directive);
            if (n < 0 || n > 0x10000)
                throw LineError{".space of " + std::to_string(n) + " bytes"};
            out_.bytes.resize(out_.bytes.size() + static_cast<std::size_t>(n), 0);
        } else if (directive == ".align") {
            expect(1);
            const std::int64_t n = knownValue(args[0], directive);
            if (n <= 0 || n > 0x10000)
                throw LineError{".align to " + std::to_string(n) + " bytes"};
            while (here() % n != 0)
                out_.bytes.push_back(0);
        } else if (directive == ".org") {
            expect(1);
            if (!out_.bytes.empty() || !definedThisPass_.empty())
                throw LineError{".org must come before the first label and byte"};
            out_.origin = static_cast<std::uint32_t>(knownValue(args[0], directive));
        } else if (directive == ".export") {
            expect(1);
            if (final_ && out_.symbols.find(args[0]) == out_.symbols.end())
                throw LineError{"undefined symbol '" + std::string(args[0]) + "' exported"};
            out_.exports.emplace_back(args[0]);
        } else {
            throw LineError{"unknown directive '" + std::string(directive) + "'"};
        }
    }

    void assembleInstruction(const std::string& mnemonic, std::string_view rest) {
        if (here() % 2 != 0)
            throw LineError{"an instruction at the odd address " + hex(here()) +
                            " (.align 2 before it)"};
        std::vector<Operand> operands;
        const Evaluator eval = evaluator();
        for (std::string_view text : splitOperands(rest))
            operands.push_back(parseOperand(text, eval));

        const std::span<const Opcode> rows = opcodeRows();
        std::vector<Encoded> matches;
        std::string why;
        unsigned whyLength = 0;
        bool known = false;
        bool unsupported = false;
        for (unsigned index = 0; index < rows.size(); ++index) {
            const Opcode& row = rows[index];
            if (row.mnemonic != mnemonic || !row.handler)
                continue;
            known = true;
            if (final_ && chosen_[current_] && *chosen_[current_] != index)
                continue;
            Fields fields(operands, row, here());
            const auto encoded = encodeForm(row, row.opcode, fields, unsupported);
            if (encoded && formAccepts(row, *encoded)) {
                matches.push_back({index, *encoded, row.length, fields.sawUnknown()});
            } else if (!fields.why().empty() && row.length >= whyLength) {
                why = fields.why();
                whyLength = row.length;
            }
        }
        if (!known)
            throw LineError{"unknown mnemonic '" + mnemonic + "'"};
        if (matches.empty()) {
            if (!why.empty())
                throw LineError{why};
            throw LineError{unsupported
                                ? "the assembler has no syntax yet for a form of " + mnemonic +
                                      " ('" + std::string(rest) + "')"
                                : "no form of " + mnemonic + " takes '" + std::string(rest) + "'"};
        }
        const Encoded& best = choose(matches);
        chosen_[current_] = best.row;
        emit(best.code, best.length);
    }

    // The shortest encoding; while a value is still unknown, the longest, so that the second
    // pass, which keeps the row, never finds it too small.
    static const Encoded& choose(const std::vector<Encoded>& matches) {
        const bool unknown = std::any_of(matches.begin(), matches.end(),
                                         [](const Encoded& e) { return e.sawUnknown; });
        const auto shorter = [](const Encoded& a, const Encoded& b) { return a.length < b.length; };
        return unknown ? *std::max_element(matches.begin(), matches.end(), shorter)
                       : *std::min_element(matches.begin(), matches.end(), shorter);
    }

    std::vector<std::string_view> lines_;
    std::vector<std::optional<unsigned>> chosen_;  // each line's row, from the first pass
    std::uint32_t origin_;
    bool final_ = false;
    std::size_t current_ = 0;
    std::set<std::string, std::less<>> definedThisPass_;
    Assembly out_;
};

}  // namespace

AssemblyResult Assemble(std::string_view source, std::uint32_t origin) {
    return Assembler(source, origin).run();
}

}  // namespace halvard::sim
