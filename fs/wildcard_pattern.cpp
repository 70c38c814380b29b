#include "fs/wildcard_pattern.h"

#include <algorithm>

// The pattern is read as a row of tokens, each one character of the pattern,
// and a name is run through the automaton they make: state t means that the
// tokens before t have matched the characters read so far. The states live in
// bit sets, so one character of the name costs a few word operations per 64
// tokens, and no choice is ever retried.
//
// Some tokens may match no character at all, which lets a state pass on to the
// next one without reading: a star always, a '?' before a '.' or at the end of
// the name, a '.' that stands for the end of a name at the end. The other
// moves read one character: a star keeps its state (one before a '.' only
// while the name's last '.' is still ahead), and a token that matches the
// character passes on to the next state. A '?' never reads a '.', and a '.'
// before a wildcard reads only a '.'.

namespace ql {
namespace {

constexpr std::size_t kWordBits = 64;

enum Row : std::size_t {
  kStayRow,              // stars read a character before the name's last '.' (or with none)
  kStayAfterLastDotRow,  // ... and from that '.' on only those not before a '.'
  kPassRow,              // stars may match nothing, anywhere
  kPassAtDotRow,         // ... and '?' before a '.'
  kPassAtEndRow,         // ... and '?' and '.' at the end of the name
  kAdvanceOtherRow,      // '?' reads a character the pattern does not hold
  kFixedRows,            // then the tokens that read each character of the pattern
};

// The states that the active ones reach by passing on through the run of
// tokens after them that may match nothing here (those of `pass`), one word at
// a time from the lowest, `carry` leading from one word into the next. Adding
// `pass & active` to `pass` carries a one from each active state of a run to
// the state past its end: the bits that took a carry are the states reached,
// found as sum ^ a ^ b.
std::uint64_t PassOn(std::uint64_t pass, std::uint64_t active, bool& carry) {
  const std::uint64_t a = pass;
  const std::uint64_t b = pass & active;
  const std::uint64_t partial = a + b;
  const std::uint64_t sum = partial + (carry ? 1 : 0);
  carry = partial < a || sum < partial;
  return sum ^ a ^ b;
}

}  // namespace

WildcardPattern::WildcardPattern(const std::u32string& pattern)
    : tokens_(pattern.size()), words_(pattern.size() / kWordBits + 1) {
  characters_.push_back(U'.');
  for (const char32_t c : pattern) {
    if (c != U'*' && c != U'?') characters_.push_back(c);
  }
  std::sort(characters_.begin(), characters_.end());
  characters_.erase(std::unique(characters_.begin(), characters_.end()), characters_.end());
  masks_.assign((kFixedRows + characters_.size()) * words_, 0);
  asciiRows_.fill(kAdvanceOtherRow);
  for (std::size_t i = 0; i < characters_.size() && characters_[i] < asciiRows_.size(); ++i) {
    asciiRows_[characters_[i]] = kFixedRows + i;
  }

  const std::size_t dotRow = AdvanceRow(U'.');
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char32_t c = pattern[i];
    const char32_t next = i + 1 < pattern.size() ? pattern[i + 1] : U'\0';
    const std::size_t word = i / kWordBits;
    const Word bit = Word{1} << (i % kWordBits);
    const auto mark = [&](std::size_t row) { MutableRow(row)[word] |= bit; };
    if (c == U'*') {
      mark(kStayRow);
      if (next != U'.') mark(kStayAfterLastDotRow);
      mark(kPassRow);
      mark(kPassAtDotRow);
      mark(kPassAtEndRow);
      hasWildcards_ = true;
    } else if (c == U'?') {
      mark(kPassAtDotRow);
      mark(kPassAtEndRow);
      for (std::size_t row = kFixedRows; row < kFixedRows + characters_.size(); ++row) {
        if (row != dotRow) mark(row);
      }
      mark(kAdvanceOtherRow);
      hasWildcards_ = true;
    } else if (c == U'.' && (next == U'*' || next == U'?' || i + 1 == pattern.size())) {
      mark(kPassAtEndRow);
      mark(dotRow);
    } else {
      mark(AdvanceRow(c));
    }
  }
}

std::size_t WildcardPattern::AdvanceRow(char32_t c) const {
  if (c < asciiRows_.size()) return asciiRows_[c];
  const auto found = std::lower_bound(characters_.begin(), characters_.end(), c);
  if (found == characters_.end() || *found != c) return kAdvanceOtherRow;
  return kFixedRows + static_cast<std::size_t>(found - characters_.begin());
}

bool WildcardPattern::Matches(const std::u32string& name) const {
  // Raw pointers in the loop over the characters: a debug build with
  // sanitizers checks every container access, and this loop runs for every
  // name of a folder.
  const std::size_t lastDot = name.rfind(U'.');
  const std::size_t words = words_;
  const Word* masks = masks_.data();
  // A pattern has at least its final state, so at least one word.
  std::vector<Word> states(std::max<std::size_t>(words, 1), 0);
  Word* active = states.data();
  active[0] = 1;
  const char32_t* chars = name.data();
  for (std::size_t at = 0; at < name.size(); ++at) {
    const char32_t c = chars[at];
    const Word* pass = masks + (c == U'.' ? kPassAtDotRow : kPassRow) * words;
    const Word* stay =
        masks +
        (lastDot == std::u32string::npos || at < lastDot ? kStayRow : kStayAfterLastDotRow) * words;
    const Word* advance = masks + AdvanceRow(c) * words;
    // One sweep from the low words up, as both the passing on and the moves
    // to the next state only ever reach higher states.
    bool carry = false;
    Word carried = 0;
    Word any = 0;
    for (std::size_t w = 0; w < words; ++w) {
      const Word reached = active[w] | PassOn(pass[w], active[w], carry);
      const Word moved = reached & advance[w];
      active[w] = (reached & stay[w]) | (moved << 1) | carried;
      carried = moved >> (kWordBits - 1);
      any |= active[w];
    }
    if (any == 0) return false;
  }
  const Word* pass = masks + kPassAtEndRow * words;
  bool carry = false;
  for (std::size_t w = 0; w < words; ++w) active[w] |= PassOn(pass[w], active[w], carry);
  return ((active[tokens_ / kWordBits] >> (tokens_ % kWordBits)) & 1) != 0;
}

}  // namespace ql
