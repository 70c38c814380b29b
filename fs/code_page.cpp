#include "fs/code_page.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cwctype>
#include <utility>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#include <locale.h>
#include <wctype.h>

namespace ql {
namespace {

// iconv_open reports failure with this value.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)

// Length of the UTF-8 sequence that starts with `lead`; 1 for stray bytes.
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Converts all of `input`; a character the target lacks (or a broken input
// sequence) becomes '?', so a name is never lost as a whole.
std::string Convert(iconv_t converter, const std::string& input, bool inputIsUtf8) {
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  std::string output;
  char chunk[1024];
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  while (inLeft > 0) {
    char* out = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    output.append(chunk, sizeof chunk - outLeft);
    if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    const std::size_t skip =
        inputIsUtf8 ? Utf8Length(static_cast<unsigned char>(*in)) : std::size_t{1};
    output += '?';
    in += std::min(skip, inLeft);
    inLeft -= std::min(skip, inLeft);
  }
  return output;
}

std::uint32_t DecodeUtf8(const std::string& text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(text[i]) & 0xFF; };
  switch (text.size()) {
    case 1:
      return byte(0);
    case 2:
      return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3:
      return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default:
      return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
             (byte(3) & 0x3F);
  }
}

std::string EncodeUtf8(std::uint32_t c) {
  std::string text;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (c >> 18));
    text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  return text;
}

// A locale that knows the case of every Unicode letter, whatever the
// program's own locale is; null when the system has none.
locale_t OpenUnicodeLocale() {
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "UTF-8"}) {
    if (locale_t locale = newlocale(LC_CTYPE_MASK, name, locale_t{})) return locale;
  }
  return locale_t{};
}

}  // namespace

std::optional<CodePage> CodePage::Open(const std::string& name, std::string& error) {
  const iconv_t toHost = iconv_open("UTF-8", name.c_str());
  const iconv_t toHandheld = iconv_open(name.c_str(), "UTF-8");
  CodePage codePage(name, toHost, toHandheld);
  if (toHost == kNoConverter || toHandheld == kNoConverter) {
    error = "unknown code page \"" + name + "\"";
    return std::nullopt;
  }
  if (!codePage.BuildUpperTable()) {
    error = "code page \"" + name + "\" does not keep ASCII characters as they are";
    return std::nullopt;
  }
  return codePage;
}

CodePage::CodePage(std::string name, iconv_t toHost, iconv_t toHandheld)
    : name_(std::move(name)), toHost_(toHost), toHandheld_(toHandheld) {}

CodePage::CodePage(CodePage&& other) noexcept
    : name_(std::move(other.name_)),
      toHost_(std::exchange(other.toHost_, kNoConverter)),
      toHandheld_(std::exchange(other.toHandheld_, kNoConverter)),
      upper_(other.upper_) {}

CodePage& CodePage::operator=(CodePage&& other) noexcept {
  if (this != &other) {
    Release();
    name_ = std::move(other.name_);
    toHost_ = std::exchange(other.toHost_, kNoConverter);
    toHandheld_ = std::exchange(other.toHandheld_, kNoConverter);
    upper_ = other.upper_;
  }
  return *this;
}

CodePage::~CodePage() { Release(); }

void CodePage::Release() {
  if (toHost_ != kNoConverter) iconv_close(toHost_);
  if (toHandheld_ != kNoConverter) iconv_close(toHandheld_);
}

std::string CodePage::ToHost(const std::string& ansi) const {
  return Convert(toHost_, ansi, false);
}

std::string CodePage::ToHandheld(const std::string& utf8) const {
  return Convert(toHandheld_, utf8, true);
}

std::string CodePage::ToTerminal(const std::string& ansi) const {
  return TerminalText(ToHost(ansi));
}

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

// Maps every character to its upper-case form within the code page; checks on
// the way that the path syntax's ASCII characters pass unchanged.
bool CodePage::BuildUpperTable() {
  const locale_t unicode = OpenUnicodeLocale();
  bool keepsAscii = true;
  for (int code = 0; code < 256; ++code) {
    const std::string ansi(1, static_cast<char>(code));
    const std::string host = ToHost(ansi);
    upper_[code] = ansi[0];
    if (code >= 0x20 && code < 0x7F && (host != ansi || ToHandheld(ansi) != ansi)) {
      keepsAscii = false;
    }
    if (host.empty() || Utf8Length(static_cast<unsigned char>(host[0])) != host.size()) continue;
    const std::uint32_t character = DecodeUtf8(host);
    const auto upper =
        static_cast<std::uint32_t>(unicode ? towupper_l(static_cast<wint_t>(character), unicode)
                                           : std::towupper(static_cast<wint_t>(character)));
    const std::string back = ToHandheld(EncodeUtf8(upper));
    if (upper != character && back.size() == 1 && back != "?") upper_[code] = back[0];
  }
  if (unicode) freelocale(unicode);
  return keepsAscii;
}

}  // namespace ql
