#pragma once
// A clock the test steps. Monotonic and wall time move together with
// Advance; StepWall moves the wall clock alone, as NTP or an operator does.
// A thread sleeping on it wakes when the test has advanced it far enough.
#include <cstdint>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "support/sandbox.h"

namespace testing_support {

class FakeClock final : public platform::Clock {
 public:
  // Starts at a monotonic moment far from 0 (code that takes 0 for "never"
  // must not be fooled) and at a fixed wall moment of 2026.
  explicit FakeClock(std::int64_t monotonic_us = 1000 * platform::kMicrosPerSecond,
                     std::int64_t wall_ms = 1780000000000)
      : monotonic_us_(monotonic_us), wall_ms_(wall_ms) {}

  std::int64_t MonotonicMicros() const override {
    platform::MutexLock guard(mutex_);
    return monotonic_us_;
  }
  std::int64_t WallMillis() const override {
    platform::MutexLock guard(mutex_);
    return wall_ms_;
  }
  void SleepUntil(std::int64_t deadline_us) override {
    platform::MutexLock guard(mutex_);
    ++sleepers_;
    while (monotonic_us_ < deadline_us) advanced_.Wait(mutex_);
    --sleepers_;
  }

  // True once `n` threads sleep on the clock: a test steps the clock when
  // the thread it steps is waiting for it, not while it still works.
  bool AwaitSleepers(int n) const {
    return WaitFor([&] {
      platform::MutexLock guard(mutex_);
      return sleepers_ >= n;
    });
  }

  void Advance(std::int64_t micros) {
    {
      platform::MutexLock guard(mutex_);
      monotonic_us_ += micros;
      wall_ms_ += micros / platform::kMicrosPerMilli;
    }
    advanced_.SignalAll();
  }
  void AdvanceSeconds(double seconds) {
    Advance(static_cast<std::int64_t>(seconds * platform::kMicrosPerSecond));
  }
  void StepWall(std::int64_t millis) {
    platform::MutexLock guard(mutex_);
    wall_ms_ += millis;
  }

 private:
  mutable platform::Mutex mutex_;
  platform::CondVar advanced_;
  std::int64_t monotonic_us_ GUARDED_BY(mutex_);
  std::int64_t wall_ms_ GUARDED_BY(mutex_);
  int sleepers_ GUARDED_BY(mutex_) = 0;
};

}  // namespace testing_support
