// The host's LZ4 block compressor: hash chains over the dictionary and the input find the
// longest matches, a lazy parse trades a literal for a longer match, and the block ends where
// the longest prefix still fits the frame.
#include <algorithm>
#include <array>

#include "pack/lz4_block.hpp"

namespace halvard {
namespace {

constexpr std::size_t kMinMatch = 4;
// The block format's end rules, which the reference decoder's fast paths rely on: the last
// 5 bytes are literals, and the last match starts at least 12 bytes before the end.
constexpr std::size_t kLastLiterals = 5;
constexpr std::size_t kLastMatchStart = 12;
constexpr unsigned kHashBits = 16;
// How many earlier positions with the same hash are tried: 1024 packed the firmware images of
// bench/firmware_corpus.sh only 0.1 % smaller, 64 0.1 % larger.
constexpr int kChainDepth = 256;
constexpr std::int32_t kNone = -1;
// A match waits for a longer one up to 2 bytes later (1 byte later: 0.1 % larger images).
constexpr std::size_t kLazySteps = 2;

std::size_t extraLengthBytes(std::size_t length) {
    return length < 15 ? 0 : (length - 15) / 255 + 1;
}

struct Match {
    std::size_t length = 0;
    std::size_t offset = 0;
};

// Its literals start where the previous sequence's match ended.
struct Sequence {
    std::size_t literals = 0;
    Match match;
};

std::size_t sequenceCost(const Sequence& sequence) {
    return 1 + extraLengthBytes(sequence.literals) + sequence.literals + 2 +
           extraLengthBytes(sequence.match.length - kMinMatch);
}

std::size_t tailCost(std::size_t literals) {
    return 1 + extraLengthBytes(literals) + literals;
}

// The most literals a closing run can carry in `budget` bytes.
std::size_t longestTail(std::size_t budget) {
    if (budget == 0)
        return 0;
    std::size_t literals = budget - 1;
    while (literals > 0 && tailCost(literals) > budget)
        --literals;
    return literals;
}

class MatchFinder {
  public:
    MatchFinder(std::span<const std::uint8_t> window, std::size_t minOffset)
        : window_(window),
          minOffset_(std::max<std::size_t>(minOffset, 1)),
          head_(std::size_t{1} << kHashBits, kNone),
          previous_(window.size(), kNone) {
        for (std::size_t at = 0; at + kMinMatch <= window.size(); ++at) {
            auto& head = head_[hashAt(at)];
            previous_[at] = head;
            head = static_cast<std::int32_t>(at);
        }
    }

    // The longest match at `at` that is at most `longest` bytes, nearest first among equals.
    Match best(std::size_t at, std::size_t longest) const {
        Match best;
        int depth = kChainDepth;
        for (std::int32_t from = previous_[at]; from != kNone && depth-- > 0;
             from = previous_[static_cast<std::size_t>(from)]) {
            const std::size_t offset = at - static_cast<std::size_t>(from);
            if (offset > kMaxPackOffset)
                break;
            if (offset < minOffset_ || window_[at + best.length] != window_[from + best.length])
                continue;
            const std::size_t length = commonLength(static_cast<std::size_t>(from), at, longest);
            if (length > best.length) {
                best = {length, offset};
                if (length == longest)
                    break;
            }
        }
        return best.length >= kMinMatch ? best : Match{};
    }

  private:
    std::size_t hashAt(std::size_t at) const {
        const std::uint32_t word = window_[at] | std::uint32_t{window_[at + 1]} << 8 |
                                   std::uint32_t{window_[at + 2]} << 16 |
                                   std::uint32_t{window_[at + 3]} << 24;
        return (word * 2654435761u) >> (32 - kHashBits);
    }
    std::size_t commonLength(std::size_t from, std::size_t at, std::size_t longest) const {
        std::size_t length = 0;
        while (length < longest && window_[from + length] == window_[at + length])
            ++length;
        return length;
    }

    std::span<const std::uint8_t> window_;
    std::size_t minOffset_;
    std::vector<std::int32_t> head_;
    std::vector<std::int32_t> previous_;
};

// Sequences of the window from `start` for a block that ends at `end`, until they alone cost
// more than `budget`. A match 1 or 2 bytes later that is longer by more than the literals it
// leaves behind wins.
std::vector<Sequence> parse(const MatchFinder& finder, std::size_t start, std::size_t end,
                            std::size_t budget) {
    std::vector<Sequence> sequences;
    std::size_t cost = 0;
    std::size_t anchor = start;
    std::size_t at = start;
    while (at + kLastMatchStart <= end && cost + tailCost(at - anchor) <= budget) {
        Match match = finder.best(at, end - kLastLiterals - at);
        if (match.length == 0) {
            ++at;
            continue;
        }
        for (std::size_t step = 1; step <= kLazySteps && at + step + kLastMatchStart <= end;) {
            const Match later = finder.best(at + step, end - kLastLiterals - at - step);
            if (later.length <= match.length + step - 1) {
                ++step;
                continue;
            }
            at += step;
            match = later;
            step = 1;
        }
        sequences.push_back({at - anchor, match});
        cost += sequenceCost(sequences.back());
        at += match.length;
        anchor = at;
    }
    return sequences;
}

// Where the block ends: after `keep` whole sequences, then perhaps the next one with its match
// cut to `cutLength`, then literals up to `covered`.
struct Ending {
    std::size_t keep = 0;
    std::size_t cutLength = 0;
    std::size_t covered = 0;
    std::size_t packed = 0;
};

class EndingSearch {
  public:
    EndingSearch(std::size_t end, std::size_t maxPacked, bool even)
        : end_(end), maxPacked_(maxPacked), even_(even) {}

    // After `keep` sequences that end at `at` and cost `cost`: the longest closing literal run
    // that leaves the block's end at least at `lowest`.
    void tryTail(std::size_t keep, std::size_t at, std::size_t cost, std::size_t lowest) {
        if (cost >= maxPacked_)
            return;
        std::size_t covered = std::min(at + longestTail(maxPacked_ - cost), end_);
        if (even_)
            covered &= ~std::size_t{1};
        if (covered >= lowest)
            offer({keep, 0, covered, cost + tailCost(covered - at)});
    }
    // The next sequence's match cut short, so that the block ends 5 literals after it.
    void tryCut(std::size_t keep, std::size_t at, std::size_t cost, const Sequence& next) {
        const std::size_t matchStart = at + next.literals;
        for (std::size_t length = next.match.length - 1; length >= kLastMatchStart - kLastLiterals;
             --length) {
            const std::size_t covered = matchStart + length + kLastLiterals;
            const Sequence cut{next.literals, {length, next.match.offset}};
            const std::size_t packed = cost + sequenceCost(cut) + tailCost(kLastLiterals);
            if ((even_ && covered % 2 != 0) || packed > maxPacked_)
                continue;
            offer({keep, length, covered, packed});
            return;
        }
    }
    const Ending& best() const { return best_; }

  private:
    // The longest prefix wins; of equally long ones, the smallest block.
    void offer(const Ending& ending) {
        if (ending.covered > best_.covered ||
            (ending.covered == best_.covered && ending.packed < best_.packed))
            best_ = ending;
    }

    std::size_t end_;
    std::size_t maxPacked_;
    bool even_;
    Ending best_{0, 0, 0, tailCost(0)};
};

Ending chooseEnding(std::span<const Sequence> sequences, std::size_t end, std::size_t maxPacked,
                    bool even) {
    EndingSearch search(end, maxPacked, even);
    std::size_t at = 0;
    std::size_t cost = 0;
    search.tryTail(0, 0, 0, 0);
    for (std::size_t keep = 0; keep < sequences.size(); ++keep) {
        const Sequence& next = sequences[keep];
        if (next.match.length > kLastMatchStart - kLastLiterals)
            search.tryCut(keep, at, cost, next);
        const std::size_t matchStart = at + next.literals;
        at = matchStart + next.match.length;
        cost += sequenceCost(next);
        if (cost > maxPacked)
            break;
        search.tryTail(keep + 1, at, cost,
                       std::max(at + kLastLiterals, matchStart + kLastMatchStart));
    }
    return search.best();
}

void putLength(std::vector<std::uint8_t>& block, std::size_t length) {
    if (length < 15)
        return;
    for (length -= 15; length >= 255; length -= 255)
        block.push_back(255);
    block.push_back(static_cast<std::uint8_t>(length));
}

void putSequence(std::vector<std::uint8_t>& block, std::span<const std::uint8_t> literals,
                 const Match& match) {
    const std::size_t matchCode = match.length == 0 ? 0 : match.length - kMinMatch;
    block.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(literals.size(), 15) << 4 |
                                              std::min<std::size_t>(matchCode, 15)));
    putLength(block, literals.size());
    block.insert(block.end(), literals.begin(), literals.end());
    if (match.length == 0)
        return;
    block.push_back(static_cast<std::uint8_t>(match.offset));
    block.push_back(static_cast<std::uint8_t>(match.offset >> 8));
    putLength(block, matchCode);
}

std::vector<std::uint8_t> encode(std::span<const std::uint8_t> input,
                                 std::span<const Sequence> sequences, const Ending& ending) {
    std::vector<std::uint8_t> block;
    std::size_t at = 0;
    for (std::size_t i = 0; i < ending.keep; ++i) {
        putSequence(block, input.subspan(at, sequences[i].literals), sequences[i].match);
        at += sequences[i].literals + sequences[i].match.length;
    }
    if (ending.cutLength != 0) {
        const Sequence& next = sequences[ending.keep];
        putSequence(block, input.subspan(at, next.literals), {ending.cutLength, next.match.offset});
        at += next.literals + ending.cutLength;
    }
    putSequence(block, input.subspan(at, ending.covered - at), {});
    return block;
}

}  // namespace

PackedFrame PackFrame(std::span<const std::uint8_t> dictionary, std::span<const std::uint8_t> input,
                      std::size_t maxPacked, const PackOptions& options) {
    if (maxPacked == 0)
        return {};
    std::size_t end = std::min(input.size(), options.maxCovered);
    if (options.evenLength)
        end &= ~std::size_t{1};
    dictionary = dictionary.last(std::min(dictionary.size(), kMaxPackOffset));
    std::vector<std::uint8_t> window(dictionary.begin(), dictionary.end());
    window.insert(window.end(), input.begin(), input.begin() + static_cast<std::ptrdiff_t>(end));
    const MatchFinder finder(window, options.minOffset);
    const auto sequences = parse(finder, dictionary.size(), window.size(), maxPacked);
    const Ending ending = chooseEnding(sequences, end, maxPacked, options.evenLength);
    return {encode(input, sequences, ending), ending.covered};
}

}  // namespace halvard
