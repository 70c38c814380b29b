// A serial port with a listener thread that posts a window message when port
// events arrive: one message at a time, which the window acknowledges.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "serial/win/serial_port.h"

namespace ql {

// Used when OpenForWindow is given message 0.
extern const UINT registeredComMessage;

// The loss notice's code when the driver kept ending comm waits with no event
// bits and no failure of its own: it no longer reports anything.
constexpr Status kErrorPortSilent = ERROR_IO_DEVICE;

class CSerialWnd : public CSerialPort {
 public:
  CSerialWnd();
  ~CSerialWnd() override;

  Status ClosePort() override;

  virtual Status OpenForWindow(const char* name, HWND window, UINT message, std::uintptr_t tag,
                               DWORD inQueue, DWORD outQueue);
  virtual Status ListenLoop();

  // Where the listener tells that the port is gone: `message` posted to
  // `window` (first parameter: the failure's status code; second: the
  // Generation() of the open whose listener posted it), which need not be the
  // window that receives the events. A notice whose generation is not the
  // current one comes from a port closed since, and is stale. A null window or
  // message 0 tells nothing. Set while the port is closed; it stays for later
  // opens.
  void SetLossNotice(HWND window, UINT message) {
    lossWindow = window;
    lossMessage = message;
  }

  // Names the current open, or the last one while closed: counts the
  // successful OpenForWindow calls.
  std::uint32_t Generation() const { return generation.load(); }

  // At most one notification waits in the window's queue: events that arrive
  // meanwhile are folded into it, since its handler drains the port anyway.
  // The window calls this when it takes the notification, before it reads
  // the port, so that bytes arriving while it reads are told again.
  void NotificationTaken() { notificationPending.store(false); }

  // The notification's first parameter: line error flags above, event bits below.
  static WPARAM NotificationWord(DWORD errorFlags, DWORD events) {
    return (static_cast<WPARAM>(errorFlags & 0xFFFFu) << 16) | (events & 0xFFFFu);
  }

 protected:
  HANDLE listenerThread = nullptr;
  HANDLE stopEvent = nullptr;
  HANDLE waitEvent = nullptr;
  HWND notifyWindow = nullptr;
  UINT notifyMessage = 0;
  std::uintptr_t notifyTag = 0;
  HWND lossWindow = nullptr;
  UINT lossMessage = 0;
  // Set by the listener when it posts a notification, cleared when the
  // window takes it (or the post failed).
  std::atomic<bool> notificationPending{false};

 private:
  Status StartListener();
  // Ends the listener, or gives up on it after a few seconds and leaves it its
  // thread and events: a driver that never completes a cancel must not hang
  // the caller.
  void StopListener();

  std::atomic<std::uint32_t> generation{0};
  // The generation whose listener may use the port; 0 while none may. A
  // listener that finds another here was given up on and ends without it.
  std::atomic<std::uint32_t> listening{0};
};

}  // namespace ql
