#include "fs/handheld_path.h"

#include <cctype>

#include "link/wire_format.h"

namespace ql {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string> SplitComponents(const std::string& text, const HandheldCharset& charset) {
  std::vector<std::string> components;
  std::string current;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharLength(text, at, charset);
    if (length == 1 && IsSeparator(text[at])) {
      components.push_back(current);
      current.clear();
    } else {
      current.append(text, at, length);
    }
    at += length;
  }
  components.push_back(current);
  return components;
}

}  // namespace

bool ParseHandheldPath(const std::string& text, HandheldPath& path,
                       const HandheldCharset& charset) {
  // A zero byte ends a name for the system: "..\0x" would be ".." there.
  if (!FitsPath(text, charset) || text.size() < 2 || text[1] != ':' ||
      !std::isalpha(static_cast<unsigned char>(text[0])) || text.find('\0') != std::string::npos) {
    return false;
  }
  path = HandheldPath();
  path.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  for (const std::string& component : SplitComponents(text.substr(2), charset)) {
    if (component == "..") {
      if (!path.folders.empty()) path.folders.pop_back();
    } else if (!component.empty() && component != ".") {
      path.folders.push_back(component);
    }
  }
  // "C:\dir\" names no entry at all, unlike "C:\dir".
  const std::size_t lastSeparator = FindLastSeparator(text, charset);
  if (!path.folders.empty() && lastSeparator != text.size() - 1) {
    path.name = path.folders.back();
    path.folders.pop_back();
  }
  return true;
}

WildcardPattern::WildcardPattern(const std::u32string& pattern) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char32_t c = pattern[i];
    const char32_t next = i + 1 < pattern.size() ? pattern[i + 1] : U'\0';
    if (c == '*') {
      tokens_.push_back({next == '.' ? Kind::kStarBeforeDot : Kind::kStar, 0});
    } else if (c == '?') {
      tokens_.push_back({Kind::kAnyChar, 0});
    } else if (c == '.' && (next == '*' || next == '?' || i + 1 == pattern.size())) {
      tokens_.push_back({Kind::kDotOrEnd, 0});
    } else {
      tokens_.push_back({Kind::kLiteral, c});
    }
    hasWildcards_ = hasWildcards_ || c == '*' || c == '?';
  }
}

struct WildcardPattern::Attempt {
  const std::u32string& name;
  std::size_t lastDot;
  // Each (token, position) pair is tried once, which bounds the work by their
  // product even for patterns full of stars.
  std::vector<bool> tried;
};

bool WildcardPattern::Matches(const std::u32string& name) const {
  Attempt attempt{name, name.rfind(U'.'),
                  std::vector<bool>((tokens_.size() + 1) * (name.size() + 1), false)};
  return MatchFrom(0, 0, attempt);
}

bool WildcardPattern::MatchFrom(std::size_t token, std::size_t at, Attempt& attempt) const {
  const std::u32string& name = attempt.name;
  const std::size_t index = token * (name.size() + 1) + at;
  if (attempt.tried[index]) return false;
  attempt.tried[index] = true;
  if (token == tokens_.size()) return at == name.size();
  const bool atEnd = at == name.size();
  switch (tokens_[token].kind) {
    case Kind::kStar:
      return MatchFrom(token + 1, at, attempt) || (!atEnd && MatchFrom(token, at + 1, attempt));
    case Kind::kStarBeforeDot:
      return MatchFrom(token + 1, at, attempt) ||
             (!atEnd && (attempt.lastDot == std::string::npos || at < attempt.lastDot) &&
              MatchFrom(token, at + 1, attempt));
    case Kind::kAnyChar:
      if (atEnd || name[at] == '.') return MatchFrom(token + 1, at, attempt);
      return MatchFrom(token + 1, at + 1, attempt);
    case Kind::kDotOrEnd:
      if (atEnd) return MatchFrom(token + 1, at, attempt);
      return name[at] == '.' && MatchFrom(token + 1, at + 1, attempt);
    case Kind::kLiteral:
      return !atEnd && name[at] == tokens_[token].upper && MatchFrom(token + 1, at + 1, attempt);
  }
  return false;
}

}  // namespace ql
