// Time as the link protocol sees it: pauses and a monotonic millisecond count.
// Tests substitute a clock that advances only when the protocol sleeps.
#pragma once

#include <cstdint>

namespace ql {

class LinkClock {
 public:
  virtual ~LinkClock() = default;
  virtual std::int64_t NowMs() = 0;
  virtual void Sleep(std::int64_t ms) = 0;
};

// The standard library's steady clock and real sleeps. The Windows program
// has a clock of its own (the 32-bit runtime's steady clock is not steady).
LinkClock& SystemClock();

}  // namespace ql
