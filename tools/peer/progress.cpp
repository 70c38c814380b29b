#include "tools/peer/progress.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <sstream>

namespace ql {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 16;

}  // namespace

Progress::Progress(std::uint64_t total)
    : meter_(total, TransferMeter::Clock::duration::zero(), kRedrawInterval),
      lines_(std::cerr, STDERR_FILENO) {}

void Progress::Update(std::uint64_t bytes) {
  if (meter_.Update(bytes) && lines_.Live()) Draw();
}

void Progress::Draw() {
  const std::uint64_t total = meter_.Total();
  const std::uint64_t bytes = meter_.Bytes();
  // Most telling first: a narrow terminal leaves out the rest.
  std::vector<std::string> parts;
  if (total > 0) {
    const std::uint64_t done = std::min(bytes, total);
    const auto filled = static_cast<int>(done * kBarWidth / total);
    parts.push_back(std::to_string(done * 100 / total) + "%");
    parts.push_back("[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]");
  }
  if (const std::int64_t left = meter_.SecondsLeft(); left > 0) {
    parts.push_back(FormatDuration(left) + " left");
  }
  parts.push_back(FormatSize(bytes) + " of " + FormatSize(total));
  if (const double rate = meter_.Rate(); rate > 0) parts.push_back(FormatRate(rate));
  lines_.Progress(parts);
}

void Progress::Clear() { lines_.ClearProgress(); }

std::string Progress::Summary() const {
  std::ostringstream text;
  text << meter_.Bytes() << " bytes";
  if (const double rate = meter_.Rate(); rate > 0) {
    text.precision(1);
    text << " in " << std::fixed << meter_.Seconds() << " s (" << FormatRate(rate) << ")";
  }
  return text.str();
}

}  // namespace ql
