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

  // Characters that the other side cannot represent become '?'. As on
  // Windows, a single-byte page's undefined bytes 0x80-0x9F stand for the
  // characters U+0080-U+009F, so that distinct names stay distinct.
  std::string ToHost(const std::string& ansi) const;
  std::string ToHandheld(const std::string& utf8) const;
  // The handheld's spelling of a host name; empty when the code page cannot
  // write one of its characters.
  std::optional<std::string> ToHandheldExactly(const std::string& utf8) const;
  // The handheld's text as UTF-8 fit for a terminal (see TerminalText).
  std::string ToTerminal(const std::string& ansi) const;

  // A name's characters in their upper-case forms, as Windows compares names:
  // of the handheld's text, and of a host name in UTF-8.
  std::u32string UpperChars(const std::string& ansi) const;
  std::u32string UpperHostChars(const std::string& utf8) const;

 private:
  CodePage(std::string name, iconv_t toHost, iconv_t toHandheld);
  bool Probe();
  std::string Convert(bool toHost, const std::string& input, bool* exact) const;
  void Release();

  std::string name_;
  iconv_t toHost_;
  iconv_t toHandheld_;
  locale_t unicode_{};  // knows the case of every letter, whatever the program's locale
  std::array<bool, 256> lead_{};
  std::array<bool, 256> undefined_{};  // single-byte pages: bytes that stand for no character
};

// UTF-8 text, such as a host path, made fit for a terminal: control
// characters shown as "\xNN" (C0 and DEL) or "\u00NN" (C1, which some code
// pages map bytes to), and bytes that are not UTF-8 as "\xNN", so that no
// name from the line or the disk can drive the terminal it is shown on.
std::string TerminalText(const std::string& utf8);

}  // namespace ql
