#pragma once
// Counters the subsystems bump as they work and the status port reads: plain
// atomics, so counting costs nothing worth measuring and the jobs and the
// alarm launches know nothing of who reads them. One `Metrics` per gateway,
// built by app/ and handed to the job runner, the alarm server and the
// status port; every thread may bump or read it without a lock. A camera's
// own stream counters live in the camera (`CameraMetrics`).
#include <atomic>
#include <cstdint>

namespace core {

// One camera's stream. Bumped by its streaming thread, read by the status
// port.
struct CameraMetrics {
  std::atomic<std::int64_t> frames{0};         // whole frames indexed
  std::atomic<std::int64_t> bytes{0};          // stream bytes received
  std::atomic<std::int64_t> reconnects{0};     // transfers made anew after a failed one
  std::atomic<std::int64_t> last_frame_us{0};  // monotonic moment of the last frame; 0: none yet
  std::atomic<int> streaming{0};               // 1 while a transfer delivers frames
  std::atomic<std::int64_t> rtp_packets_lost{0};  // RTP sequence numbers the camera skipped
};

enum class Counter {
  kJobsDone,
  kJobsError,
  kImagesSaved,
  kImagesFailed,
  kClipsSaved,
  kClipsFailed,
  kLaunches,
  kLaunchFailures,
  kCount
};

class Metrics {
 public:
  void Add(Counter which, std::int64_t n = 1) {
    counts_[static_cast<int>(which)].fetch_add(n, std::memory_order_relaxed);
  }
  std::int64_t Get(Counter which) const {
    return counts_[static_cast<int>(which)].load(std::memory_order_relaxed);
  }

  // The job watcher says it is alive once per loop, with its monotonic
  // moment; 0 until its first loop.
  void WatcherHeartbeat(std::int64_t now_us) { watcher_heartbeat_us_.store(now_us); }
  std::int64_t WatcherHeartbeatUs() const { return watcher_heartbeat_us_.load(); }

 private:
  std::atomic<std::int64_t> counts_[static_cast<int>(Counter::kCount)] = {};
  std::atomic<std::int64_t> watcher_heartbeat_us_{0};
};

}  // namespace core
