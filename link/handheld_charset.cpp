#include "link/handheld_charset.h"

namespace ql {

const HandheldCharset& HandheldCharset::SingleByte() {
  static const HandheldCharset singleByte;
  return singleByte;
}

std::size_t CharLength(std::string_view text, std::size_t at, const HandheldCharset& charset) {
  return at + 1 < text.size() && charset.IsLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
}

std::size_t CountChars(std::string_view text, const HandheldCharset& charset) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); at += CharLength(text, at, charset)) ++count;
  return count;
}

std::size_t FitChars(std::string_view text, std::size_t limit, const HandheldCharset& charset) {
  std::size_t end = 0;
  while (end < text.size()) {
    const std::size_t next = end + CharLength(text, end, charset);
    if (next > limit) break;
    end = next;
  }
  return end;
}

std::size_t FindLastSeparator(std::string_view text, const HandheldCharset& charset) {
  std::size_t last = std::string_view::npos;
  for (std::size_t at = 0; at < text.size(); at += CharLength(text, at, charset)) {
    if (text[at] == '\\' || text[at] == '/') last = at;
  }
  return last;
}

}  // namespace ql
