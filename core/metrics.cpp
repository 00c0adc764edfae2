#include "core/metrics.h"

#include "core/camera_base.h"
#include "platform/clock.h"

namespace metrics {
namespace {
// Slot 0 is never configured; it takes the numbers outside the table too.
CameraMetrics g_cameras[kCameraSlots];
std::atomic<std::int64_t> g_counts[static_cast<int>(Count::kCount)];
std::atomic<std::int64_t> g_watcher_heartbeat_us{0};
}  // namespace

CameraMetrics& Camera(int number) {
  return g_cameras[number > 0 && number < kCameraSlots ? number : 0];
}

void Add(Count which, std::int64_t n) {
  g_counts[static_cast<int>(which)].fetch_add(n, std::memory_order_relaxed);
}

std::int64_t Get(Count which) {
  return g_counts[static_cast<int>(which)].load(std::memory_order_relaxed);
}

void WatcherHeartbeat() { g_watcher_heartbeat_us.store(platform::MonotonicMicros()); }

std::int64_t WatcherHeartbeatUs() { return g_watcher_heartbeat_us.load(); }

}  // namespace metrics
