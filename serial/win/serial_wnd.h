// A serial port with a listener thread that posts a window message when port
// events arrive: one message at a time, which the window acknowledges.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/win/serial_port.h"

namespace ql {

// Used when OpenForWindow is given message 0.
extern const std::uint32_t registeredComMessage;

class CSerialWnd : public CSerialPort {
 public:
  CSerialWnd();
  ~CSerialWnd() override;

  Status ClosePort() override;

  virtual Status OpenForWindow(const char* name, NotifyTarget window, std::uint32_t message,
                               std::uintptr_t tag, std::uint32_t inQueue, std::uint32_t outQueue);
  virtual Status ListenLoop();

  // The message posted to the notification window when the port is gone
  // (first parameter: the failure's status code; second: the tag); 0 posts
  // nothing. Set while the port is closed; it stays for later opens.
  void SetLossMessage(std::uint32_t message) { lossMessage = message; }

  // At most one notification waits in the window's queue: events that arrive
  // meanwhile are folded into it, since its handler drains the port anyway.
  // The window calls this when it takes the notification, before it reads
  // the port, so that bytes arriving while it reads are told again.
  void NotificationTaken() { notificationPending.store(false); }

  // The notification's first parameter: line error flags above, event bits below.
  static std::uintptr_t NotificationWord(std::uint32_t errorFlags, std::uint32_t events) {
    return (static_cast<std::uintptr_t>(errorFlags & 0xFFFFu) << 16) | (events & 0xFFFFu);
  }

 protected:
  // The system's part of starting and ending the listener: its events and thread.
  Status StartListener();
  void StopListener();

  ThreadHandle listenerThread = nullptr;
  EventHandle stopEvent = nullptr;
  EventHandle waitEvent = nullptr;
  NotifyTarget notifyWindow = nullptr;
  std::uint32_t notifyMessage = 0;
  std::uintptr_t notifyTag = 0;
  std::uint32_t lossMessage = 0;
  // Set by the listener when it posts a notification, cleared when the
  // window takes it (or the post failed).
  std::atomic<bool> notificationPending{false};
};

}  // namespace ql
