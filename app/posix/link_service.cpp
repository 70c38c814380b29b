#include "app/posix/link_service.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "app/common/status_texts.h"
#include "link/link_clock.h"
#include "link/trace.h"

namespace ql {

LinkService::LinkService(std::string device, std::uint32_t baud, FileSystem& fileSystem,
                         TerminalLines& lines)
    : device_(std::move(device)),
      baud_(baud),
      lines_(lines),
      link_(line_, fileSystem, SystemClock()) {}

LinkService::~LinkService() { line_.Close(); }

int LinkService::OpenLine() {
  const int opened = line_.Open(device_);
  if (opened != 0) return opened;
  // As on Windows, a line that refuses the speed still counts as open.
  static_cast<void>(line_.SetSpeed(baud_));
  lineErrors_ = line_.LineErrorCount();
  std::string error;
  // Should another server hold the new name, the old lock still keeps this
  // server's place; only a second server's message is poorer.
  if (lock_ != nullptr && !lock_->Follow(device_, error)) Trace(error.c_str());
  lines_.Line(PortOpenedText(device_));
  return 0;
}

int LinkService::Start() { return OpenLine(); }

void LinkService::CloseLine() {
  if (!line_.IsOpen()) return;
  // What a transfer cut short left in the output queue is of no use, and a
  // close would otherwise wait for a stalled line to take it.
  if (sendCutShort_) line_.DiscardBuffers();
  line_.Close();
  lines_.Line(PortClosedText(device_));
}

void LinkService::Run() {
  for (;;) {
    if (lost_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          nextReopen_ - std::chrono::steady_clock::now());
      const int waitMs =
          static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      if (line_.WaitFor(waitMs) == PosixSerialLine::WaitResult::kWoken) break;
      if (std::chrono::steady_clock::now() >= nextReopen_) TryReopen();
      continue;
    }
    const PosixSerialLine::WaitResult event = line_.WaitFor(-1);
    if (event == PosixSerialLine::WaitResult::kWoken) break;
    if (event == PosixSerialLine::WaitResult::kHungUp) DeviceLost();
    if (event == PosixSerialLine::WaitResult::kReadable) ServeArrival();
  }
  CloseLine();
}

void LinkService::ServeArrival() {
  const CLinkReceiver::Served served = link_.ServeArrival();
  // Bytes sent at another speed reach the driver as framing and parity errors.
  const long long errors = line_.LineErrorCount();
  if (errors > lineErrors_ && lineErrors_ >= 0 && activitySink_) {
    LinkActivity garbled(LinkActivity::Kind::kGarbled);
    garbled.bytes = static_cast<std::uint64_t>(errors - lineErrors_);
    activitySink_(garbled);
  }
  lineErrors_ = errors;
  const int failed = served.readError != 0 ? served.readError : served.sendError;
  // A stalled or cancelled transfer ended only itself; the device is still there.
  sendCutShort_ = failed == ETIMEDOUT || failed == ECANCELED;
  if (failed != 0 && !sendCutShort_) DeviceLost();
}

void LinkService::DeviceLost() {
  lines_.Line(PortLostText(device_));
  line_.Close();
  lost_ = true;
  nextReopen_ = std::chrono::steady_clock::now() + kReopenInterval;
}

void LinkService::TryReopen() {
  // The server keeps its state, as when the Windows program's port is reopened.
  if (OpenLine() == 0) {
    lost_ = false;
    return;
  }
  nextReopen_ = std::chrono::steady_clock::now() + kReopenInterval;
}

}  // namespace ql
