// The listener thread that turns the port's events into window messages.
#include "serial/comm_api.h"
#include "serial/serial_wnd.h"

namespace ql {

const std::uint32_t registeredComMessage = RegisterWindowMessageA("CSerialWnd_DefaultComMsg");

namespace {

DWORD WINAPI ListenerEntry(LPVOID object) {
  return static_cast<DWORD>(static_cast<CSerialWnd*>(object)->ListenLoop());
}

void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

// The driver writes into `record` until the wait ends, so end it before the
// record goes away. The listener issued the wait, so CancelIo (which ends
// the calling thread's own transfers, and exists on XP) serves.
void EndCommWait(HANDLE port, OVERLAPPED& record) {
  DWORD unused = 0;
  CancelIo(port);
  GetOverlappedResult(port, &record, &unused, TRUE);
}

}  // namespace

Status CSerialWnd::StartListener() {
  const auto created = [](HANDLE handle) {
    return handle != nullptr ? kErrorSuccess : LastPlatformError();
  };
  Status code = created(stopEvent = CreateManualResetEvent());
  if (code == kErrorSuccess) code = created(waitEvent = CreateManualResetEvent());
  if (code == kErrorSuccess) {
    code = created(listenerThread =
                       CreateThread(nullptr, 0, ListenerEntry, this, CREATE_SUSPENDED, nullptr));
  }
  if (code != kErrorSuccess) return code;
  ResumeThread(listenerThread);
  return kErrorSuccess;
}

void CSerialWnd::StopListener() {
  if (listenerThread != nullptr) {
    SetEvent(stopEvent);
    WaitForSingleObject(listenerThread, INFINITE);
    CloseHandle(listenerThread);
    listenerThread = nullptr;
  }
  CloseAndClear(stopEvent);
  CloseAndClear(waitEvent);
}

Status CSerialWnd::ListenLoop() {
  SetListenerThreadId(CurrentThreadId());
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

}  // namespace ql
