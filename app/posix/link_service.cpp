#include "app/posix/link_service.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/common/settings.h"
#include "app/common/status_texts.h"
#include "link/trace.h"

namespace ql {

LinkService::LinkService(std::string device, std::uint32_t baud, FileSystem& fileSystem,
                         TerminalLines& lines)
    : device_(std::move(device)),
      baud_(baud),
      lines_(lines),
      link_(line_, fileSystem, SystemClock()),
      keeper_([](Status error) { return std::string(std::strerror(error)); }),
      clock_(SystemClock()) {
  link_.SetActivitySink([this](const LinkActivity& activity) { Observe(activity); });
}

void LinkService::FindSpeed(std::function<void(std::uint32_t baud)> found) {
  speedFinder_.emplace(std::vector<std::uint32_t>(kSpeeds.begin(), kSpeeds.end()), baud_);
  speedFound_ = std::move(found);
}

void LinkService::Observe(const LinkActivity& activity) {
  if (activitySink_) activitySink_(activity);
  if (!speedFinder_) return;
  switch (speedFinder_->Take(activity)) {
    case SpeedFinder::Step::kMove:
      // Each speed is told once; then the search goes on quietly.
      if (++movesUnsettled_ <= kSpeeds.size()) {
        lines_.Line(SpeedMovedText(baud_, speedFinder_->Speed()));
      } else if (movesUnsettled_ == kSpeeds.size() + 1) {
        lines_.Line(NoSpeedFitsText());
      }
      baud_ = speedFinder_->Speed();
      // The line is set once the arrival is served: the server may still be answering it.
      speedMoveDue_ = true;
      break;
    case SpeedFinder::Step::kSettle:
      movesUnsettled_ = 0;
      if (speedFinder_->Moved()) lines_.Line(SpeedFoundText(baud_));
      if (speedFound_) speedFound_(baud_);
      break;
    case SpeedFinder::Step::kStay:
      break;
  }
}

void LinkService::MoveSpeed() {
  speedMoveDue_ = false;
  // What is queued was read at the old speed.
  line_.DiscardBuffers();
  if (const int refused = line_.SetSpeed(baud_); refused != 0) {
    Trace("the line refused the speed");
    TraceNumber(refused);
  }
  lineErrors_ = line_.LineErrorCount();
}

LinkService::~LinkService() { line_.Close(); }

int LinkService::Carry(LinkKeeper::Orders orders) {
  int opened = 0;
  for (;;) {
    if (orders.close) CloseLine();
    // A failed start is the caller's to explain, at more length.
    const bool failedStart = orders.look == LinkKeeper::Look::kFailed && !keeper_.Running();
    if (!orders.status.empty() && !failedStart) lines_.Line(orders.status);
    // The retry is the poll's timeout in Run().
    if (!orders.open) return opened;
    opened = OpenLine();
    orders = keeper_.Opened(opened, 0);
  }
}

int LinkService::OpenLine() {
  const int opened = line_.Open(device_);
  if (opened != 0) return opened;
  // As on Windows, a line that refuses the speed still counts as open.
  static_cast<void>(line_.SetSpeed(baud_));
  speedMoveDue_ = false;
  lineErrors_ = line_.LineErrorCount();
  std::string error;
  // Should another server hold the new name, the old lock still keeps this
  // server's place; only a second server's message is poorer.
  if (lock_ != nullptr && !lock_->Follow(device_, error)) Trace(error.c_str());
  return 0;
}

int LinkService::Start() { return Carry(keeper_.Start(device_)); }

void LinkService::CloseLine() {
  // What a transfer cut short left in the output queue is of no use, and a
  // close would otherwise wait for a stalled line to take it.
  if (sendCutShort_ && line_.IsOpen()) line_.DiscardBuffers();
  line_.Close();
}

void LinkService::Run() {
  for (;;) {
    const std::int64_t untilRetry = keeper_.MsUntilRetry(clock_.NowMs());
    const PosixSerialLine::WaitResult event = line_.WaitFor(static_cast<int>(untilRetry));
    if (event == PosixSerialLine::WaitResult::kWoken) break;
    if (event == PosixSerialLine::WaitResult::kHungUp) DeviceLost(EIO);
    if (event == PosixSerialLine::WaitResult::kReadable) ServeArrival();
    if (event == PosixSerialLine::WaitResult::kTimedOut) Carry(keeper_.Tick(clock_.NowMs()));
  }
  Carry(keeper_.Stop());
}

void LinkService::ServeArrival() {
  const CLinkReceiver::Served served = link_.ServeArrival();
  // Bytes sent at another speed reach the driver as framing and parity errors.
  const long long errors = line_.LineErrorCount();
  if (errors > lineErrors_ && lineErrors_ >= 0) {
    LinkActivity garbled(LinkActivity::Kind::kGarbled);
    garbled.bytes = static_cast<std::uint64_t>(errors - lineErrors_);
    Observe(garbled);
  }
  lineErrors_ = errors;
  // A line lost meanwhile opens at the new speed.
  if (speedMoveDue_ && line_.IsOpen()) MoveSpeed();
  const int failed = served.readError != 0 ? served.readError : served.sendError;
  // A stalled or cancelled transfer ended only itself; the device is still there.
  sendCutShort_ = failed == ETIMEDOUT || failed == ECANCELED;
  if (failed != 0 && !sendCutShort_) DeviceLost(failed);
}

// The server keeps its state, as when the Windows program's port is reopened.
void LinkService::DeviceLost(int error) { Carry(keeper_.Lost(error, 0, clock_.NowMs())); }

}  // namespace ql
