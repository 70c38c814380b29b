// The wildcards of Windows' directory search, over a name's characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ql {

// The last component of a search pattern with the wildcard rules of Windows'
// directory search: '*' is any run of characters (one before a '.' stops
// short of the name's last '.'), '?' one character (none before a '.' or at
// the end), a '.' before a wildcard or at the end also matches the end of a
// name without one, so "*.*" matches every name and "*." the names without an
// extension; any other character matches itself.
//
// Both the pattern and the names come as characters already upper-cased, so
// that the comparison is case-blind. A name is matched in one pass over its
// characters, in time proportional to its length times the pattern's length
// over 64, whatever the pattern; the pattern takes a bit for each of its
// characters times its distinct characters.
class WildcardPattern {
 public:
  explicit WildcardPattern(const std::u32string& pattern);

  bool HasWildcards() const { return hasWildcards_; }
  bool Matches(const std::u32string& name) const;

 private:
  using Word = std::uint64_t;

  Word* MutableRow(std::size_t row) { return &masks_[row * words_]; }
  std::size_t AdvanceRow(char32_t c) const;

  std::size_t tokens_ = 0;
  std::size_t words_ = 0;
  bool hasWildcards_ = false;
  // The distinct characters of the pattern, '.' among them, sorted: their
  // rows in `masks_` follow the fixed rows.
  std::vector<char32_t> characters_;
  // Rows of `words_` words, one bit per character of the pattern and one past
  // the last for a pattern matched in full.
  std::vector<Word> masks_;
  std::array<std::size_t, 128> asciiRows_{};  // the rows of ASCII characters, looked up at once
};

}  // namespace ql
