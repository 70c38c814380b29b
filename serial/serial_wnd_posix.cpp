// The listener thread that turns the port's events into notifications on the
// UI thread's queue.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>

#include "serial/comm_api.h"
#include "serial/notify_queue.h"
#include "serial/serial_wnd.h"

namespace ql {

// Numbers from 0xC000 up are the ones Windows hands out for registered messages.
const std::uint32_t registeredComMessage = 0xC000;

struct PosixThread {
  pthread_t id;
};

namespace {

void* ListenerEntry(void* object) {
  static_cast<CSerialWnd*>(object)->ListenLoop();
  return nullptr;
}

}  // namespace

Status CSerialWnd::StartListener() {
  // The listener polls the port itself: it needs no wait event of its own.
  stopEvent = CreateManualResetEvent();
  if (stopEvent == nullptr) return LastPlatformError();
  auto* thread = new (std::nothrow) PosixThread;
  if (thread == nullptr) return kErrorNotEnoughMemory;
  // The listener takes no signals: they belong to the program's own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int failed = pthread_create(&thread->id, nullptr, ListenerEntry, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failed != 0) {
    delete thread;
    // EAGAIN here is a lack of resources, not a lock held by another program.
    return failed == EAGAIN ? kErrorNotEnoughMemory : StatusFromErrno(failed);
  }
  listenerThread = thread;
  return kErrorSuccess;
}

void CSerialWnd::StopListener() {
  if (listenerThread != nullptr) {
    SetEvent(stopEvent);
    pthread_join(listenerThread->id, nullptr);
    delete listenerThread;
    listenerThread = nullptr;
  }
  CloseEvent(stopEvent);
  stopEvent = nullptr;
}

Status CSerialWnd::ListenLoop() {
  SetListenerThreadId(CurrentThreadId());
  for (;;) {
    const Status waited = WaitCommEvent(portHandle, &eventBits, stopEvent, kInfinite);
    if (waited == kErrorOperationAborted) return kErrorSuccess;
    if (waited != kErrorSuccess) {
      // Only the stop can end the listener; it does not retry a failing wait.
      Store(waited);
      WaitForEvent(stopEvent, kInfinite);
      return kErrorSuccess;
    }
    const std::uint32_t events = TakeEventBits();
    DWORD errors = 0;
    if (!ClearCommError(portHandle, &errors)) {
      Store(LastPlatformError());
      errors = 0;
    }
    // While one notification waits to be handled, the handler will read
    // everything that arrives meanwhile: a second one would find nothing.
    if (notifyWindow != nullptr) {
      notifyWindow->PostUnlessWaiting({notifyMessage, NotificationWord(errors, events), notifyTag});
    }
  }
}

}  // namespace ql
