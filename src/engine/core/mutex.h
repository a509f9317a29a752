// The engine's locks: std::mutex and std::shared_mutex with the thread-safety
// attributes libstdc++ leaves out, and the scoped holders that go with them.
// Waiting on a condition variable goes through the holder, so the lock is
// held, as far as the analysis sees, before and after the wait; predicates
// are written as loops in the caller, where the guarded fields are checked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "core/thread_annotations.h"

namespace tarnix {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

  // Tells the analysis the lock is held where it cannot see it taken (a
  // callback run by the lock's owner while it holds it). Checks nothing.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex m_;
};

// Holds a Mutex from construction to destruction; may let it go and take it
// again in between, and waits on condition variables with it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : lock_(m.m_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }

  // The lock is let go while waiting and held again on return.
  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  template <class Clock, class Duration>
  std::cv_status wait_until(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& t) {
    return cv.wait_until(lock_, t);
  }
  template <class Rep, class Period>
  std::cv_status wait_for(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& d) {
    return cv.wait_for(lock_, d);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

// Holds a SharedMutex exclusively for its lifetime.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~WriterLock() RELEASE() { m_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& m_;
};

// Holds a SharedMutex shared for its lifetime.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderLock() RELEASE() { m_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& m_;
};

}  // namespace tarnix
