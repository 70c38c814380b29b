#include "app/posix/link_service.h"

#include <stdexcept>
#include <utility>

#include "app/common/status_texts.h"
#include "link/link_clock.h"
#include "link/trace.h"
#include "serial/comm_api.h"

namespace ql {
namespace {

constexpr std::uint32_t kQueueSize = 2048;

}  // namespace

LinkService::LinkService(std::string device, std::uint32_t baud, FileSystem& fileSystem,
                         std::ostream& out)
    : device_(std::move(device)),
      baud_(baud),
      out_(out),
      quitting_(CreateManualResetEvent()),
      server_(linkPort_, fileSystem, SystemClock()),
      receiver_(linkPort_, server_, SystemClock()) {
  if (quitting_ == nullptr) throw std::runtime_error("cannot create an event for the quit request");
  port_.SetAbortEvent(quitting_);
}

LinkService::~LinkService() {
  port_.ClosePort();
  CloseEvent(quitting_);
}

void LinkService::RequestQuit() {
  SetEvent(quitting_);
  queue_.Post({kQuitMessage, 0, 0});
}

Status LinkService::OpenPort() {
  const Status opened =
      port_.OpenForWindow(device_.c_str(), &queue_, kSerialEventMessage, 0, kQueueSize, kQueueSize);
  if (opened != kErrorSuccess) return opened;
  // As on Windows, a line that refuses a setting still counts as open.
  SetUpHandheldLine(port_, baud_);
  std::string error;
  // Should another server hold the new name, the old lock still keeps this
  // server's place; only a second server's message is poorer.
  if (lock_ != nullptr && !lock_->Follow(device_, error)) Trace(error.c_str());
  out_ << PortOpenedText(device_) << std::endl;
  return kErrorSuccess;
}

Status LinkService::Start() { return OpenPort(); }

void LinkService::ClosePort() {
  if (!port_.IsOpen()) return;
  // What a transfer cut short left in the output queue is of no use, and a
  // close would otherwise wait for a stalled line to take it.
  if (sendCutShort_) port_.DiscardBuffers();
  port_.ClosePort();
  out_ << PortClosedText(device_) << std::endl;
}

void LinkService::Run() {
  for (;;) {
    Notification notification;
    if (queue_.Take(notification, std::chrono::milliseconds(lost_ ? 100 : 1000))) {
      if (notification.message == kQuitMessage) break;
      if (notification.message == kSerialEventMessage) HandleSerialEvent(notification);
    }
    if (lost_ && std::chrono::steady_clock::now() >= nextReopen_) TryReopen();
  }
  ClosePort();
}

void LinkService::HandleSerialEvent(const Notification& notification) {
  // Notifications from before a close still wait in the queue.
  if (!port_.IsOpen()) return;
  if ((notification.wParam & kEvErr) != 0) {
    DeviceLost();
    return;
  }
  receiver_.OnSerialEvent(notification.wParam, notification.lParam);
  // A stalled or aborted send ended only its transfer; the port is still there.
  const Status last = port_.LastError();
  sendCutShort_ = last == kErrorTimeout || last == kErrorOperationAborted;
  if (last != kErrorSuccess && !sendCutShort_) DeviceLost();
}

void LinkService::DeviceLost() {
  out_ << PortLostText(device_) << std::endl;
  port_.ClosePort();
  lost_ = true;
  nextReopen_ = std::chrono::steady_clock::now() + kReopenInterval;
}

void LinkService::TryReopen() {
  // The server keeps its state, as when the Windows program's port is reopened.
  if (OpenPort() == kErrorSuccess) {
    lost_ = false;
    return;
  }
  nextReopen_ = std::chrono::steady_clock::now() + kReopenInterval;
}

}  // namespace ql
