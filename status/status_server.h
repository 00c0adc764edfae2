#pragma once
// The status port: a small HTTP server for the tools operators already run
// (Prometheus, load balancer and service checks). "GET /metrics" gives the
// counters of the streams, jobs, images, monitoring clients and launches in
// the Prometheus text format; "GET /healthz" answers 200 "ok" while the job
// watcher loops and every permanent camera delivers frames, 503 with one
// reason per line otherwise; "GET /cameras/<n>/snapshot.jpg" a camera's
// newest frame as JPEG (Snapshots, snapshot.h); "/" is the operator's page,
// read-only, with its JSON under "/api/" (OperatorApi). Off unless
// "StatusPort" is set; HTTPS and a login guard it when configured.
#include <cstdint>
#include <functional>
#include <string>

#include "acquisition/camera/camera.h"
#include "camera_http/video_server.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "jobs/job_history.h"
#include "platform/clock.h"

namespace status {

// Connections of the status port waiting for a worker and being served,
// together; more are closed at once (StatusListener).
inline constexpr int kStatusConnectionsMax = 64;
inline constexpr int kStatusWorkers = 4;

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
  // What the operator's page shows beside the cameras; each may be left out.
  jobs::JobHistory* job_history = nullptr;
  const camera_http::VideoServerTable* video_servers = nullptr;
  std::string log_name = "";  // the program's name in its daily interface log
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
  // thread (StatusListener), for the clients `allowed_clients` names (as
  // "MonitorAllowedClients" does; empty: this machine only); the object
  // must outlive it. HTTPS and the login come from the settings
  // ("StatusTlsCertificate", "StatusTlsKey", "StatusUser",
  // "StatusPasswordHash"; AccessGate, TlsContext). A port that cannot be
  // bound is tried again every 10 s (told at once, then once a minute).
  // False (after one line) when the thread cannot be started, or the
  // certificate or key cannot be used; the gateway goes on without the port.
  bool Start(int port, const std::string& bind_address, const std::string& allowed_clients);

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
