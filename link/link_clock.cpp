#include "link/link_clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

namespace ql {
namespace {

#ifdef _WIN32
// The performance counter: monotonic on every Windows from XP on. (The 32-bit
// runtime's steady_clock is the wall clock, which jumps when the time is set.)
class SteadyClock final : public LinkClock {
 public:
  SteadyClock() { QueryPerformanceFrequency(&frequency_); }
  std::int64_t NowMs() override {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t perSecond = frequency_.QuadPart;
    // In two steps, so that ticks * 1000 cannot overflow.
    return now.QuadPart / perSecond * 1000 + now.QuadPart % perSecond * 1000 / perSecond;
  }
  void Sleep(std::int64_t ms) override { ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

 private:
  LARGE_INTEGER frequency_{};
};
#else
class SteadyClock final : public LinkClock {
 public:
  std::int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void Sleep(std::int64_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};
#endif

}  // namespace

LinkClock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace ql
