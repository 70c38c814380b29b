// The listener thread that turns the port's events into window messages.
#include "serial/win/serial_wnd.h"

#include <string>

#include "link/trace.h"

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
// ends the calling thread's own transfers, and exists on XP) serves; a null
// `port` is no longer the listener's to touch, and only its close ends the
// wait. A cancel that never completes keeps the thread here for good, and with
// it the OVERLAPPED on its stack: the port's closer has given up on it by then.
void EndCommWait(HANDLE port, OVERLAPPED& overlapped) {
  if (port != nullptr) CancelIo(port);
  if (!HasOverlappedIoCompleted(&overlapped)) WaitForSingleObject(overlapped.hEvent, INFINITE);
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

// Comm waits that bring no event bits (failed, or ended empty) this many
// times in a row (about 3 s of retrying) count as a lost port too: reopening
// is all that is left to try.
constexpr unsigned kQuietWaitsMeaningGone = 10;

// The pause before the next comm wait after `quietWaits` waits in a row
// brought no bits: 10 ms, doubling up to a second.
DWORD RetryDelayMs(unsigned quietWaits) { return quietWaits >= 8 ? 1000 : 10u << (quietWaits - 1); }

// How long a stop waits for the listener before it closes the port anyway.
constexpr DWORD kListenerEndLimitMs = 3000;

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
  DWORD threadId = 0;
  Status code = created(stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (code == kSuccess) code = created(waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (code == kSuccess) {
    code = created(listenerThread =
                       CreateThread(nullptr, 0, ListenerEntry, this, CREATE_SUSPENDED, &threadId));
  }
  if (code != kSuccess) return code;
  // A notification left from an earlier open may never be taken.
  notificationPending.store(false);
  SetListenerThreadId(threadId);
  std::uint32_t opened = generation.load() + 1;
  if (opened == 0) opened = 1;  // 0 means no listener
  generation.store(opened);
  listening.store(opened);
  ResumeThread(listenerThread);
  return kSuccess;
}

void CSerialWnd::StopListener() {
  if (listenerThread != nullptr) {
    SetEvent(stopEvent);
    const bool ended = WaitForSingleObject(listenerThread, kListenerEndLimitMs) == WAIT_OBJECT_0;
    listening.store(0);
    if (!ended) {
      // Its comm wait may still complete into the wait event, and the thread
      // may yet wake: its handles stay open (leaked), and it ends by itself.
      Trace(("Serial port: the listener did not end within " +
             std::to_string(kListenerEndLimitMs / 1000) + " s; closing the port anyway.")
                .c_str());
      listenerThread = nullptr;
      stopEvent = nullptr;
      waitEvent = nullptr;
      return;
    }
    CloseAndClear(listenerThread);
  }
  CloseAndClear(stopEvent);
  CloseAndClear(waitEvent);
}

Status CSerialWnd::ListenLoop() {
  // Taken before the check below: a listener given up on before it first ran
  // finds the thread id of a later open there, whose values these may be.
  const std::uint32_t mine = listening.load();
  const HANDLE stop = stopEvent;
  const HANDLE wakeup = waitEvent;
  const HWND eventWindow = notifyWindow;
  const UINT eventMessage = notifyMessage;
  const auto eventTag = static_cast<LPARAM>(notifyTag);
  const HWND lossTo = lossWindow;
  const UINT lossAs = lossMessage;
  if (mine == 0 || !OnListenerThread()) return kSuccess;
  // Once given up on, the port may be closed or another open's: touch nothing.
  const auto givenUp = [this, mine] { return listening.load() != mine; };

  OVERLAPPED overlapped{};
  overlapped.hEvent = wakeup;
  const HANDLE stopOrEvent[2] = {stop, wakeup};
  const bool tellsLoss = lossTo != nullptr && lossAs != 0;
  unsigned quietWaits = 0;  // comm waits in a row that brought no event bits
  bool lossPosted = false;
  for (;;) {
    ResetEvent(wakeup);
    Status failure = AwaitCommEvent(&overlapped, INFINITE);
    if (failure < 0) return LastError();
    if (failure != kSuccess && givenUp()) return kSuccess;
    DWORD events = 0;
    if (failure == kSuccess) {
      if (WaitForMultipleObjects(2, stopOrEvent, FALSE, INFINITE) != WAIT_OBJECT_0 + 1 ||
          givenUp()) {
        EndCommWait(givenUp() ? nullptr : portHandle, overlapped);
        return kSuccess;
      }
      DWORD unused = 0;
      if (!GetOverlappedResult(portHandle, &overlapped, &unused, FALSE)) {
        failure = Store(LastSystemError());
      }
      events = TakeEventBits();
    }
    // Some drivers end the wait as cancelled, or empty, when the device goes;
    // asking for the line's state then tells.
    DWORD errors = 0;
    Status probed = kSuccess;
    if (!MeansPortGone(failure) && !ClearCommError(portHandle, &errors, nullptr)) {
      probed = Store(LastSystemError());
      errors = 0;
    }
    if (givenUp()) return kSuccess;
    if (failure == kSuccess && events != 0) {
      quietWaits = 0;
      // While a notification waits in the window's queue, its handler has yet
      // to drain the port and so takes these bytes too: a long transfer must
      // not fill the queue (10,000 messages) with notices.
      if (!notificationPending.exchange(true) &&
          !PostMessageA(eventWindow, eventMessage, NotificationWord(errors, events), eventTag)) {
        // Nothing is queued, so the next arrival must post again.
        notificationPending.store(false);
      }
      continue;
    }
    // A failed wait, or one that ended with no bits, has nothing to tell but a
    // lost port. One empty wait alone is normal (a change of the event mask
    // ends the pending one so); more in a row are paced like failures, since
    // issuing the next wait at once would spin.
    ++quietWaits;
    if (MeansPortGone(probed)) failure = probed;
    if (failure == kSuccess && quietWaits == 1) continue;
    if (tellsLoss && !lossPosted &&
        (MeansPortGone(failure) || quietWaits >= kQuietWaitsMeaningGone)) {
      // A post that failed (a full queue) is tried again after the next quiet wait.
      const Status cause = failure != kSuccess ? failure : kErrorPortSilent;
      lossPosted = PostMessageA(lossTo, lossAs, static_cast<WPARAM>(static_cast<DWORD>(cause)),
                                static_cast<LPARAM>(mine)) != FALSE;
    }
    if (WaitForSingleObject(stop, RetryDelayMs(quietWaits)) != WAIT_TIMEOUT) return kSuccess;
  }
}

}  // namespace ql
