// The listener thread that turns the port's events into window messages.
#include "serial/win/serial_wnd.h"

namespace ql {

const UINT registeredComMessage = RegisterWindowMessageA("CSerialWnd_DefaultComMsg");

namespace {

DWORD WINAPI ListenerEntry(LPVOID object) {
  return static_cast<DWORD>(static_cast<CSerialWnd*>(object)->ListenLoop());
}

void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

Status LastSystemError() { return static_cast<Status>(GetLastError()); }

// The driver writes into `overlapped` until the wait ends, so end it before
// the OVERLAPPED goes away. The listener issued the wait, so CancelIo (which
// ends the calling thread's own transfers, and exists on XP) serves.
void EndCommWait(HANDLE port, OVERLAPPED& overlapped) {
  DWORD unused = 0;
  CancelIo(port);
  GetOverlappedResult(port, &overlapped, &unused, TRUE);
}

// The codes with which Windows' serial drivers fail every wait and transfer
// once the adapter is unplugged: usbser.sys gives ERROR_BAD_COMMAND or
// ERROR_DEVICE_REMOVED, FTDI's and Prolific's drivers ERROR_ACCESS_DENIED or
// ERROR_GEN_FAILURE; a port whose device node went away gives
// ERROR_FILE_NOT_FOUND, ERROR_DEV_NOT_EXIST or ERROR_DEVICE_NOT_CONNECTED;
// and ERROR_NOT_READY says the device is no longer ready.
// ERROR_OPERATION_ABORTED is not among them: a cancel or a change of the
// event mask ends a wait with it too.
bool MeansPortGone(Status code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// Failures of any kind this many times in a row (about 4 s of retrying)
// count as a lost port too: reopening is all that is left to try.
constexpr unsigned kFailuresMeaningGone = 10;

// The pause before the next comm wait after `failures` failed ones in a row:
// 10 ms, doubling up to a second.
DWORD RetryDelayMs(unsigned failures) { return failures >= 8 ? 1000 : 10u << (failures - 1); }

}  // namespace

CSerialWnd::CSerialWnd() = default;

CSerialWnd::~CSerialWnd() {
  if (listenerThread != nullptr) CSerialWnd::ClosePort();
}

Status CSerialWnd::OpenForWindow(const char* name, HWND window, UINT message, std::uintptr_t tag,
                                 DWORD inQueue, DWORD outQueue) {
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
  SetListenerThreadId(0);
  notifyWindow = nullptr;
  notifyMessage = 0;
  notifyTag = 0;
  return CSerialPort::ClosePort();
}

Status CSerialWnd::StartListener() {
  const auto created = [](HANDLE handle) {
    return handle != nullptr ? kSuccess : LastSystemError();
  };
  Status code = created(stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (code == kSuccess) code = created(waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (code == kSuccess) {
    code = created(listenerThread =
                       CreateThread(nullptr, 0, ListenerEntry, this, CREATE_SUSPENDED, nullptr));
  }
  if (code != kSuccess) return code;
  // A notification left from an earlier open may never be taken.
  notificationPending.store(false);
  ResumeThread(listenerThread);
  return kSuccess;
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

bool CSerialWnd::PostLoss(Status failure) const {
  return PostMessageA(lossWindow, lossMessage, static_cast<WPARAM>(static_cast<DWORD>(failure)),
                      static_cast<LPARAM>(notifyTag)) != FALSE;
}

Status CSerialWnd::ListenLoop() {
  SetListenerThreadId(GetCurrentThreadId());
  OVERLAPPED overlapped{};
  overlapped.hEvent = waitEvent;
  const HANDLE stopOrEvent[2] = {stopEvent, waitEvent};
  const bool tellsLoss = lossWindow != nullptr && lossMessage != 0;
  unsigned failures = 0;  // failed comm waits in a row
  bool lossPosted = false;
  for (;;) {
    ResetEvent(waitEvent);
    Status failure = AwaitCommEvent(&overlapped, INFINITE);
    if (failure < 0) return LastError();
    if (failure == kSuccess) {
      if (WaitForMultipleObjects(2, stopOrEvent, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        EndCommWait(portHandle, overlapped);
        return kSuccess;
      }
      DWORD unused = 0;
      const bool completed = GetOverlappedResult(portHandle, &overlapped, &unused, FALSE) != FALSE;
      const DWORD events = TakeEventBits();
      if (completed) {
        failures = 0;
        DWORD errors = 0;
        if (!ClearCommError(portHandle, &errors, nullptr)) {
          Store(LastSystemError());
          errors = 0;
        }
        // A wait ended by a change of the event mask has no bits: nothing to
        // tell. While a notification waits in the window's queue, its handler
        // has yet to drain the port and so takes these bytes too: a long
        // transfer must not fill the queue (10,000 messages) with notices.
        if (events != 0 && !notificationPending.exchange(true) &&
            !PostMessageA(notifyWindow, notifyMessage, NotificationWord(errors, events),
                          static_cast<LPARAM>(notifyTag))) {
          // Nothing is queued, so the next arrival must post again.
          notificationPending.store(false);
        }
        continue;
      }
      failure = Store(LastSystemError());
    }
    // A failed wait wrote no bits, so there is nothing to tell but a lost
    // port; issuing the next one at once would spin. Some drivers end the
    // wait as cancelled when the device goes; asking for the line's state
    // then tells.
    ++failures;
    DWORD errors = 0;
    if (!MeansPortGone(failure) && !ClearCommError(portHandle, &errors, nullptr)) {
      const Status probed = LastSystemError();
      if (MeansPortGone(probed)) failure = Store(probed);
    }
    if (tellsLoss && !lossPosted && (MeansPortGone(failure) || failures >= kFailuresMeaningGone)) {
      // A post that failed (a full queue) is tried again after the next failed wait.
      lossPosted = PostLoss(failure);
    }
    if (WaitForSingleObject(stopEvent, RetryDelayMs(failures)) != WAIT_TIMEOUT) {
      return kSuccess;
    }
  }
}

}  // namespace ql
