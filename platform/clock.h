#pragma once
// The gateway's two clocks behind one seam, so that tests can step time
// instead of waiting for it.
//
// Monotonic time decides: whether something is due, has expired, how long
// ago it happened. It never jumps, and its values mean something only as
// differences and deadlines. Wall time only names moments for people and
// for the alarm server (file names, log times, status values); NTP or an
// operator may step it at any moment, so no decision reads it.
//
// Objects that decide about time take a `Clock&` from whoever builds them;
// the gateway hands every one the system clock, tests a `FakeClock` they
// step (tests/support/fake_clock.h).
#include <cstdint>
#include <ctime>

namespace platform {

inline constexpr std::int64_t kMicrosPerSecond = 1000000;
inline constexpr std::int64_t kMicrosPerMilli = 1000;

class Clock {
 public:
  virtual ~Clock() = default;

  // Microseconds since an arbitrary origin; never goes back.
  virtual std::int64_t MonotonicMicros() const = 0;
  // Milliseconds since 1970-01-01 UTC.
  virtual std::int64_t WallMillis() const = 0;
  // Returns once MonotonicMicros() has reached `deadline_us` (at once when it
  // has already).
  virtual void SleepUntil(std::int64_t deadline_us) = 0;

  void SleepMicros(std::int64_t micros) { SleepUntil(MonotonicMicros() + micros); }
  std::time_t WallSeconds() const { return static_cast<std::time_t>(WallMillis() / 1000); }
};

// CLOCK_MONOTONIC and CLOCK_REALTIME. It holds no state: one serves the
// whole process.
Clock& SystemClock();

}  // namespace platform
