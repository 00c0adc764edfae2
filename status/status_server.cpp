#include "status/status_server.h"

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <httplib.h>

#include "acquisition/camera/camera.h"
#include "core/console.h"
#include "core/metrics.h"
#include "core/report.h"
#include "platform/clock.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "status/access_gate.h"
#include "status/operator_api.h"
#include "status/snapshot.h"
#include "status/status_listener.h"
#include "status/tls_stream.h"

namespace status {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kBadBindAddress =
    "ERROR: StatusBindAddress '%s' is not an IP address: the status port listens on 127.0.0.1 only";
constexpr const char* kNoThread =
    "ERROR: could not start the status port thread: the gateway runs without it";
constexpr const char* kAllowedClientsKey = "StatusAllowedClients";
constexpr const char* kNoAllowedEntry =
    "ERROR: StatusAllowedClients names no usable address: the status port admits nobody";
constexpr const char* kHalfTls =
    "ERROR: StatusTlsCertificate and StatusTlsKey are set one without the other: the status port "
    "stays off";
constexpr const char* kNoTls = "ERROR: %s: the status port stays off";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr std::size_t kPayloadMax = 4096;
// A watcher loop waits "WatchTimeout" seconds at most; a scan, or the pause
// when every job slot is taken (10 s), comes on top.
constexpr std::int64_t kWatcherSlackSeconds = 30;
// Cameras without an active watchdog have no time-out of their own.
constexpr std::int64_t kDefaultFrameLimitSeconds = 60;
// The frame rate of a camera that went silent is not its last rate.
constexpr std::int64_t kFrameRateWindowUs = 10 * 1000000LL;

// A label value in the exposition format: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += platform::StringPrintf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The TLS context "StatusTlsCertificate" and "StatusTlsKey" ask for: null
// for plain HTTP; the failure is the whole line to report.
platform::Result<std::shared_ptr<const TlsContext>> LoadTls(const core::Settings& settings) {
  const std::string& certificate = settings.status_tls_certificate;
  const std::string& key = settings.status_tls_key;
  if (certificate.empty() && key.empty()) return std::shared_ptr<const TlsContext>();
  if (certificate.empty() || key.empty()) return platform::Status::Failure(kHalfTls);
  platform::Result<std::shared_ptr<TlsContext>> loaded = TlsContext::Load(certificate, key);
  if (!loaded)
    return platform::Status::Failure(
        platform::StringPrintf(kNoTls, loaded.status().reason().c_str()));
  return std::shared_ptr<const TlsContext>(*loaded);
}

}  // namespace

StatusServer::StatusServer(StatusSources sources)
    : sources_(std::move(sources)), started_us_(sources_.clock.MonotonicMicros()) {}

double StatusServer::FrameAgeSeconds(const core::CameraMetrics& m, std::int64_t now_us) const {
  std::int64_t last = m.last_frame_us.load();
  if (last == 0) last = started_us_;
  return static_cast<double>(now_us - last) / 1e6;
}

std::string StatusServer::MetricsText() const {
  const std::int64_t now_us = sources_.clock.MonotonicMicros();
  acquisition::CameraTable& table = sources_.cameras;
  const core::Metrics& counts = sources_.metrics;
  std::string out;
  std::vector<int> cameras;
  std::vector<std::string> labels(core::kCameraSlots);
  for (int n = 1; n < core::kCameraSlots; ++n) {
    if (!table[n].IsActive()) continue;
    cameras.push_back(n);
    labels[static_cast<std::size_t>(n)] = platform::StringPrintf(
        "{camera=\"%d\",ref=\"%s\"}", n, LabelValue(table[n].reference).c_str());
  }
  auto per_camera = [&](const char* name, const char* type, const char* help, auto value) {
    Family(out, name, type, help);
    for (int n : cameras)
      out += std::string(name) + labels[static_cast<std::size_t>(n)] + " " + value(n) + "\n";
  };
  auto integer = [](std::int64_t v) { return std::to_string(v); };
  per_camera("ocelam_camera_frames_total", "counter", "JPEG frames received and indexed.",
             [&](int n) { return integer(table[n].counters().frames.load()); });
  per_camera("ocelam_camera_received_bytes_total", "counter", "Stream bytes received.",
             [&](int n) { return integer(table[n].counters().bytes.load()); });
  per_camera(
      "ocelam_camera_frame_rate", "gauge", "Frames per second over the last 10 seconds of frames.",
      [&](int n) {
        float rate = 0;
        std::int64_t last = table[n].counters().last_frame_us.load();
        if (last == 0 || now_us - last > kFrameRateWindowUs || !table[n].RecentFrameRate(&rate))
          rate = 0;
        return platform::StringPrintf("%.3f", static_cast<double>(rate));
      });
  per_camera("ocelam_camera_last_frame_age_seconds", "gauge",
             "Seconds since the last frame (since the start while there was none).", [&](int n) {
               return platform::StringPrintf("%.3f", FrameAgeSeconds(table[n].counters(), now_us));
             });
  per_camera("ocelam_camera_reconnects_total", "counter",
             "Stream connections made anew after a failed one.",
             [&](int n) { return integer(table[n].counters().reconnects.load()); });
  per_camera("ocelam_camera_rtp_packets_lost_total", "counter",
             "RTP packets of an RTSP camera's video that never came (sequence gaps).",
             [&](int n) { return integer(table[n].counters().rtp_packets_lost.load()); });
  per_camera("ocelam_camera_streaming", "gauge", "1 while the stream delivers frames, 0 otherwise.",
             [&](int n) { return integer(table[n].counters().streaming.load()); });

  Family(out, "ocelam_jobs_total", "counter", "Alarm jobs finished, by outcome (done or error).");
  out +=
      "ocelam_jobs_total{outcome=\"done\"} " + integer(counts.Get(core::Counter::kJobsDone)) + "\n";
  out += "ocelam_jobs_total{outcome=\"error\"} " + integer(counts.Get(core::Counter::kJobsError)) +
         "\n";
  auto single = [&](const char* name, const char* type, const char* help, std::int64_t v) {
    Family(out, name, type, help);
    out += std::string(name) + " " + integer(v) + "\n";
  };
  single("ocelam_images_saved_total", "counter", "Alarm images written.",
         counts.Get(core::Counter::kImagesSaved));
  single("ocelam_images_failed_total", "counter", "Alarm images that could not be read or written.",
         counts.Get(core::Counter::kImagesFailed));
  single("ocelam_alarm_clips_saved_total", "counter", "Alarm clips written.",
         counts.Get(core::Counter::kClipsSaved));
  single("ocelam_alarm_clips_failed_total", "counter",
         "Alarm clips that could not be written (removed).",
         counts.Get(core::Counter::kClipsFailed));
  single("ocelam_monitor_clients", "gauge", "Monitoring clients connected.",
         sources_.monitor_clients ? sources_.monitor_clients() : 0);
  single("ocelam_launches_total", "counter", "Alarm server commands started.",
         counts.Get(core::Counter::kLaunches));
  single("ocelam_launch_failures_total", "counter",
         "Alarm server commands that could not be started.",
         counts.Get(core::Counter::kLaunchFailures));
  return out;
}

std::string StatusServer::HealthProblems() const {
  const std::int64_t now_us = sources_.clock.MonotonicMicros();
  acquisition::CameraTable& table = sources_.cameras;
  std::string problems;
  const int configured_timeout = sources_.settings.watch_timeout;
  std::int64_t watch_timeout = configured_timeout < 1 ? 1 : configured_timeout;
  std::int64_t watcher_limit = watch_timeout + kWatcherSlackSeconds;
  std::int64_t beat = sources_.metrics.WatcherHeartbeatUs();
  if (beat == 0) beat = started_us_;
  std::int64_t silent = (now_us - beat) / 1000000;
  if (silent > watcher_limit)
    problems += platform::StringPrintf("job watcher: no loop for %lld s (limit %lld s)\n",
                                       static_cast<long long>(silent),
                                       static_cast<long long>(watcher_limit));
  for (int n = 1; n < core::kCameraSlots; ++n) {
    acquisition::Camera& camera = table[n];
    if (!camera.IsActive() || camera.configured() != 1 || !camera.IsPermanent())
      continue;
    int minutes = camera.watchdog_timeout_minutes();
    std::int64_t limit = camera.watchdog_active.load() == 1 && minutes > 0
                             ? std::int64_t{minutes} * 60
                             : kDefaultFrameLimitSeconds;
    double age = FrameAgeSeconds(table[n].counters(), now_us);
    if (age > static_cast<double>(limit))
      problems += platform::StringPrintf("camera %d (%s): no frame for %.0f s (limit %lld s)\n", n,
                                         camera.reference.c_str(), age,
                                         static_cast<long long>(limit));
  }
  return problems;
}

bool StatusServer::Start(int port, const std::string& bind_address,
                         const std::string& allowed_clients) {
  std::string host = bind_address.empty() ? kLoopback : bind_address;
  unsigned char probe[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), probe) != 1 &&
      inet_pton(AF_INET6, host.c_str(), probe) != 1) {
    core::ConsoleAndReport(platform::StringPrintf(kBadBindAddress, bind_address.c_str()),
                           core::ConsoleLevel::kError, core::ReportLevel::kError);
    host = kLoopback;
  }
  std::vector<std::string> bad;
  monitor::AllowList allowed = monitor::ReadAllowList(allowed_clients, &bad);
  for (const std::string& entry : bad)
    core::ConsoleAndReport(monitor::BadAllowListEntryLine(kAllowedClientsKey, entry),
                           core::ConsoleLevel::kError, core::ReportLevel::kError);
  if (allowed.restricted && allowed.ranges.empty())
    core::ConsoleAndReport(kNoAllowedEntry, core::ConsoleLevel::kError, core::ReportLevel::kError);
  platform::Result<std::shared_ptr<const TlsContext>> tls = LoadTls(sources_.settings);
  if (!tls) {
    core::ConsoleAndReport(tls.status().reason(), core::ConsoleLevel::kError,
                           core::ReportLevel::kError);
    return false;
  }
  // Like the monitor server, they live until the process ends.
  auto* gate = new (std::nothrow)
      AccessGate(sources_.clock, port, *tls != nullptr, sources_.settings.status_user,
                 sources_.settings.status_password_hash);
  auto* server = new (std::nothrow) HttpHandlers;
  if (gate == nullptr || server == nullptr) return false;
  if (!gate->problem().empty())
    core::ConsoleAndReport(gate->problem(), core::ConsoleLevel::kError, core::ReportLevel::kError);
  // Before any route: every request, on every route, passes the gate first.
  server->set_pre_routing_handler(
      [gate](const httplib::Request& req, httplib::Response& res) { return gate->Check(req, res); });
  server->set_payload_max_length(kPayloadMax);
  server->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(MetricsText(), kMetricsType);
  });
  server->Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
    std::string problems = HealthProblems();
    res.status = problems.empty() ? 200 : 503;
    res.set_content(problems.empty() ? std::string("ok\n") : problems, kTextType);
  });
  if (!AddSnapshotRoute(*server, sources_.cameras, sources_.clock)) return false;
  auto* page = new (std::nothrow) OperatorApi(sources_);
  if (page == nullptr) return false;
  page->Register(*server);
  auto* listener = new (std::nothrow)
      StatusListener(*server, sources_.clock, host, port, std::move(allowed), *tls,
                     [gate](std::int64_t now_us) { gate->Tell(now_us); });
  if (listener == nullptr) return false;
  if (!platform::StartThread([listener] { listener->Run(); })) {
    core::ConsoleAndReport(kNoThread, core::ConsoleLevel::kError, core::ReportLevel::kError);
    return false;
  }
  return true;
}

}  // namespace status
