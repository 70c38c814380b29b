// A null-modem cable without hardware: two pseudo terminals whose master
// sides a relay thread joins, so that whatever one end's program writes, the
// other end's program reads. Each end is a device path (a symbolic link to
// its pseudo terminal) that a serial program opens like /dev/ttyUSB0.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ql {

class VirtualCable {
 public:
  enum End { kServerEnd = 0, kHandheldEnd = 1 };

  // Makes both ends as "server-tty" and "handheld-tty" in `folder`; null with
  // `error` set when the system has no pseudo terminals to spare.
  static std::unique_ptr<VirtualCable> Create(const std::string& folder, std::string& error);

  ~VirtualCable();
  VirtualCable(const VirtualCable&) = delete;
  VirtualCable& operator=(const VirtualCable&) = delete;

  const std::string& DevicePath(End end) const { return plugs_[end].link; }

  // Pulls one end's plug: the program on it sees a hang-up, its device path
  // disappears, and bytes on their way to it are lost.
  void Unplug(End end);
  // A fresh device behind the same path; with `anotherTerminal`, under another
  // real path, as a USB adapter may come back as /dev/ttyUSB1 instead of 0.
  bool Replug(End end, std::string& error, bool anotherTerminal = false);

 private:
  struct Plug {
    int master = -1;
    int slave = -1;  // kept open, so the master never reads a hang-up between programs
    std::string link;
    std::string terminal;  // the pseudo terminal the link names, kept after a close
    std::string pending;   // bytes on their way to this end
  };

  VirtualCable() = default;
  bool Open(Plug& plug, std::string& error, const std::string& avoid = "");
  static void Close(Plug& plug);
  void StartRelay();
  void StopRelay();
  void Relay();
  void Move(Plug& from, Plug& to, short fromEvents, short toEvents);

  std::array<Plug, 2> plugs_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

}  // namespace ql
