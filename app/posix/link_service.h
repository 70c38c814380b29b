// The terminal program's running link: the line, the server and the loop that
// waits on the line and serves every arrival, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "app/common/link_keeper.h"
#include "app/posix/instance_lock.h"
#include "app/terminal/terminal_output.h"
#include "link/desktop_link.h"
#include "link/file_system.h"
#include "link/link_activity.h"
#include "link/link_clock.h"
#include "link/speed_finder.h"
#include "serial/posix/posix_serial_line.h"

namespace ql {

class LinkService {
 public:
  // The port's status lines go to `lines`.
  LinkService(std::string device, std::uint32_t baud, FileSystem& fileSystem, TerminalLines& lines);
  ~LinkService();
  LinkService(const LinkService&) = delete;
  LinkService& operator=(const LinkService&) = delete;

  // Receives a report of every exchange served.
  void SetActivitySink(ActivitySink sink) { activitySink_ = std::move(sink); }
  // Finds the handheld's speed from what arrives, starting at the speed given
  // to the constructor (see SpeedFinder); the speed found holds across
  // reopens. `found` is called with each speed a command decoded at, to be
  // remembered. Before Start().
  void FindSpeed(std::function<void(std::uint32_t baud)> found);
  // The speed the line is set to, or is to be set to when it opens.
  std::uint32_t Speed() const { return baud_; }
  // Keeps `lock` on the device's real path each time the line is opened, so
  // that a second server is told who serves a device plugged in again under
  // another name.
  void SetInstanceLock(InstanceLock& lock) { lock_ = &lock; }
  // Opens the line and sets its speed; the open's errno, 0 on success. A
  // failure is the caller's to explain.
  int Start();
  // Serves until a quit is requested, then closes the line.
  void Run();
  // Any thread, also a signal handler: ends Run soon, a transfer under way included.
  void RequestQuit() { line_.Wake(); }

 private:
  // Does what the keeper orders; the errno of the last open it ordered.
  int Carry(LinkKeeper::Orders orders);
  int OpenLine();
  void CloseLine();
  void ServeArrival();
  void DeviceLost(int error);
  // Every report of the server and of the line, before it goes on.
  void Observe(const LinkActivity& activity);
  // Sets the open line to the speed the finder moved to.
  void MoveSpeed();

  std::string device_;
  std::uint32_t baud_;
  TerminalLines& lines_;
  PosixSerialLine line_;
  DesktopLink link_;
  LinkKeeper keeper_;
  LinkClock& clock_;
  InstanceLock* lock_ = nullptr;
  bool sendCutShort_ = false;  // the last exchange's send stalled or was cancelled
  long long lineErrors_ = -1;  // as the driver counted them after the last arrival
  ActivitySink activitySink_;
  std::optional<SpeedFinder> speedFinder_;  // with FindSpeed
  std::function<void(std::uint32_t baud)> speedFound_;
  bool speedMoveDue_ = false;       // the finder moved while an arrival was served
  std::size_t movesUnsettled_ = 0;  // moves since a command last decoded
};

}  // namespace ql
