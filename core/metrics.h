#pragma once
// Counters the subsystems bump as they work and the status port reads: plain
// atomics, so counting costs nothing worth measuring and the streams, the
// jobs and the launcher know nothing of who reads them.
#include <atomic>
#include <cstdint>

namespace metrics {

// One camera's stream, by camera number.
struct CameraMetrics {
  std::atomic<std::int64_t> frames{0};         // whole frames indexed
  std::atomic<std::int64_t> bytes{0};          // stream bytes received
  std::atomic<std::int64_t> reconnects{0};     // transfers made anew after a failed one
  std::atomic<std::int64_t> last_frame_us{0};  // monotonic moment of the last frame; 0: none yet
  std::atomic<int> streaming{0};               // 1 while a transfer delivers frames
};

// The record of camera `number`; numbers outside the table share one spare
// record that is never shown.
CameraMetrics& Camera(int number);

enum class Count {
  kJobsDone,
  kJobsError,
  kImagesSaved,
  kImagesFailed,
  kLaunches,
  kLaunchFailures,
  kCount
};

void Add(Count which, std::int64_t n = 1);
std::int64_t Get(Count which);

// The job watcher says it is alive once per loop; 0 until its first loop.
void WatcherHeartbeat();
std::int64_t WatcherHeartbeatUs();

}  // namespace metrics
