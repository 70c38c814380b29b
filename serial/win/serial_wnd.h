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

class CSerialWnd : public CSerialPort {
 public:
  CSerialWnd();
  ~CSerialWnd() override;

  Status ClosePort() override;

  virtual Status OpenForWindow(const char* name, HWND window, UINT message, std::uintptr_t tag,
                               DWORD inQueue, DWORD outQueue);
  virtual Status ListenLoop();

  // Where the listener tells that the port is gone: `message` posted to
  // `window` (first parameter: the failure's status code; second: the tag
  // given at open), which need not be the window that receives the events.
  // A null window or message 0 tells nothing. Set while the port is closed;
  // it stays for later opens.
  void SetLossNotice(HWND window, UINT message) {
    lossWindow = window;
    lossMessage = message;
  }

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
  void StopListener();
  // Tells the loss window that the port failed with `failure`; true once posted.
  bool PostLoss(Status failure) const;
};

}  // namespace ql
