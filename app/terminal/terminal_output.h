// What both terminal programs print, in one set of words and units: sizes,
// rates and durations (1000 bytes to a KB, as disks and line speeds are
// counted), and a progress line that fits the terminal's width, never wraps
// and is cleared before any other line is printed.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/common/status_texts.h"

namespace ql {

// "11.5 KB/s"
std::string FormatRate(double bytesPerSecond);
// "0:40", "12:05", "1:02:03"
std::string FormatDuration(std::int64_t seconds);
// "19200, 38400, 57600, 115200"
std::string SpeedList();

// Columns `text` (UTF-8) takes on a terminal: East Asian wide characters two.
std::size_t Columns(const std::string& text);
// `text` cut to at most `columns` columns, never inside a character.
std::string FitColumns(const std::string& text, std::size_t columns);

// Writes `message` and a line break to `out`, as TerminalMessage shows it:
// the one way the terminal programs print, besides TerminalLines.
void Say(std::ostream& out, const std::string& message);

// The lines a program writes to one stream. On a terminal a progress line is
// drawn, and redrawn in place, as wide as the terminal is at that moment
// (also after the window was resized); any other line first clears it.
// Elsewhere (a pipe, a journal) progress is left out.
class TerminalLines {
 public:
  // `fd` is the descriptor behind `out`.
  TerminalLines(std::ostream& out, int fd);
  TerminalLines(const TerminalLines&) = delete;
  TerminalLines& operator=(const TerminalLines&) = delete;
  ~TerminalLines() { ClearProgress(); }

  bool Live() const { return live_; }
  // Both as TerminalMessage shows them.
  void Line(const std::string& text);
  // The parts in the order shown, two spaces apart. Where the terminal is too
  // narrow for all, parts are left out from the last one back, so that no
  // word is cut; only a first part that alone is too wide is cut.
  void Progress(const std::vector<std::string>& parts);
  void ClearProgress();

 private:
  std::size_t Width() const;

  std::ostream& out_;
  int fd_;
  bool live_;
  bool progressShown_ = false;
};

}  // namespace ql
