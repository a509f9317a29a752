// Manual-reset event: a flag that stays set until reset, with waiters woken
// when it is set. Used for the alarm thread's wake-up and for pausing
// evaluation.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnix {

class ManualEvent {
 public:
  explicit ManualEvent(bool initially_set = false) : set_(initially_set) {}
  ManualEvent(const ManualEvent&) = delete;
  ManualEvent& operator=(const ManualEvent&) = delete;

  void set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }
  bool is_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
  }
  // True when the event was set within the time given.
  template <class Rep, class Period>
  bool wait_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
};

}  // namespace tarnix
