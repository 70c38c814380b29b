#include "app/terminal/transfer_meter.h"

#include <cmath>

namespace ql {
namespace {

// A rate is given only for a transfer that lasted this long from its first
// piece to its last: a shorter one is mostly the line's start-up and the
// clock's grain (over a pseudo terminal a few kilobytes arrive at once).
constexpr double kMeaningfulSeconds = 0.5;

}  // namespace

TransferMeter::TransferMeter(std::uint64_t total, Clock::duration showAfter, Clock::duration redraw)
    : total_(total), showAfter_(showAfter), redraw_(redraw) {}

bool TransferMeter::Update(std::uint64_t bytes, Clock::time_point now) {
  if (!started_) {
    started_ = true;
    first_ = now;
    firstBytes_ = bytes;
  }
  bytes_ = bytes;
  last_ = now;
  if (now - first_ < showAfter_ || (lastDue_ != Clock::time_point{} && now - lastDue_ < redraw_)) {
    return false;
  }
  lastDue_ = now;
  return true;
}

double TransferMeter::Seconds() const {
  return std::chrono::duration<double>(last_ - first_).count();
}

double TransferMeter::Rate() const {
  const double seconds = Seconds();
  if (seconds < kMeaningfulSeconds || bytes_ < firstBytes_) return 0;
  // The first piece arrived at the start of the measure: it took no time of it.
  return static_cast<double>(bytes_ - firstBytes_) / seconds;
}

std::int64_t TransferMeter::SecondsLeft() const {
  const double rate = Rate();
  if (rate <= 0 || total_ < bytes_) return -1;
  return static_cast<std::int64_t>(std::ceil(static_cast<double>(total_ - bytes_) / rate));
}

}  // namespace ql
