#pragma once
// The gateway's mutexes: std::mutex and its recursive kinds, annotated so
// that clang checks every access to the data they guard (GUARDED_BY beside
// the data, REQUIRES on functions that expect the caller to hold the lock).
// The condition variable waits on the std::mutex inside a Mutex, so a wait
// blocks exactly as std::condition_variable does.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// The same thread may take it again; it is free once every Lock has had its
// Unlock.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// A RecursiveMutex whose waits can end at a deadline.
class CAPABILITY("mutex") RecursiveTimedMutex {
 public:
  RecursiveTimedMutex() = default;
  RecursiveTimedMutex(const RecursiveTimedMutex&) = delete;
  RecursiveTimedMutex& operator=(const RecursiveTimedMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // True when the mutex was had before `deadline`.
  template <typename Clock, typename Duration>
  bool TryLockUntil(const std::chrono::time_point<Clock, Duration>& deadline) TRY_ACQUIRE(true) {
    return mutex_.try_lock_until(deadline);
  }
  // Tells the analysis that the caller holds the mutex, where it cannot see
  // so itself (a lock taken in one call and given back in another).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_timed_mutex mutex_;
};

// Holds `mutex` from construction to the end of the scope.
template <typename M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ScopedLock() RELEASE() { mutex_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& mutex_;
};

using MutexLock = ScopedLock<Mutex>;
using RecursiveMutexLock = ScopedLock<RecursiveMutex>;
using RecursiveTimedMutexLock = ScopedLock<RecursiveTimedMutex>;

// std::condition_variable for a Mutex. The caller holds the mutex around
// every wait and checks its condition again afterwards: waits may end
// without a notification.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed.
  bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool notified = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  // False when `timeout` passed.
  template <typename Rep, typename Period>
  bool WaitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool notified = cv_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace platform
