#include "acquisition/camera/camera.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>

#include "acquisition/camera/rtsp_address.h"
#include "acquisition/status_file.h"
#include "core/console.h"
#include "core/log_text.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace acquisition {

namespace {

constexpr const char* kNoSoI = "Unable to allocate SoI - not enough memory";
constexpr const char* kDurationStarted = "Streaming MJPEG Duration Thread started";
constexpr const char* kSocketStarted = "socket on stream '%s' started";
constexpr const char* kSocketClosed = "socket on stream '%s' closed";
constexpr const char* kThreadStarted = "Streaming MJPEG Thread started for camera %d (%s)";
constexpr const char* kStreamConnected = "Camera %d: stream connected (%s)";
constexpr const char* kRtspConnected = "Camera %d: stream connected (%s, %s)";
constexpr const char* kAlive = ">";
constexpr const char* kGetImageTrace = "get image of index %d (imIndexInFile %d) with bounds %d %d";
constexpr const char* kUrlFormat = "http://%s:%d%s";
constexpr std::size_t kUrlMax = 1023;
constexpr std::size_t kStreamNameMax = 63;
// The streaming thread looks this often whether a stream is wanted or a
// probe is due; a back-off sleep of an on-demand camera looks this often
// whether a job switched its stream on.
constexpr std::int64_t kStreamLoopPauseUs = 500000;
constexpr std::int64_t kWantPollUs = 100000;
// How often an MJPEG camera's picture size is read from its newest frame.
constexpr std::int64_t kPictureSizeEveryUs = 5000000;
constexpr const char* kMjpegKind = "MJPEG";

std::once_flag g_curl_init;

}  // namespace

Camera::Camera(platform::Clock& clock)
    : clock_(clock),
      ring_(clock, log_),
      sessions_(clock),
      watchdog_(clock, liveness_, log_),
      problems_(clock, log_),
      link_(clock, log_),
      mjpeg_(SourceParts{clock, log_, ring_, sessions_, problems_, counters_, *this, report_}),
      rtsp_(SourceParts{clock, log_, ring_, sessions_, problems_, counters_, *this, report_}),
      decoding_(ring_, log_, clock),
      snapshot_decoding_(ring_, log_, clock) {
  decoding_.SetReadTrace([this](const FrameRef& frame) { TraceRead(frame); });
  snapshot_decoding_.SetLogLines(false);
}

int Camera::InitStream(const std::string& address_in, int port_in, std::string_view stream_name,
                       int number_in) {
  address = address_in.substr(0, core::kAddressMax);
  port = port_in;
  number = number_in;
  log_.SetStreamName(std::string(stream_name.substr(0, kStreamNameMax)));
  if (ring_.Init()) return 0;
  Log(kNoSoI, core::ReportLevel::kError);
  return -1;
}

void Camera::SetExtendedLog(bool on) {
  extended_log_ = on;
  mjpeg_.SetExtendedLog(on);
}

std::string Camera::Url() const {
  if (kind_ == StreamKind::kRtsp) return RtspAddress(address, port, request_uri_, "", "");
  std::string url = platform::StringPrintf(kUrlFormat, address.c_str(), port, request_uri_.c_str());
  if (url.size() > kUrlMax) url.resize(kUrlMax);
  return url;
}

StreamTarget Camera::Target() const {
  StreamTarget target;
  target.url = kind_ == StreamKind::kRtsp
                   ? RtspAddress(address, port, request_uri_, user_name, password)
                   : Url();
  target.user = user_name;
  target.password = password;
  target.allow_basic = allow_basic_auth;
  target.stall_timeout_s = stall_timeout_s_;
  target.transport = rtsp_transport_;
  return target;
}

bool Camera::StartStreamThreads() {
  std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  // The line log readers know an on-demand camera's start by; its sessions
  // end at deadlines on the camera's clock, so no thread of its own counts
  // them down.
  if (!IsPermanent()) Log(kDurationStarted, core::ReportLevel::kInfo);
  return platform::StartThread([this] { StreamingThread(); }).ok();
}

void Camera::ConfigureWatchdog(int active, int timeout, int pause, int alarm) {
  watchdog_active.store(active);
  watchdog_.Configure(timeout, pause, alarm);
}

bool Camera::StartWatchdog(alarms::AlarmServer& alarms, int active, int timeout, int pause,
                           int alarm) {
  ConfigureWatchdog(active, timeout, pause, alarm);
  alarms::AlarmServer* server = &alarms;
  return platform::StartThread([this, server] {
           watchdog_.Run([server](const std::string& command) {
             return server->RunDetached(command);
           });
         }).ok();
}

void Camera::TraceRead(const FrameRef& frame) {
  if (extended_log_) {
    const FrameEntry& f = frame.entry;
    char trace[160];
    std::snprintf(trace, sizeof trace, kGetImageTrace,
                  static_cast<int>(frame.number % kImageIndexSize),
                  static_cast<int>(next_frame_number() % kImageIndexSize),
                  static_cast<int>((f.start + f.length) % kStreamFileSize),
                  static_cast<int>(f.start % kStreamFileSize));
    Log(trace, core::ReportLevel::kInfo);
  }
}

int Camera::GetImage(const FrameRef& frame, std::uint8_t* buffer) {
  std::string message;
  TraceRead(frame);
  int got = ring_.ReadFrame(frame, buffer, kImageBufferSize, &message);
  if (got >= 0) got = ring_.CheckJpeg(frame, buffer, got, &message);
  if (got >= 0) return got;
  core::ConsoleLog(message, core::ConsoleLevel::kError);
  Log(message, core::ReportLevel::kInfo);
  return -1;
}

void Camera::StreamingThread() {
  fps_written_ = false;
  WriteStreamingState(camera_number(), 1);
  const StreamTarget target = Target();
  std::int64_t next_probe_us = 0;
  for (;;) {
    if (sessions_.Wanted())
      StreamWhileWanted(target, &next_probe_us);
    else
      ProbeWhenDue(target, &next_probe_us);
    clock_.SleepMicros(kStreamLoopPauseUs);
  }
}

StreamLoss Camera::Transfer(const StreamTarget& target, bool probe) {
  return kind_ == StreamKind::kRtsp ? rtsp_.Transfer(target, probe)
                                    : mjpeg_.Transfer(target, probe);
}

void Camera::StreamWhileWanted(const StreamTarget& target, std::int64_t* next_probe_us) {
  ring_.MakeFileIfMissing();
  Log(platform::StringPrintf(kSocketStarted, log_.stream_name().c_str()), core::ReportLevel::kInfo);
  std::string started = platform::StringPrintf(kThreadStarted, camera_number(), Url().c_str());
  Log(started, core::ReportLevel::kInfo);
  core::ConsoleLog(started, core::ConsoleLevel::kNormal);
  bool again = false;
  while (sessions_.Wanted()) {
    if (again) counters_.reconnects.fetch_add(1, std::memory_order_relaxed);
    const StreamLoss lost = Transfer(target, false);
    again = lost.kind != stream_loss::kNone;
    if (!again) continue;
    // Only images tell that a camera is alive: a failed transfer refreshes
    // nothing, so a dead permanent camera raises its alarm.
    const std::int64_t pause = FailedAttempt(lost);
    *next_probe_us = clock_.MonotonicMicros() + pause;
    SleepUnlessWantChanges(pause, true);
  }
}

std::int64_t Camera::FailedAttempt(const StreamLoss& lost) {
  report_.Down(lost.kind, core::PrintableText(lost.text), clock_.WallMillis());
  if (const std::string line = link_.Down(lost); !line.empty()) Log(line, core::ReportLevel::kInfo);
  LinkState::Backoff backoff = link_.TakeBackoff();
  if (!backoff.line.empty()) Log(backoff.line, core::ReportLevel::kInfo);
  return backoff.pause_us;
}

void Camera::ProbeWhenDue(const StreamTarget& target, std::int64_t* next_probe_us) {
  if (!RefreshDue() || clock_.MonotonicMicros() < *next_probe_us) return;
  const StreamLoss lost = Transfer(target, true);
  if (lost.kind == stream_loss::kNone) return;
  *next_probe_us = clock_.MonotonicMicros() + FailedAttempt(lost);
}

void Camera::SleepUnlessWantChanges(std::int64_t micros, bool wanted) {
  const std::int64_t deadline = clock_.MonotonicMicros() + micros;
  // A permanent camera's wish never changes: one sleep costs least, and
  // 159 dead cameras must cost next to nothing.
  if (IsPermanent()) {
    clock_.SleepUntil(deadline);
    return;
  }
  for (std::int64_t now = clock_.MonotonicMicros(); now < deadline && sessions_.Wanted() == wanted;
       now = clock_.MonotonicMicros())
    clock_.SleepUntil(std::min(deadline, now + kWantPollUs));
}

bool Camera::RefreshDue() const {
  return configured_.load() == 1 && liveness_.RefreshDue(clock_.MonotonicMicros());
}

void Camera::Refresh(bool with_fps) {
  liveness_.Refreshed(clock_.MonotonicMicros());
  WriteStatusTime(camera_number(), kStatusCamStatus, clock_.WallSeconds());
  Log(kAlive, core::ReportLevel::kInfo);
  float rate = 0;
  if (with_fps && ring_.RecentFrameRate(&rate)) {
    WriteStreamFps(camera_number(), rate);
    fps_written_ = true;
  }
}

void Camera::LinkUp() {
  if (!link_.Up()) return;
  report_.Up(clock_.WallMillis());
  // An RTSP camera's line names how its RTP comes: TCP or UDP.
  Log(kind_ == StreamKind::kRtsp ? platform::StringPrintf(kRtspConnected, camera_number(),
                                                          Url().c_str(), rtsp_.transport())
                                 : platform::StringPrintf(kStreamConnected, camera_number(),
                                                          Url().c_str()),
      core::ReportLevel::kInfo);
}

void Camera::FramesIndexed(std::int64_t count) {
  counters_.frames.fetch_add(count, std::memory_order_relaxed);
  counters_.last_frame_us.store(clock_.MonotonicMicros());
  counters_.streaming.store(1);
  report_.CountBytes(clock_.MonotonicMicros(), counters_.bytes.load());
  LinkUp();
  if (kind_ == StreamKind::kMjpeg) NotePictureSize();
  // A stream whose frames keep arriving is alive: refresh while the transfer
  // runs instead of only when it ends, so a healthy permanent camera never
  // raises its watchdog alarm.
  float rate = 0;
  if (RefreshDue()) {
    Refresh(true);
  } else if (!fps_written_ && ring_.RecentFrameRate(&rate)) {
    // The rate is worth showing once a second of frames is in: not at the
    // first frame, when it would be a guess.
    WriteStreamFps(camera_number(), rate);
    fps_written_ = true;
  }
}

void Camera::NotePictureSize() {
  const std::int64_t now = clock_.MonotonicMicros();
  if (now < next_size_us_) return;
  next_size_us_ = now + kPictureSizeEveryUs;
  FrameRef frame;
  if (!ring_.FrameByNumber(ring_.next_frame_number() - 1, &frame) || frame.entry.length <= 0 ||
      frame.entry.length > kMaxFrameBytes)
    return;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(frame.entry.length) + 1);
  std::string message;
  const int got =
      ring_.ReadFrame(frame, bytes.data(), static_cast<int>(bytes.size()), &message);
  int width = 0, height = 0;
  if (got > 0 && JpegPictureSize(bytes.data(), static_cast<std::size_t>(got), &width, &height))
    report_.SetVideo(kMjpegKind, width, height);
}

void Camera::ProbeSawImage() {
  Refresh(false);
  LinkUp();
}

void Camera::StreamingSwitchedOff() {
  WriteStreamingState(camera_number(), 0);
  Log(platform::StringPrintf(kSocketClosed, log_.stream_name().c_str()), core::ReportLevel::kInfo);
}

CameraTable::CameraTable(platform::Clock& clock) {
  cameras_.reserve(core::kCameraSlots);
  for (int n = 0; n < core::kCameraSlots; ++n) {
    cameras_.push_back(std::make_unique<Camera>(clock));
    cameras_.back()->decoding().SetBudget(&budget_);
  }
}

void Camera::StreamRefused(std::string_view reason) {
  report_.Down(stream_loss::kNotStarted, core::PrintableText(reason), clock_.WallMillis());
}

}  // namespace acquisition
