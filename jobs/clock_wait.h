#pragma once
// Waits the operating system carries out for the jobs (a worker's event, the
// alarm table's writer, inotify on the watch directory) towards a deadline
// the job clock sets. Whatever the wait is for still ends it at once; the
// time-out is the clock's: one operating-system wait lasts at most
// kClockRecheckUs, then the clock says whether the deadline has passed. With
// the system clock both agree and a wait ends on time; a clock a test steps
// is seen within that much.
#include <algorithm>
#include <cstdint>

#include "platform/clock.h"

namespace jobs {

inline constexpr std::int64_t kClockRecheckUs = platform::kMicrosPerSecond;

// Milliseconds of the next operating-system wait towards `deadline_us`
// (monotonic): 0 once the clock has reached it, otherwise the time left,
// rounded up, and at most kClockRecheckUs.
inline long long NextWaitMs(const platform::Clock& clock, std::int64_t deadline_us) {
  const std::int64_t left = std::min(deadline_us - clock.MonotonicMicros(), kClockRecheckUs);
  if (left <= 0) return 0;
  return (left + platform::kMicrosPerMilli - 1) / platform::kMicrosPerMilli;
}

}  // namespace jobs
