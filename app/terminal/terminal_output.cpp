#include "app/terminal/terminal_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <iomanip>
#include <sstream>

#include "app/common/settings.h"
#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

// The code point that starts at `at` and its length in bytes (1 for a stray byte).
char32_t NextCharacter(const std::string& text, std::size_t at, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[at]);
  length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (at + length > text.size()) length = 1;
  if (length == 1) return lead;
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return c;
}

// East Asian wide and full-width characters take two columns.
bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) || c >= 0x20000;
}

}  // namespace

std::string FormatRate(double bytesPerSecond) {
  return FormatSize(static_cast<std::uint64_t>(bytesPerSecond)) + "/s";
}

std::string FormatDuration(std::int64_t seconds) {
  std::ostringstream text;
  text << std::setfill('0');
  if (seconds >= 3600) {
    text << seconds / 3600 << ':' << std::setw(2) << seconds / 60 % 60;
  } else {
    text << seconds / 60;
  }
  text << ':' << std::setw(2) << seconds % 60;
  return text.str();
}

std::string SpeedList() {
  std::string list;
  for (const unsigned speed : kSpeeds) {
    list += (list.empty() ? "" : ", ") + std::to_string(speed);
  }
  return list;
}

std::size_t Columns(const std::string& text) {
  std::size_t columns = 0;
  for (std::size_t at = 0, length = 0; at < text.size(); at += length) {
    columns += IsWide(NextCharacter(text, at, length)) ? 2 : 1;
  }
  return columns;
}

std::string FitColumns(const std::string& text, std::size_t columns) {
  std::size_t used = 0;
  std::size_t at = 0;
  for (std::size_t length = 0; at < text.size(); at += length) {
    const std::size_t width = IsWide(NextCharacter(text, at, length)) ? 2 : 1;
    if (used + width > columns) break;
    used += width;
  }
  return text.substr(0, at);
}

TerminalLines::TerminalLines(std::ostream& out, int fd)
    : out_(out), fd_(fd), live_(isatty(fd) != 0) {}

std::size_t TerminalLines::Width() const {
  winsize size{};
  // 80 columns where the terminal does not say.
  if (ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

void Say(std::ostream& out, const std::string& message) {
  out << TerminalMessage(message) << '\n' << std::flush;
}

void TerminalLines::Line(const std::string& text) {
  ClearProgress();
  Say(out_, text);
}

void TerminalLines::Progress(const std::vector<std::string>& parts) {
  if (!live_) return;
  // One column short of the width: a line that fills it would wrap on some terminals.
  const std::size_t columns = Width();
  const std::size_t width = columns > 1 ? columns - 1 : 1;
  std::string line;
  for (const std::string& part : parts) {
    std::string longer = line.empty() ? std::string("  ") : line + "  ";
    longer += TerminalText(part);
    if (Columns(longer) > width) break;
    line = longer;
  }
  if (line.empty() && !parts.empty()) line = FitColumns("  " + TerminalText(parts[0]), width);
  out_ << "\r\033[K" << line << std::flush;
  progressShown_ = true;
}

void TerminalLines::ClearProgress() {
  if (!progressShown_) return;
  out_ << "\r\033[K" << std::flush;
  progressShown_ = false;
}

}  // namespace ql
