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

}  // namespace

Progress::Progress(std::uint64_t total) : total_(total), lines_(std::cerr, STDERR_FILENO) {}

void Progress::Update(std::uint64_t bytes) {
  const Clock::time_point now = Clock::now();
  if (bytes_ == 0) {
    first_ = now;
    firstBytes_ = bytes;
  }
  bytes_ = bytes;
  last_ = now;
  if (!lines_.Live() || now - lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  Draw();
}

void Progress::Draw() {
  std::string line;
  if (total_ > 0) {
    const std::uint64_t done = std::min(bytes_, total_);
    const auto filled = static_cast<int>(done * kBarWidth / total_);
    line += "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " +
            std::to_string(done * 100 / total_) + "%  ";
  }
  line += FormatSize(bytes_) + " of " + FormatSize(total_);
  if (const double rate = Rate(); rate > 0) {
    line += "  " + FormatRate(rate);
    if (total_ > bytes_) {
      line += "  " +
              FormatDuration(static_cast<std::int64_t>(
                  std::ceil(static_cast<double>(total_ - bytes_) / rate))) +
              " left";
    }
  }
  lines_.Progress(line);
}

void Progress::Clear() { lines_.ClearProgress(); }

std::string Progress::Summary() const {
  std::ostringstream text;
  text << bytes_ << " bytes";
  if (const double rate = Rate(); rate > 0) {
    text.precision(1);
    text << " in " << std::fixed << Seconds() << " s (" << FormatRate(rate) << ")";
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
