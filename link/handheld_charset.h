// The handheld's ANSI code page as the core needs it: where each character
// of a path text ends. In the double-byte code pages of Japan, China, Taiwan
// and Korea (932, 936, 949, 950) a lead byte starts a two-byte character
// whose second byte may be 0x5C or 0x7C, which is then no backslash and no
// bar; single-byte code pages need nothing more than bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace ql {

class HandheldCharset {
 public:
  virtual ~HandheldCharset() = default;
  // Whether `byte` starts a two-byte character.
  virtual bool IsLeadByte(unsigned char /*byte*/) const { return false; }

  // Every byte a character: the Western and other single-byte code pages.
  static const HandheldCharset& SingleByte();
};

// Bytes in the character that starts at `at`: 2 for a lead byte with a byte
// after it, else 1.
std::size_t CharLength(std::string_view text, std::size_t at, const HandheldCharset& charset);
// Characters in `text`, as Windows counts a path's length.
std::size_t CountChars(std::string_view text, const HandheldCharset& charset);
// The length of the longest start of `text` that holds at most `limit` bytes
// and ends between characters.
std::size_t FitChars(std::string_view text, std::size_t limit, const HandheldCharset& charset);
// Where the last character that is '\' or '/' starts; npos when there is none.
std::size_t FindLastSeparator(std::string_view text, const HandheldCharset& charset);

}  // namespace ql
