#include "app/terminal/quit_signals.h"

#include <pthread.h>

#include <utility>

namespace ql {
namespace {

constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

std::atomic<int> QuitSignals::taken_{0};

QuitSignals::QuitSignals() {
  sigemptyset(&set_);
  for (const int signal : kQuitSignals) sigaddset(&set_, signal);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

QuitSignals::~QuitSignals() {
  Stop();
  pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
}

void QuitSignals::CallOnQuit(std::function<void()> onQuit) {
  Stop();
  stopping_ = false;
  waiter_ = std::thread([this, onQuit = std::move(onQuit)] {
    int signal = 0;
    while (sigwait(&set_, &signal) == 0 && !stopping_) {
      taken_ = signal;
      onQuit();
    }
  });
}

void QuitSignals::Stop() {
  if (!waiter_.joinable()) return;
  stopping_ = true;
  pthread_kill(waiter_.native_handle(), SIGINT);
  waiter_.join();
}

bool QuitSignals::Wait(std::chrono::milliseconds timeout) {
  int signal = 0;
#ifdef __APPLE__
  // macOS has no sigtimedwait: the pending signals are looked at 20 times a second.
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    sigset_t pending{};
    sigpending(&pending);
    for (const int quit : kQuitSignals) {
      if (sigismember(&pending, quit) == 1 && sigwait(&set_, &signal) == 0) {
        taken_ = signal;
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
#else
  timespec limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_nsec = static_cast<long>(timeout.count() % 1000 * 1000000);
  signal = sigtimedwait(&set_, nullptr, &limit);
  if (signal <= 0) return false;
  taken_ = signal;
  return true;
#endif
}

void QuitSignals::PassOn() {
  const int signal = taken_.load();
  if (signal == 0) return;
  // Failures here leave the exit status the program's own.
  static_cast<void>(::signal(signal, SIG_DFL));
  sigset_t only{};
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  static_cast<void>(raise(signal));
}

}  // namespace ql
