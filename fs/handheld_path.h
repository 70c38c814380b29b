// Paths and search patterns as the handheld names them: "C:\My Documents\*.txt",
// in its code page.
#pragma once

#include <string>
#include <vector>

#include "link/handheld_charset.h"

namespace ql {

struct HandheldPath {
  char drive = 0;                    // 'A'..'Z'
  std::vector<std::string> folders;  // from the drive root down, "." and ".." already applied
  std::string name;                  // the last component; empty for a root or a trailing '\'
};

// Reads "X:\a\b" (either slash) the way Windows normalises it: empty and "."
// components vanish and ".." never climbs above the drive root. Separators
// are characters of the handheld's code page, never the second byte of a
// double-byte one. False for a path without a drive letter, holding a zero
// byte, or longer than the handheld can name.
bool ParseHandheldPath(const std::string& text, HandheldPath& path, const HandheldCharset& charset);

// The last component of a search pattern with the wildcard rules of Windows'
// directory search: '*' is any run of characters (one before a '.' stops
// short of the name's last '.'), '?' one character (none before a '.' or at
// the end), a '.' before a wildcard or at the end also
// matches the end of a name without one, so "*.*" matches every name and "*."
// the names without an extension. Pattern and names are upper-cased characters.
class WildcardPattern {
 public:
  explicit WildcardPattern(const std::u32string& pattern);

  bool HasWildcards() const { return hasWildcards_; }
  bool Matches(const std::u32string& name) const;

 private:
  enum class Kind { kLiteral, kStar, kStarBeforeDot, kAnyChar, kDotOrEnd };
  struct Token {
    Kind kind;
    char32_t upper;  // literals only
  };
  struct Attempt;

  bool MatchFrom(std::size_t token, std::size_t at, Attempt& attempt) const;

  std::vector<Token> tokens_;
  bool hasWildcards_ = false;
};

}  // namespace ql
