#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace platform {
namespace {

std::int64_t Read(clockid_t which, std::int64_t nanos_per_unit) {
  timespec ts{};
  clock_gettime(which, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * (1000000000 / nanos_per_unit) +
         ts.tv_nsec / nanos_per_unit;
}

class SystemClockImpl final : public Clock {
 public:
  std::int64_t MonotonicMicros() const override { return Read(CLOCK_MONOTONIC, 1000); }
  std::int64_t WallMillis() const override { return Read(CLOCK_REALTIME, 1000000); }
  void SleepUntil(std::int64_t deadline_us) override {
    if (deadline_us <= MonotonicMicros()) return;
    timespec at{static_cast<time_t>(deadline_us / kMicrosPerSecond),
                static_cast<long>(deadline_us % kMicrosPerSecond) * 1000};
    // An absolute deadline: a signal that interrupts the sleep costs no time.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  // Never destroyed: threads that run until the process ends (a camera's)
  // read it while exit runs the destructors of statics.
  static SystemClockImpl* clock = new SystemClockImpl;
  return *clock;
}

}  // namespace platform
