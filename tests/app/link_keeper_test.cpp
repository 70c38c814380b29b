// The port's life as both programs live it, on a made-up clock.
#include "app/common/link_keeper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ql {
namespace {

using State = LinkKeeper::State;
using Look = LinkKeeper::Look;
using Retry = LinkKeeper::Orders::Retry;

constexpr Status kGone = 1167;  // what the port failed with
constexpr Status kMissing = 2;  // what an open failed with

enum class Event { kStart, kStop, kOpened, kOpenFailed, kLost, kStaleLost, kTick };

struct Step {
  Event event;
  std::int64_t nowMs;
  // What the orders must say: "close", "open", the status text, the look and the retry.
  bool close;
  bool open;
  const char* status;  // nullptr: unchanged
  Look look;
  Retry retry;
  std::int64_t retryInMs;
  State after;
};

LinkKeeper::Orders Take(LinkKeeper& keeper, const Step& step, std::uint32_t& generation) {
  switch (step.event) {
    case Event::kStart:
      return keeper.Start("COM7");
    case Event::kStop:
      return keeper.Stop();
    case Event::kOpened:
      return keeper.Opened(kSuccess, ++generation);
    case Event::kOpenFailed:
      return keeper.Opened(kMissing, generation);
    case Event::kLost:
      return keeper.Lost(kGone, generation, step.nowMs);
    case Event::kStaleLost:
      return keeper.Lost(kGone, generation - 1, step.nowMs);
    case Event::kTick:
      return keeper.Tick(step.nowMs);
  }
  return {};
}

void Walk(const std::vector<Step>& steps) {
  LinkKeeper keeper([](Status status) { return "error " + std::to_string(status); });
  std::uint32_t generation = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    const LinkKeeper::Orders orders = Take(keeper, step, generation);
    EXPECT_EQ(orders.close, step.close);
    EXPECT_EQ(orders.open, step.open);
    EXPECT_EQ(orders.status, step.status != nullptr ? step.status : "");
    EXPECT_EQ(orders.look, step.look);
    EXPECT_EQ(orders.retry, step.retry);
    if (step.retry == Retry::kArm) {
      EXPECT_EQ(orders.retryInMs, step.retryInMs);
    }
    EXPECT_EQ(keeper.state(), step.after);
  }
}

constexpr const char* kLostText = "COM7 went away; trying to open it again every 2 s.";

TEST(LinkKeeperTest, StartLoseRetryReopenStop) {
  using E = Event;
  Walk({
      {E::kStart, 0, false, true, nullptr, Look::kUnchanged, Retry::kUnchanged, 0, State::kStopped},
      {E::kOpened, 0, false, false, "COM7 opened.", Look::kOpen, Retry::kUnchanged, 0,
       State::kOpen},
      {E::kStart, 5, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0, State::kOpen},
      {E::kStaleLost, 10, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kOpen},
      {E::kLost, 1000, true, false, kLostText, Look::kFailed, Retry::kArm, 2000, State::kLost},
      // The same loss told twice, and a timer that runs out early.
      {E::kLost, 1001, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0, State::kLost},
      {E::kTick, 2900, false, false, nullptr, Look::kUnchanged, Retry::kArm, 100, State::kLost},
      {E::kTick, 3000, false, true, nullptr, Look::kUnchanged, Retry::kArm, 2000, State::kLost},
      {E::kOpenFailed, 3000, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kLost},
      {E::kTick, 5000, false, true, nullptr, Look::kUnchanged, Retry::kArm, 2000, State::kLost},
      {E::kOpened, 5000, false, false, "COM7 opened.", Look::kOpen, Retry::kCancel, 0,
       State::kOpen},
      // The listener of the open before the loss speaks late: not this port.
      {E::kStaleLost, 5100, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kOpen},
      {E::kStop, 6000, true, false, "COM7 closed", Look::kClosed, Retry::kCancel, 0,
       State::kStopped},
      {E::kStop, 6001, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kStopped},
      {E::kTick, 9000, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kStopped},
  });
}

TEST(LinkKeeperTest, AFailedStartStopsAndAStopWhileLostEndsTheRetrying) {
  using E = Event;
  Walk({
      {E::kStart, 0, false, true, nullptr, Look::kUnchanged, Retry::kUnchanged, 0, State::kStopped},
      {E::kOpenFailed, 0, false, false, "Unable open COM7! (error 2)", Look::kFailed,
       Retry::kUnchanged, 0, State::kStopped},
      {E::kLost, 10, false, false, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kStopped},
      {E::kStart, 20, false, true, nullptr, Look::kUnchanged, Retry::kUnchanged, 0,
       State::kStopped},
      {E::kOpened, 20, false, false, "COM7 opened.", Look::kOpen, Retry::kUnchanged, 0,
       State::kOpen},
      {E::kLost, 30, true, false, kLostText, Look::kFailed, Retry::kArm, 2000, State::kLost},
      // The port is closed already: the stop only ends the retrying.
      {E::kStop, 40, false, false, "COM7 closed", Look::kClosed, Retry::kCancel, 0,
       State::kStopped},
  });
}

}  // namespace
}  // namespace ql
