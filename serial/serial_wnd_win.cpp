// The listener thread that turns the port's events into window messages.
#include "serial/comm_api.h"
#include "serial/serial_wnd.h"

namespace ql {

const std::uint32_t registeredComMessage = RegisterWindowMessageA("CSerialWnd_DefaultComMsg");

namespace {

DWORD WINAPI ListenerEntry(LPVOID object) {
  return static_cast<DWORD>(static_cast<CSerialWnd*>(object)->ListenLoop());
}

HANDLE NewManualResetEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

// The driver writes into `record` until the wait ends, so end it before the
// record goes away.
void EndCommWait(HANDLE port, OVERLAPPED& record) {
  DWORD unused = 0;
  CancelIoEx(port, &record);
  GetOverlappedResult(port, &record, &unused, TRUE);
}

}  // namespace

CSerialWnd::CSerialWnd() = default;

CSerialWnd::~CSerialWnd() {
  if (listenerThread != nullptr) CSerialWnd::ClosePort();
}

Status CSerialWnd::OpenForWindow(const char* name, NotifyTarget window, std::uint32_t message,
                                 std::uintptr_t tag, std::uint32_t inQueue,
                                 std::uint32_t outQueue) {
  const Status opened = CSerialPort::OpenPort(name, inQueue, outQueue);
  if (opened != kErrorSuccess) {
    // A port whose defaults failed stays open without a listener, and callers
    // never close a port they failed to open: close it here.
    if (opened != kErrorAlreadyInitialized && IsOpen()) CSerialPort::ClosePort();
    return Store(opened);
  }
  const auto created = [](HANDLE handle) {
    return handle != nullptr ? kErrorSuccess : LastPlatformError();
  };
  Status code = created(stopEvent = NewManualResetEvent());
  if (code == kErrorSuccess) code = created(waitEvent = NewManualResetEvent());
  if (code == kErrorSuccess) {
    code = created(listenerThread =
                       CreateThread(nullptr, 0, ListenerEntry, this, CREATE_SUSPENDED, nullptr));
  }
  if (code != kErrorSuccess) {
    CloseAndClear(stopEvent);
    CloseAndClear(waitEvent);
    CSerialPort::ClosePort();
    return Store(code);
  }
  notifyWindow = window;
  notifyMessage = message != 0 ? message : registeredComMessage;
  notifyTag = tag;
  ResumeThread(listenerThread);
  return LastError();
}

Status CSerialWnd::ListenLoop() {
  SetListenerThreadId(std::this_thread::get_id());
  OVERLAPPED record{};
  record.hEvent = waitEvent;
  const HANDLE stopOrEvent[2] = {stopEvent, waitEvent};
  // False once a comm wait failed: from then on only the stop can end the wait.
  bool listening = true;
  for (;;) {
    if (listening) {
      ResetEvent(waitEvent);
      const Status issued = AwaitCommEvent(&record, kInfinite);
      if (issued < 0) return LastError();
      listening = issued == kErrorSuccess;
    }
    if (WaitForMultipleObjects(2, stopOrEvent, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      if (listening) EndCommWait(portHandle, record);
      return kErrorSuccess;
    }
    DWORD unused = 0;
    const bool completed = GetOverlappedResult(portHandle, &record, &unused, FALSE) != FALSE;
    const std::uint32_t events = TakeEventBits();
    if (!completed) {
      // The bits were never written; the wait itself failed.
      Store(LastPlatformError());
      listening = false;
      continue;
    }
    DWORD errors = 0;
    if (!ClearCommError(portHandle, &errors, nullptr)) {
      Store(LastPlatformError());
      errors = 0;
    }
    // A wait ended by a change of the event mask has no bits: nothing to tell.
    if (events != 0) {
      PostMessageA(notifyWindow, notifyMessage,
                   static_cast<WPARAM>(NotificationWord(errors, events)),
                   static_cast<LPARAM>(notifyTag));
    }
  }
}

Status CSerialWnd::ClosePort() {
  if (listenerThread != nullptr) {
    SetEvent(stopEvent);
    WaitForSingleObject(listenerThread, INFINITE);
    CloseHandle(listenerThread);
    listenerThread = nullptr;
  }
  CloseAndClear(stopEvent);
  CloseAndClear(waitEvent);
  SetListenerThreadId(std::thread::id{});
  notifyWindow = nullptr;
  notifyMessage = 0;
  notifyTag = 0;
  return CSerialPort::ClosePort();
}

}  // namespace ql
