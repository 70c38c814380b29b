#include "app/win/performance_clock.h"

namespace ql {

PerformanceClock::PerformanceClock() { QueryPerformanceFrequency(&frequency_); }

std::int64_t PerformanceClock::NowMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const std::int64_t perSecond = frequency_.QuadPart;
  // In two steps, so that ticks * 1000 cannot overflow.
  return now.QuadPart / perSecond * 1000 + now.QuadPart % perSecond * 1000 / perSecond;
}

void PerformanceClock::Sleep(std::int64_t ms) { ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

}  // namespace ql
