// Manual-reset event: a flag that stays set until reset, with waiters woken
// when it is set. Used for the alarm thread's wake-up and for pausing
// evaluation.
#pragma once

#include <chrono>
#include <condition_variable>

#include "core/mutex.h"

namespace tarnix {

class ManualEvent {
 public:
  explicit ManualEvent(bool initially_set = false) : set_(initially_set) {}
  ManualEvent(const ManualEvent&) = delete;
  ManualEvent& operator=(const ManualEvent&) = delete;

  void set() {
    {
      MutexLock lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void reset() {
    MutexLock lock(mutex_);
    set_ = false;
  }
  bool is_set() const {
    MutexLock lock(mutex_);
    return set_;
  }
  void wait() {
    MutexLock lock(mutex_);
    while (!set_) lock.wait(cv_);
  }
  // True when the event was set within the time given.
  template <class Rep, class Period>
  bool wait_for(std::chrono::duration<Rep, Period> timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex_);
    while (!set_)
      if (lock.wait_until(cv_, until) == std::cv_status::timeout) return set_;
    return true;
  }

 private:
  mutable Mutex mutex_;
  std::condition_variable cv_;
  bool set_ GUARDED_BY(mutex_);
};

}  // namespace tarnix
