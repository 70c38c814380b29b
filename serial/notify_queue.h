// The UI thread's message queue on systems without window messages: the
// listener posts its notifications, other threads post requests such as
// quit, and the UI thread takes them one by one in the order they came.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace ql {

struct Notification {
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::uintptr_t lParam = 0;
};

class NotifyQueue {
 public:
  void Post(const Notification& notification) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(notification);
    }
    ready_.notify_one();
  }

  // Posts unless the same notification already waits to be taken.
  void PostUnlessWaiting(const Notification& notification) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Notification& waiting : queue_) {
        if (waiting.message == notification.message && waiting.wParam == notification.wParam &&
            waiting.lParam == notification.lParam) {
          return;
        }
      }
      queue_.push_back(notification);
    }
    ready_.notify_one();
  }

  // Takes the oldest notification, waiting at most `timeout`; false when none came.
  template <class Rep, class Period>
  bool Take(Notification& out, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
    out = queue_.front();
    queue_.pop_front();
    return true;
  }

  std::size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Notification> queue_;
};

}  // namespace ql
