// The handheld's ANSI code page and the host's UTF-8 file names.
#pragma once

#include <iconv.h>

#include <array>
#include <optional>
#include <string>

#include "link/handheld_charset.h"

namespace ql {

constexpr char kDefaultCodePage[] = "WINDOWS-1252";

class CodePage final : public HandheldCharset {
 public:
  // Any name the system's iconv knows ("WINDOWS-1252", "CP1250", "ISO-8859-1"...),
  // as long as it keeps ASCII as it is. Empty with `error` set otherwise.
  static std::optional<CodePage> Open(const std::string& name, std::string& error);

  CodePage(CodePage&& other) noexcept;
  CodePage& operator=(CodePage&& other) noexcept;
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;
  ~CodePage() override;

  const std::string& Name() const { return name_; }
  // Characters that the other side cannot represent become '?'.
  std::string ToHost(const std::string& ansi) const;
  std::string ToHandheld(const std::string& utf8) const;
  // The handheld's text as UTF-8 fit for a terminal (see TerminalText).
  std::string ToTerminal(const std::string& ansi) const;
  // The upper-case form of an ANSI character, for Windows' case-blind name matching.
  char Upper(char ansi) const { return upper_[static_cast<unsigned char>(ansi)]; }

 private:
  CodePage(std::string name, iconv_t toHost, iconv_t toHandheld);
  bool BuildUpperTable();
  void Release();

  std::string name_;
  iconv_t toHost_;
  iconv_t toHandheld_;
  std::array<char, 256> upper_{};
};

// UTF-8 text, such as a host path, made fit for a terminal: control
// characters shown as "\xNN" (C0 and DEL) or "\u00NN" (C1, which some code
// pages map bytes to), and bytes that are not UTF-8 as "\xNN", so that no
// name from the line or the disk can drive the terminal it is shown on.
std::string TerminalText(const std::string& utf8);

}  // namespace ql
