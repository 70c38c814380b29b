// The terminal program's running link: the port, the server and the UI
// thread's loop that hands every notification to the receiver, in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "app/common/status_texts.h"
#include "app/posix/instance_lock.h"
#include "link/file_system.h"
#include "link/link_activity.h"
#include "link/link_receiver.h"
#include "link/link_server.h"
#include "serial/notify_queue.h"
#include "serial/serial_link_port.h"
#include "serial/serial_wnd.h"

namespace ql {

// WM_USER + 100: the listener's notification, as on Windows.
constexpr std::uint32_t kSerialEventMessage = 1124;
// WM_QUIT: ends the loop.
constexpr std::uint32_t kQuitMessage = 0x0012;

class LinkService {
 public:
  static constexpr std::chrono::milliseconds kReopenInterval{kReopenIntervalMs};

  LinkService(std::string device, std::uint32_t baud, FileSystem& fileSystem, std::ostream& out);
  ~LinkService();
  LinkService(const LinkService&) = delete;
  LinkService& operator=(const LinkService&) = delete;

  // Receives a report of every exchange served.
  void SetActivitySink(ActivitySink sink) { server_.SetActivitySink(std::move(sink)); }
  // Keeps `lock` on the device's real path each time the port is opened, so
  // that a second server is told who serves a device plugged in again under
  // another name.
  void SetInstanceLock(InstanceLock& lock) { lock_ = &lock; }
  // Opens the port and sets up the line; the open's status code (0 success).
  Status Start();
  // Serves until a quit request arrives, then closes the port.
  void Run();
  // Any thread: ends Run soon, a transfer under way included.
  void RequestQuit();

 private:
  Status OpenPort();
  void ClosePort();
  void HandleSerialEvent(const Notification& notification);
  void DeviceLost();
  void TryReopen();

  std::string device_;
  std::uint32_t baud_;
  std::ostream& out_;
  NotifyQueue queue_;
  EventHandle quitting_;  // ends the port's transfers once a quit is requested
  CSerialWnd port_;
  SerialLinkPort linkPort_{port_};
  CLinkServer server_;
  CLinkReceiver receiver_;
  InstanceLock* lock_ = nullptr;
  bool lost_ = false;
  bool sendCutShort_ = false;  // the last exchange's send stalled or was aborted
  std::chrono::steady_clock::time_point nextReopen_;
};

}  // namespace ql
