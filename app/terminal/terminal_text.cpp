#include "app/terminal/terminal_text.h"

namespace ql {

std::string TerminalText(const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(utf8.size());
  const auto escape = [&](const char* prefix, unsigned value) {
    shown += prefix;
    shown += {kHex[value >> 4], kHex[value & 15]};
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    // How long the sequence this byte leads is, when it is one.
    const std::size_t length = byte < 0x80           ? 1
                               : (byte >> 5) == 0x6  ? 2
                               : (byte >> 4) == 0xE  ? 3
                               : (byte >> 3) == 0x1E ? 4
                                                     : 0;
    bool valid = length > 0 && i + length <= utf8.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
    }
    // Overlong forms (an ESC in two bytes), surrogates and code points past
    // U+10FFFF are no UTF-8: some terminals would still act on them.
    if (valid && length > 1) {
      const auto next = static_cast<unsigned char>(utf8[i + 1]);
      valid = byte >= 0xC2 && byte <= 0xF4 && !(byte == 0xE0 && next < 0xA0) &&
              !(byte == 0xED && next > 0x9F) && !(byte == 0xF0 && next < 0x90) &&
              !(byte == 0xF4 && next > 0x8F);
    }
    if (!valid || byte < 0x20 || byte == 0x7F) {
      escape("\\x", byte);
      ++i;
    } else if (byte == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      escape("\\u00", static_cast<unsigned char>(utf8[i + 1]));
      i += 2;
    } else {
      shown.append(utf8, i, length);
      i += length;
    }
  }
  return shown;
}

std::string TerminalMessage(const std::string& text) {
  std::string shown;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    shown += TerminalText(text.substr(start, end - start)) + '\n';
  }
  return shown + TerminalText(text.substr(start));
}

}  // namespace ql
