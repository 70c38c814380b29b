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

}  // namespace ql
