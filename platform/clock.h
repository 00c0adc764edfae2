#pragma once
// The two clocks of the gateway: the monotonic one orders and measures
// (frames, alarm moments, waits) and never jumps; the wall clock only names
// moments for people (logs, file times).
#include <time.h>

#include <cstdint>

namespace platform {

inline std::int64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

inline std::int64_t WallMillis() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace platform
