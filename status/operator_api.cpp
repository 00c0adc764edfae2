#include "status/operator_api.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <ctime>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/daily_log.h"
#include "platform/strings.h"
#include "platform/unique_fd.h"
#include "status/page_assets.h"

namespace status {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kJsonType = "application/json";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kNoStore = "no-store";
constexpr const char* kNotFound = "not found\n";
constexpr const char* kBadNumber = "not a number, or too big\n";
constexpr const char* kNoFrameFor = "no frame for %lld s";
constexpr const char* kJobFileRoute =
    R"(/jobs/([^/]{1,32})/cameras/([^/]{1,32})/images/([^/]{1,32})\.jpg)";
constexpr const char* kJobClipRoute = R"(/jobs/([^/]{1,32})/cameras/([^/]{1,32})/clip)";
constexpr std::int64_t kRateWindowUs = 10 * platform::kMicrosPerSecond;

// "2026-12-07T01:02:03Z", or null for 0 (unknown).
Json IsoTime(std::int64_t wall_ms) {
  if (wall_ms <= 0) return nullptr;
  std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

double Rounded(double value, double unit) { return std::round(value / unit) * unit; }

// Device text may hold bytes that are no UTF-8: they are replaced, never thrown on.
std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Answer(httplib::Response& res, const std::string& body) {
  res.set_header("Cache-Control", kNoStore);
  res.set_content(body, kJsonType);
}

// What the page says of a camera's state.
struct State {
  const char* name;
  std::string reason;
  std::int64_t since_wall_ms = 0;
};

State CameraState(const acquisition::Camera& camera, const acquisition::CameraReport::View& view,
                  std::int64_t age_us, std::int64_t now_wall_ms) {
  const std::int64_t stall_us =
      std::int64_t{camera.stall_timeout_seconds()} * platform::kMicrosPerSecond;
  if (camera.counters().streaming.load() == 1) {
    if (age_us <= stall_us) return {"streaming", "", view.since_wall_ms};
    // The transfer has not given up yet, but its frames stopped.
    const long long seconds = age_us / platform::kMicrosPerSecond;
    return {"down", platform::StringPrintf(kNoFrameFor, seconds), now_wall_ms - age_us / 1000};
  }
  if (view.link == acquisition::CameraReport::Link::kDown)
    return {"down", view.reason, view.since_wall_ms};
  if (!camera.IsPermanent()) return {"idle", "", 0};
  return {"down", "", 0};  // not connected yet
}

// A decimal number of at most `digits` digits, or -1.
long long Number(const std::string& text, std::size_t digits) {
  long long value = -1;
  if (text.empty() || text.size() > digits) return -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

}  // namespace

std::string OperatorApi::CamerasJson() const {
  acquisition::CameraTable& table = sources_.cameras;
  const std::int64_t now_us = sources_.clock.MonotonicMicros();
  const std::int64_t now_wall_ms = sources_.clock.WallMillis();
  Json cameras = Json::array();
  for (int n = 1; n < core::kCameraSlots; ++n) {
    acquisition::Camera& camera = table[n];
    if (!camera.IsActive()) continue;
    const acquisition::CameraReport::View view = camera.report().Read(now_us);
    const std::int64_t last = camera.counters().last_frame_us.load();
    const std::int64_t age_us = last == 0 ? INT64_MAX : now_us - last;
    State state = CameraState(camera, view, age_us, now_wall_ms);
    float rate = 0;
    if (age_us > kRateWindowUs || !camera.RecentFrameRate(&rate)) rate = 0;
    const bool mjpeg = camera.stream_kind() == acquisition::StreamKind::kMjpeg;
    cameras.push_back(Json{
        {"number", n},
        {"reference", camera.reference},
        {"kind", mjpeg ? "MJPEG" : view.kind},
        {"state", state.name},
        {"reason", std::move(state.reason)},
        {"since", IsoTime(state.since_wall_ms)},
        {"frame_rate", Rounded(rate, 0.01)},
        {"width", view.width},
        {"height", view.height},
        {"bitrate", view.bits_per_second},
        {"frame_age", last == 0 ? Json(nullptr) : Json(Rounded(age_us / 1e6, 0.001))},
        {"snapshot", "/cameras/" + std::to_string(n) + "/snapshot.jpg"},
    });
  }
  return Dump(Json{{"now", IsoTime(now_wall_ms)}, {"cameras", std::move(cameras)}});
}

std::string OperatorApi::JobsJson() const {
  Json jobs = Json::array();
  if (sources_.job_history != nullptr) {
    for (const jobs::JobHistory::Job& job : sources_.job_history->Newest(false)) {
      const std::string base = "/jobs/" + std::to_string(job.id) + "/cameras/";
      Json cameras = Json::array();
      for (const jobs::JobHistory::Camera& camera : job.cameras) {
        const std::string own = base + std::to_string(camera.number);
        Json images = Json::array();
        for (std::size_t k = 0; k < camera.images.size(); ++k)
          images.push_back(own + "/images/" + std::to_string(k) + ".jpg");
        cameras.push_back(Json{{"number", camera.number},
                               {"reference", camera.reference},
                               {"saved", camera.saved},
                               {"failed", camera.failed},
                               {"images", std::move(images)},
                               {"clip", camera.clip.empty() ? Json(nullptr) : Json(own + "/clip")}});
      }
      const char* outcome = job.outcome == jobs::JobHistory::Outcome::kRunning ? "running"
                            : job.outcome == jobs::JobHistory::Outcome::kDone  ? "done"
                                                                               : "error";
      jobs.push_back(Json{{"id", job.id},
                          {"alarm_reference", job.alarm_reference},
                          {"time", IsoTime(job.alarm_wall_ms)},
                          {"outcome", outcome},
                          {"cameras", std::move(cameras)}});
    }
  }
  return Dump(Json{{"jobs", std::move(jobs)}});
}

std::string OperatorApi::InputsJson() const {
  Json inputs = Json::array();
  if (sources_.video_servers != nullptr) {
    for (const camera_http::VideoServer& server : *sources_.video_servers) {
      const camera_http::InputReport::View view = server.report.Read();
      if (!view.watched) continue;
      const std::string address = server.address + ":" + std::to_string(server.port);
      auto entry = [&](const char* kind, std::string name,
                       const camera_http::InputReport::Source& source) {
        inputs.push_back(Json{{"kind", kind},
                              {"name", std::move(name)},
                              {"address", address},
                              {"connected", view.connected},
                              {"last_line", source.last_line},
                              {"last_line_time", IsoTime(source.last_line_wall_ms)},
                              {"last_alarm_time", IsoTime(source.last_alarm_wall_ms)}});
      };
      entry("video server", server.reference, view.server);
      for (const camera_http::InputReport::Source& box : view.boxes)
        entry("IO box", server.reference + " / " + box.iobox, box);
    }
  }
  return Dump(Json{{"inputs", std::move(inputs)}});
}

std::string OperatorApi::LogJson() const {
  Json lines = Json::array();
  if (!sources_.log_name.empty())
    for (std::string& line : core::DailyLogTail(sources_.log_name, kLogLinesShown))
      lines.push_back(std::move(line));
  return Dump(Json{{"lines", std::move(lines)}});
}

void OperatorApi::ServeJobFile(const std::string& id_text, const std::string& camera_text,
                               const std::string& k_text, bool clip,
                               httplib::Response& res) const {
  const long long id = Number(id_text, 18);
  const long long camera = Number(camera_text, 3);
  const long long k = clip ? -1 : Number(k_text, 9);
  res.set_header("Cache-Control", kNoStore);
  if (id < 0 || camera < 0 || (!clip && k < 0)) {
    res.status = 400;
    res.set_content(kBadNumber, kTextType);
    return;
  }
  const std::string path =
      sources_.job_history == nullptr
          ? std::string()
          : sources_.job_history->FilePath(static_cast<std::uint64_t>(id),
                                           static_cast<int>(camera), k);
  // The path is the gateway's own, in a folder others may write: a link put
  // in its place is not followed, nor a FIFO waited on.
  platform::UniqueFd fd(
      path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  const std::int64_t limit = clip ? kJobClipBytesMax : kJobImageBytesMax;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) {
    res.status = 404;
    res.set_content(kNotFound, kTextType);
    return;
  }
  const char* type = !clip                         ? "image/jpeg"
                     : path.ends_with(".mov")      ? "video/quicktime"
                                                   : "video/mp4";
  // Read whole: the library writes a content provider's bytes only while its
  // own listening loop runs, and ours accepts (status_listener.h).
  std::string body(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < body.size()) {
    const ssize_t n = pread(fd.get(), body.data() + got, body.size() - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  body.resize(got);
  res.set_content(std::move(body), type);
}

void OperatorApi::Register(httplib::Server& server) {
  for (const PageAsset& asset : PageAssets())
    server.Get(asset.path, [asset](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", kNoStore);
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
    });
  server.Get("/api/cameras", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, CamerasJson());
  });
  server.Get("/api/jobs", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, JobsJson());
  });
  server.Get("/api/inputs", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, InputsJson());
  });
  server.Get("/api/log", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, LogJson());
  });
  server.Get(kJobFileRoute, [this](const httplib::Request& req, httplib::Response& res) {
    ServeJobFile(req.matches[1], req.matches[2], req.matches[3], false, res);
  });
  server.Get(kJobClipRoute, [this](const httplib::Request& req, httplib::Response& res) {
    ServeJobFile(req.matches[1], req.matches[2], "", true, res);
  });
}

}  // namespace status
