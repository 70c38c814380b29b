// Opening and closing the port with a listener; serial_wnd_win.cpp runs the
// listener itself.
#include "serial/win/serial_wnd.h"

namespace ql {

CSerialWnd::CSerialWnd() = default;

CSerialWnd::~CSerialWnd() {
  if (listenerThread != nullptr) CSerialWnd::ClosePort();
}

Status CSerialWnd::OpenForWindow(const char* name, NotifyTarget window, std::uint32_t message,
                                 std::uintptr_t tag, std::uint32_t inQueue,
                                 std::uint32_t outQueue) {
  const Status opened = CSerialPort::OpenPort(name, inQueue, outQueue);
  if (opened != kSuccess) {
    // A port whose defaults failed stays open without a listener, and callers
    // never close a port they failed to open: close it here.
    if (opened != kErrorAlreadyInitialized && IsOpen()) CSerialPort::ClosePort();
    return Store(opened);
  }
  notifyWindow = window;
  notifyMessage = message != 0 ? message : registeredComMessage;
  notifyTag = tag;
  const Status started = StartListener();
  if (started != kSuccess) {
    CSerialWnd::ClosePort();
    return Store(started);
  }
  return LastError();
}

Status CSerialWnd::ClosePort() {
  StopListener();
  SetListenerThreadId(ThreadId{});
  notifyWindow = nullptr;
  notifyMessage = 0;
  notifyTag = 0;
  return CSerialPort::ClosePort();
}

}  // namespace ql
