#pragma once
// The status port: a small HTTP server for the tools operators already run
// (Prometheus, load balancer and service checks). "GET /metrics" gives the
// counters of the streams, jobs, images, monitoring clients and launches in
// the Prometheus text format; "GET /healthz" answers 200 "ok" while the job
// watcher loops and every permanent camera delivers frames, 503 with one
// reason per line otherwise. Off unless "StatusPort" is set.
#include <cstdint>
#include <functional>
#include <string>

#include "acquisition/camera/camera.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "platform/clock.h"

namespace status {

// What the status port reports on. Everything it refers to lives as long
// as the process.
struct StatusSources {
  const core::Settings& settings;
  acquisition::CameraTable& cameras;
  const core::Metrics& metrics;
  // Ages and limits are measured with its monotonic time.
  platform::Clock& clock;
  // Connected monitoring clients; may be empty.
  std::function<int()> monitor_clients;
};

class StatusServer {
 public:
  // Ages of cameras and of the job watcher count from this moment while
  // they have not yet shown a frame or a loop.
  explicit StatusServer(StatusSources sources);
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Starts the server on `port` of `bind_address` ("" : 127.0.0.1; an
  // address that is none is reported and 127.0.0.1 is used) on a detached
  // thread; the object must outlive it. False (after one line on the
  // console and in the interface log) when the port cannot be bound; the
  // gateway goes on without it.
  bool Start(int port, const std::string& bind_address);

  // The body of "/metrics" now.
  std::string MetricsText() const;
  // The "/healthz" verdict now: empty when healthy, else one reason per line.
  std::string HealthProblems() const;

 private:
  // Seconds since the camera's last frame; since the start while it had none.
  double FrameAgeSeconds(const core::CameraMetrics& m, std::int64_t now_us) const;

  StatusSources sources_;
  const std::int64_t started_us_;
};

}  // namespace status
