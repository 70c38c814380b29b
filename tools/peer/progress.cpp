#include "tools/peer/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

namespace ql {
namespace {

// A rate is given only for a transfer that lasted this long from its first
// piece to its last: a shorter one is mostly the line's start-up and the
// clock's grain (over a pseudo terminal a few kilobytes arrive at once).
constexpr double kMeaningfulSeconds = 0.5;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 16;
constexpr std::size_t kLineWidth = 79;

std::string KilobytesPerSecond(double bytesPerSecond) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << bytesPerSecond / 1024.0 << " KB/s";
  return text.str();
}

// "8 s", "3:05", "1:02:03"
std::string Duration(double seconds) {
  const auto whole = static_cast<long long>(std::ceil(seconds));
  if (whole < 60) return std::to_string(whole) + " s";
  const auto twoDigits = [](long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  const std::string minutes = twoDigits(whole / 60 % 60) + ":" + twoDigits(whole % 60);
  return whole < 3600 ? minutes.substr(minutes[0] == '0' ? 1 : 0)
                      : std::to_string(whole / 3600) + ":" + minutes;
}

}  // namespace

Progress::Progress(std::uint64_t total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}

void Progress::Update(std::uint64_t bytes) {
  const Clock::time_point now = Clock::now();
  if (bytes_ == 0) {
    first_ = now;
    firstBytes_ = bytes;
  }
  bytes_ = bytes;
  last_ = now;
  if (!shown_ || now - lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  Draw();
}

void Progress::Draw() {
  std::string line = "\r";
  if (total_ > 0) {
    const std::uint64_t done = std::min(bytes_, total_);
    const auto filled = static_cast<int>(done * kBarWidth / total_);
    line += "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " +
            std::to_string(done * 100 / total_) + "%  ";
  }
  line += std::to_string(bytes_) + "/" + std::to_string(total_) + " bytes";
  if (const double rate = Rate(); rate > 0) {
    line += "  " + KilobytesPerSecond(rate);
    if (total_ > bytes_)
      line += "  " + Duration(static_cast<double>(total_ - bytes_) / rate) + " left";
  }
  // Padded, so that nothing of a longer line before remains.
  if (line.size() < kLineWidth + 1) line.resize(kLineWidth + 1, ' ');
  std::cerr << line << std::flush;
  drawn_ = true;
}

void Progress::Clear() {
  if (!drawn_) return;
  std::cerr << "\r" << std::string(kLineWidth, ' ') << "\r" << std::flush;
  drawn_ = false;
}

std::string Progress::Summary() const {
  std::ostringstream text;
  text << bytes_ << " bytes";
  if (const double rate = Rate(); rate > 0) {
    text.precision(1);
    text << " in " << std::fixed << Seconds() << " s (" << KilobytesPerSecond(rate) << ")";
  }
  return text.str();
}

double Progress::Seconds() const { return std::chrono::duration<double>(last_ - first_).count(); }

double Progress::Rate() const {
  const double seconds = Seconds();
  if (seconds < kMeaningfulSeconds) return 0;
  // The first piece arrived at the start of the measure: it took no time of it.
  return static_cast<double>(bytes_ - firstBytes_) / seconds;
}

}  // namespace ql
