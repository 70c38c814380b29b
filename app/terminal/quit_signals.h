// Ctrl+C, SIGTERM and SIGHUP end a terminal program of this project. They are
// blocked in every thread and taken by one thread that waits for them and
// calls back, say to wake the line, so that whatever waits ends at once and
// the program closes the way it always does: settings saved, device released.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace ql {

class QuitSignals {
 public:
  // Blocks the signals; made before any thread starts, so that all inherit it.
  QuitSignals();
  // Stops the waiting thread and unblocks the signals: one still pending then
  // has its usual effect.
  ~QuitSignals();
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

  // From now on each quit signal calls `onQuit` on the waiting thread.
  void CallOnQuit(std::function<void()> onQuit);
  // Ends the waiting thread; later signals stay pending and die with the process.
  void Stop();
  // For a thread with nothing else to wait on: waits up to `timeout` for a
  // quit signal; true when one came.
  bool Wait(std::chrono::milliseconds timeout);

  // The signal that asked the program to quit; 0 while none has.
  static int Taken() { return taken_.load(); }
  // Ends the process by the signal taken, if any, as a shell expects of a
  // program it interrupted.
  static void PassOn();

 private:
  sigset_t set_{};
  std::atomic<bool> stopping_{false};
  std::thread waiter_;
  static std::atomic<int> taken_;
};

}  // namespace ql
