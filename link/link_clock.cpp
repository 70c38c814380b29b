#include "link/link_clock.h"

#include <chrono>
#include <thread>

namespace ql {
namespace {

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

}  // namespace

LinkClock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace ql
