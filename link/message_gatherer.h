// Reads one message off a port: every byte that arrives until the line has
// been quiet for the quiet interval after the last one. Whatever the port holds
// is drained at once; while the line is quiet the reader waits on the port
// until bytes come or the interval ends, or, on a port that cannot wait, looks
// at it every few milliseconds, so it never falls behind the line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/wire_format.h"

namespace ql {

class MessageGatherer {
 public:
  enum class Outcome { kMessage, kNothing, kReadError };
  using BytesSink = std::function<void(const char* data, std::size_t length)>;

  static constexpr int kPollIntervalMs = 10;

  MessageGatherer(LinkPort& port, LinkClock& clock, int quietMs = kQuietIntervalMs)
      : port_(port), clock_(clock), quietMs_(quietMs) {}

  // Hands each arriving piece to `sink`. Waits up to `firstByteWaitMs` for the
  // first byte (0: only what the port holds now). After a read error the
  // port's status goes to `readStatus` when one is given.
  Outcome Gather(const BytesSink& sink, std::int64_t firstByteWaitMs = 0,
                 Status* readStatus = nullptr);

 private:
  LinkPort& port_;
  LinkClock& clock_;
  int quietMs_;
  std::array<char, 4096> chunk_{};
};

}  // namespace ql
