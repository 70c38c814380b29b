#include "link/message_gatherer.h"

#include <algorithm>

namespace ql {

MessageGatherer::Outcome MessageGatherer::Gather(const BytesSink& sink,
                                                 std::int64_t firstByteWaitMs) {
  bool gotBytes = false;
  std::int64_t lastArrival = clock_.NowMs();
  for (;;) {
    std::uint32_t count = 0;
    if (port_.ReceiveBytes(chunk_.data(), static_cast<std::uint32_t>(chunk_.size()), &count) !=
        kSuccess) {
      return Outcome::kReadError;
    }
    const std::int64_t now = clock_.NowMs();
    if (count > 0) {
      sink(chunk_.data(), count);
      gotBytes = true;
      lastArrival = now;
      continue;  // drain what the port holds without pausing
    }
    const std::int64_t limit = gotBytes ? quietMs_ : firstByteWaitMs;
    const std::int64_t waited = now - lastArrival;
    if (waited >= limit) return gotBytes ? Outcome::kMessage : Outcome::kNothing;
    clock_.Sleep(std::min<std::int64_t>(kPollIntervalMs, limit - waited));
  }
}

}  // namespace ql
