#include "app/common/link_keeper.h"

#include <utility>

#include "app/common/status_texts.h"

namespace ql {
namespace {

LinkKeeper::Orders RetryIn(std::int64_t ms) {
  LinkKeeper::Orders orders;
  orders.retry = LinkKeeper::Orders::Retry::kArm;
  orders.retryInMs = ms;
  return orders;
}

}  // namespace

LinkKeeper::LinkKeeper(std::function<std::string(Status)> openProblem)
    : openProblem_(std::move(openProblem)) {}

LinkKeeper::Orders LinkKeeper::Start(const std::string& port) {
  Orders orders;
  if (Running() || opening_) return orders;
  port_ = port;
  opening_ = true;
  orders.open = true;
  return orders;
}

LinkKeeper::Orders LinkKeeper::Stop() {
  Orders orders;
  if (!Running()) return orders;
  // A lost port is closed already.
  orders.close = state_ == State::kOpen;
  orders.status = PortClosedText(port_);
  orders.look = Look::kClosed;
  orders.retry = Orders::Retry::kCancel;
  state_ = State::kStopped;
  opening_ = false;
  return orders;
}

LinkKeeper::Orders LinkKeeper::Opened(Status status, std::uint32_t generation) {
  Orders orders;
  if (!opening_) return orders;
  opening_ = false;
  if (status == kSuccess) {
    if (state_ == State::kLost) orders.retry = Orders::Retry::kCancel;
    state_ = State::kOpen;
    generation_ = generation;
    lostBecause_ = kSuccess;
    orders.status = PortOpenedText(port_);
    orders.look = Look::kOpen;
  } else if (state_ == State::kStopped) {
    orders.status = PortOpenFailedText(port_, openProblem_(status));
    orders.look = Look::kFailed;
  }
  // A reopen that failed leaves the text that says the port went away, and
  // the timer that Tick() set.
  return orders;
}

LinkKeeper::Orders LinkKeeper::Lost(Status status, std::uint32_t generation, std::int64_t nowMs) {
  Orders orders;
  if (state_ != State::kOpen || generation != generation_) return orders;
  state_ = State::kLost;
  lostBecause_ = status;
  retryAtMs_ = nowMs + kRetryIntervalMs;
  orders = RetryIn(kRetryIntervalMs);
  orders.close = true;
  orders.status = PortLostText(port_);
  orders.look = Look::kFailed;
  return orders;
}

LinkKeeper::Orders LinkKeeper::Tick(std::int64_t nowMs) {
  if (state_ != State::kLost || opening_) return Orders();
  if (nowMs < retryAtMs_) return RetryIn(retryAtMs_ - nowMs);
  retryAtMs_ = nowMs + kRetryIntervalMs;
  Orders orders = RetryIn(kRetryIntervalMs);
  opening_ = true;
  orders.open = true;
  return orders;
}

std::int64_t LinkKeeper::MsUntilRetry(std::int64_t nowMs) const {
  if (state_ != State::kLost || opening_) return -1;
  return retryAtMs_ > nowMs ? retryAtMs_ - nowMs : 0;
}

}  // namespace ql
