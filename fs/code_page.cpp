#include "fs/code_page.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <utility>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#include <locale.h>
#include <wctype.h>

#include "link/name_rules.h"

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

// The names people know for the double-byte code pages, and the page the
// handheld means by each: the one Windows uses.
struct Alias {
  const char* name;
  const char* page;
};
constexpr Alias kAliases[] = {
    {"SHIFT_JIS", "CP932"},   {"SHIFT-JIS", "CP932"}, {"SJIS", "CP932"},
    {"WINDOWS-31J", "CP932"}, {"MS_KANJI", "CP932"},  {"GBK", "CP936"},
    {"BIG5", "CP950"},        {"EUC-KR", "CP949"},    {"UHC", "CP949"},
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The lead bytes of Windows' double-byte pages: one or two ranges.
struct WindowsLeadBytes {
  const char* page;
  int first, last, secondFirst, secondLast;
};
constexpr WindowsLeadBytes kWindowsLeadBytes[] = {
    {"CP932", 0x81, 0x9F, 0xE0, 0xFC},
    {"CP936", 0x81, 0xFE, 0, -1},
    {"CP949", 0x81, 0xFE, 0, -1},
    {"CP950", 0x81, 0xFE, 0, -1},
};

// The page a name means: the one Windows uses for an alias, else the name.
std::string PageOf(const std::string& name) {
  for (const Alias& alias : kAliases) {
    if (Upper(name) == alias.name) return alias.page;
  }
  return Upper(name);
}

// How iconv takes `input` whole: the bytes it made, or why it stopped.
int ConvertWhole(iconv_t converter, const std::string& input, std::string& output) {
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char buffer[64];
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char* out = buffer;
  std::size_t outLeft = sizeof buffer;
  const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  const int failure = result == static_cast<std::size_t>(-1) ? errno : 0;
  // A stateful encoding may still have bytes to write to return to its first state.
  if (failure == 0) iconv(converter, nullptr, nullptr, &out, &outLeft);
  output.assign(buffer, sizeof buffer - outLeft);
  return failure;
}

std::u32string DecodeAll(const std::string& utf8) {
  std::u32string characters;
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t length =
        std::min(Utf8Length(static_cast<unsigned char>(utf8[at])), utf8.size() - at);
    characters += static_cast<char32_t>(DecodeUtf8(utf8.substr(at, length)));
    at += length;
  }
  return characters;
}

}  // namespace

std::optional<CodePage> CodePage::Open(const std::string& name, std::string& error) {
  const std::string page = PageOf(name);
  const iconv_t toHost = iconv_open("UTF-8", page.c_str());
  const iconv_t toHandheld = iconv_open(page.c_str(), "UTF-8");
  CodePage codePage(name, toHost, toHandheld);
  if (toHost == kNoConverter || toHandheld == kNoConverter) {
    error = "unknown code page \"" + name +
            "\"; known ones include WINDOWS-1252, CP1250, CP1251, SHIFT_JIS (CP932), GBK "
            "(CP936), EUC-KR (CP949) and BIG5 (CP950)";
    return std::nullopt;
  }
  if (!codePage.Probe()) {
    error = "code page \"" + name + "\" does not keep ASCII characters as they are";
    return std::nullopt;
  }
  return codePage;
}

CodePage::CodePage(std::string name, iconv_t toHost, iconv_t toHandheld)
    : name_(std::move(name)),
      toHost_(toHost),
      toHandheld_(toHandheld),
      unicode_(OpenUnicodeLocale()) {}

CodePage::CodePage(CodePage&& other) noexcept
    : name_(std::move(other.name_)),
      toHost_(std::exchange(other.toHost_, kNoConverter)),
      toHandheld_(std::exchange(other.toHandheld_, kNoConverter)),
      unicode_(std::exchange(other.unicode_, locale_t{})),
      lead_(other.lead_),
      undefined_(other.undefined_) {}

CodePage& CodePage::operator=(CodePage&& other) noexcept {
  if (this != &other) {
    Release();
    name_ = std::move(other.name_);
    toHost_ = std::exchange(other.toHost_, kNoConverter);
    toHandheld_ = std::exchange(other.toHandheld_, kNoConverter);
    unicode_ = std::exchange(other.unicode_, locale_t{});
    lead_ = other.lead_;
    undefined_ = other.undefined_;
  }
  return *this;
}

CodePage::~CodePage() { Release(); }

void CodePage::Release() {
  if (toHost_ != kNoConverter) iconv_close(toHost_);
  if (toHandheld_ != kNoConverter) iconv_close(toHandheld_);
  if (unicode_) freelocale(unicode_);
  toHost_ = toHandheld_ = kNoConverter;
  unicode_ = locale_t{};
}

// Learns the page's lead bytes and undefined bytes, and checks that every
// ASCII byte, controls included, is itself in both directions and in every
// state: an escape that switches a stateful encoding fails here.
bool CodePage::Probe() {
  for (int code = 0; code < 256; ++code) {
    const std::string byte(1, static_cast<char>(code));
    std::string host;
    const int failure = ConvertWhole(toHost_, byte, host);
    if (code < 0x80) {
      std::string back;
      if (failure != 0 || host != byte || ConvertWhole(toHandheld_, byte, back) != 0 ||
          back != byte) {
        return false;
      }
      continue;
    }
    lead_[code] = failure == EINVAL;  // the start of a character that needs more bytes
    undefined_[code] = failure == EILSEQ;
  }
  // The handheld splits its paths by Windows' lead bytes, which take in the
  // pages' user-defined areas that iconv leaves out: a 0x5C after one of
  // them is never a backslash.
  for (const WindowsLeadBytes& known : kWindowsLeadBytes) {
    if (PageOf(name_) != known.page) continue;
    for (int code = 0x80; code < 256; ++code) {
      lead_[code] = (code >= known.first && code <= known.last) ||
                    (code >= known.secondFirst && code <= known.secondLast);
    }
  }
  // Only single-byte pages give undefined bytes a character of their own.
  if (std::find(lead_.begin(), lead_.end(), true) != lead_.end()) undefined_.fill(false);
  return true;
}

bool CodePage::Convert(bool toHost, const std::string& input, const char* substitute,
                       std::string& output) const {
  const iconv_t converter = toHost ? toHost_ : toHandheld_;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  output.clear();
  char chunk[1024];
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  while (inLeft > 0) {
    char* out = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    output.append(chunk, sizeof chunk - outLeft);
    if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    // Some converters (glibc's UHC) report a bad sequence after taking it whole.
    if (inLeft == 0) {
      if (substitute == nullptr) return false;
      output += *substitute != '\0' ? substitute : "?";
      continue;
    }
    const auto byte = static_cast<unsigned char>(*in);
    const std::size_t skip = std::min(toHost ? 1 : Utf8Length(byte), inLeft);
    const std::string sequence(in, skip);
    const std::uint32_t character = toHost ? byte : DecodeUtf8(sequence);
    // A stray or overlong UTF-8 sequence stands for no character at all.
    const bool wellFormed = toHost || EncodeUtf8(character) == sequence;
    if (wellFormed && character >= 0x80 && character <= 0xFF && undefined_[character]) {
      output += toHost ? EncodeUtf8(character) : std::string(1, static_cast<char>(character));
    } else if (substitute == nullptr) {
      return false;
    } else if (*substitute != '\0' || !toHost) {
      output += substitute;
    } else {
      // No Windows name holds '<' or '>': this reads as no name could.
      static const char kHex[] = "0123456789ABCDEF";
      output += {'<', kHex[byte >> 4], kHex[byte & 15], '>'};
    }
    in += skip;
    inLeft -= skip;
  }
  // Some converters hold the last character back, for marks that may combine with it.
  char* out = chunk;
  std::size_t outLeft = sizeof chunk;
  iconv(converter, nullptr, nullptr, &out, &outLeft);
  output.append(chunk, sizeof chunk - outLeft);
  return true;
}

std::optional<std::string> CodePage::MapName(bool toHost, const std::string& name,
                                             NameUse use) const {
  // ASCII is itself on both sides (Probe made sure).
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  std::string there = name;
  std::string back;
  if (!ascii && (!Convert(toHost, name, nullptr, there) ||
                 !Convert(!toHost, there, nullptr, back) || back != name)) {
    return std::nullopt;
  }
  if (!IsWindowsNameComponent(toHost ? name : there, *this, use == NameUse::kPattern)) {
    return std::nullopt;
  }
  return there;
}

std::optional<std::string> CodePage::HostName(const std::string& handheld, NameUse use) const {
  return MapName(true, handheld, use);
}

std::optional<std::string> CodePage::HandheldName(const std::string& host) const {
  return MapName(false, host, NameUse::kName);
}

std::string CodePage::ToHost(const std::string& ansi) const {
  std::string host;
  Convert(true, ansi, "", host);
  return host;
}

std::string CodePage::ToHandheld(const std::string& utf8) const {
  std::string ansi;
  Convert(false, utf8, "?", ansi);
  return ansi;
}

std::optional<std::string> CodePage::ToHandheldExactly(const std::string& utf8) const {
  std::string ansi;
  if (!Convert(false, utf8, nullptr, ansi)) return std::nullopt;
  return ansi;
}

std::string CodePage::Label() const {
  const std::string page = PageOf(name_);
  for (const char* prefix : {"CP", "WINDOWS-"}) {
    const std::size_t length = std::strlen(prefix);
    if (page.size() > length && page.compare(0, length, prefix) == 0 &&
        page.find_first_not_of("0123456789", length) == std::string::npos) {
      return page.substr(length);
    }
  }
  return name_;
}

std::u32string CodePage::UpperHostChars(const std::string& utf8) const {
  std::u32string characters = DecodeAll(utf8);
  for (char32_t& c : characters) {
    c = static_cast<char32_t>(unicode_ ? towupper_l(static_cast<wint_t>(c), unicode_)
                                       : std::towupper(static_cast<wint_t>(c)));
  }
  return characters;
}

}  // namespace ql
