#include "link/message_gatherer.h"

#include <algorithm>

namespace ql {

MessageGatherer::Outcome MessageGatherer::Gather(const BytesSink& sink,
                                                 std::int64_t firstByteWaitMs, Status* readStatus) {
  bool gotBytes = false;
  std::int64_t lastArrival = clock_.NowMs();
  for (;;) {
    std::uint32_t count = 0;
    const Status read =
        port_.ReceiveBytes(chunk_.data(), static_cast<std::uint32_t>(chunk_.size()), &count);
    if (read != kSuccess) {
      if (readStatus != nullptr) *readStatus = read;
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
    const std::int64_t left = limit - waited;
    if (!port_.WaitReadable(static_cast<int>(left))) {
      clock_.Sleep(std::min<std::int64_t>(kPollIntervalMs, left));
    }
  }
}

}  // namespace ql
