// The Windows program's clock: the performance counter, monotonic on every
// Windows from XP on. (The 32-bit runtime's steady_clock follows the wall
// clock, which jumps when the time is set.)
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/link_clock.h"

namespace ql {

class PerformanceClock final : public LinkClock {
 public:
  PerformanceClock();
  std::int64_t NowMs() override;
  void Sleep(std::int64_t ms) override;

 private:
  LARGE_INTEGER frequency_{};
};

}  // namespace ql
