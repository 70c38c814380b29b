// The handheld's ANSI code page and the host's UTF-8 file names.
#pragma once

#include <iconv.h>
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "link/handheld_charset.h"

namespace ql {

constexpr char kDefaultCodePage[] = "WINDOWS-1252";

class CodePage final : public HandheldCharset {
 public:
  // Any name the system's iconv knows ("WINDOWS-1252", "CP1250", "ISO-8859-1"...),
  // and the names people know for the double-byte pages (SHIFT_JIS, GBK, BIG5,
  // EUC-KR...), as long as it keeps ASCII as it is in every state: stateful
  // encodings (ISO-2022-JP, UTF-7) are refused. Empty with `error` set otherwise.
  static std::optional<CodePage> Open(const std::string& name, std::string& error);

  CodePage(CodePage&& other) noexcept;
  CodePage& operator=(CodePage&& other) noexcept;
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;
  ~CodePage() override;

  const std::string& Name() const { return name_; }
  bool IsLeadByte(unsigned char byte) const override { return lead_[byte]; }

  // The one correspondence between names on the two sides: the host's name
  // for a handheld's name, and the handheld's for a host's. Two names
  // correspond only when each converts into the other with no character
  // replaced and back again to the same bytes, and the name is one path
  // component Windows could also hold (a search pattern may hold * and ?).
  // A single-byte page's undefined bytes stand for the characters U+0080 to
  // U+00FF of the same number, as Windows does for 0x80-0x9F, where no other
  // byte of the page already stands for that character. Empty when the name
  // has no counterpart: such a name is never listed, fetched or created.
  enum class NameUse { kName, kPattern };
  std::optional<std::string> HostName(const std::string& handheld,
                                      NameUse use = NameUse::kName) const;
  std::optional<std::string> HandheldName(const std::string& host) const;

  // For showing, not for naming files: characters the other side lacks become
  // '?' (ToHandheld), or "\xNN" for a handheld byte that stands for none (ToHost).
  std::string ToHost(const std::string& ansi) const;
  std::string ToHandheld(const std::string& utf8) const;
  // The handheld's spelling of a host text; empty when the code page cannot
  // write one of its characters.
  std::optional<std::string> ToHandheldExactly(const std::string& utf8) const;
  // The page's number as Windows names it ("932") where it has one, else its name.
  std::string Label() const;

  // A host name's characters in their upper-case forms, as Windows compares names.
  std::u32string UpperHostChars(const std::string& utf8) const;

 private:
  CodePage(std::string name, iconv_t toHost, iconv_t toHandheld);
  bool Probe();
  // Converts all of `input`; a character the target lacks becomes
  // `substitute` ("\xNN" when it is empty and the input a handheld text),
  // or ends the conversion (false) when `substitute` is null.
  bool Convert(bool toHost, const std::string& input, const char* substitute,
               std::string& output) const;
  std::optional<std::string> MapName(bool toHost, const std::string& name, NameUse use) const;
  void Release();

  std::string name_;
  iconv_t toHost_;
  iconv_t toHandheld_;
  locale_t unicode_{};  // knows the case of every letter, whatever the program's locale
  std::array<bool, 256> lead_{};
  // Single-byte pages: bytes that stand for no character of the page.
  std::array<bool, 256> undefined_{};
};

}  // namespace ql
