#include "acquisition/camera/camera.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "acquisition/camera/rtsp_address.h"
#include "acquisition/camera/stream_loss.h"
#include "acquisition/status_file.h"
#include "core/console.h"
#include "core/daily_log.h"
#include "core/metrics.h"
#include "platform/clock.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

using platform::SleepMs;

namespace {

constexpr const char* kNoSoI = "Unable to allocate SoI - not enough memory";
constexpr const char* kDurationStarted = "Streaming MJPEG Duration Thread started";
constexpr const char* kSocketStarted = "socket on stream '%s' started";
constexpr const char* kSocketClosed = "socket on stream '%s' closed";
constexpr const char* kThreadStarted = "Streaming MJPEG Thread started for camera %d (%s)";
constexpr const char* kStreamConnected = "Camera %d: stream connected (%s)";
constexpr const char* kStreamLost = "Camera %d: stream lost: %s";
constexpr const char* kStreamStillDown = "Camera %d: stream still down: %s (since %s)";
constexpr const char* kReasonStalled = "stalled, no byte for %d s";
constexpr const char* kReasonStatus = "HTTP status %ld";
constexpr const char* kReasonTimeout = "time-out (%s)";
constexpr const char* kReasonNoImage = "no image within 2 seconds";
constexpr const char* kFileMadeAgain = "Camera %d: the stream file %s was gone and is made anew";
constexpr const char* kFileWrittenAgain = "Camera %d: the stream file %s is written again";
// Attempts after a failure wait 0.5 s, then twice as long each time, up to
// 30 s; a frame brings the pause back to 0.5 s.
constexpr int kFirstBackoffMs = 500;
constexpr int kMaxBackoffMs = 30000;
constexpr std::int64_t kReminderIntervalUs = 10 * 60 * 1000000LL;
constexpr long kKeepAliveIdleSeconds = 10;
constexpr long kKeepAliveIntervalSeconds = 5;
constexpr const char* kAlive = ">";
constexpr const char* kReceived = "..Received %d bytes from camera";
constexpr const char* kOpenFailed = "ERROR: opening file id %x";
constexpr const char* kCloseFailed = "ERROR: closing file id %x";
constexpr const char* kSoIFound = "..SoI found";
constexpr const char* kFrameWithoutEnd =
    "Camera %d: WARNING: a frame without end marker was dropped after %lld bytes";
constexpr const char* kLengthMismatch =
    "Camera %d: WARNING: a part's Content-Length does not end on the image's end marker (%lld "
    "bytes): "
    "frame dropped, frames are now found by their markers";
constexpr const char* kFrameTooBig =
    "Camera %d: WARNING: a frame of %lld bytes is larger than an image may be (%d bytes): dropped";
constexpr const char* kBadLength =
    "Camera %d: WARNING: a part header holds an unusable Content-Length: the frame is found by its "
    "markers";
constexpr const char* kProblemsUnlogged = " (%lld more like it since the last such line)";
constexpr const char* kNoIndexMemory =
    "ERROR: no memory for the image index: frames are not indexed";
constexpr std::int64_t kProblemLogIntervalUs = 60 * 1000000LL;
// Longest time a whole frame waits for its block to fill before it is
// written out by itself.
constexpr std::int64_t kPendingFrameMaxUs = 20000;
constexpr std::size_t kPendingFramesReserved = 64;
constexpr const char* kEoIFound = "..EoI found";
constexpr const char* kNoInterface =
    "Houston, the problem is that myInterface is undefined and therefore we cannot write to the "
    "InterfaceMonitor.\n";
constexpr const char* kCameraLogFormat = "./LOG/Ocelam_%d_%04d%02d%02d.log";
constexpr const char* kUrlFormat = "http://%s:%d%s";
constexpr std::size_t kUrlMax = 1023;
constexpr std::size_t kInterfaceLineMax = 1023;
constexpr int kProbeAnswerSeconds = 2;
constexpr int kStreamLoopPauseMs = 500;

constexpr std::uint8_t kEoIMarker[2] = {0xFF, 0xD9};

std::once_flag g_curl_init;

}  // namespace

const std::uint8_t* FindBytes(const std::uint8_t* start, const std::uint8_t* pattern,
                              std::size_t range, std::size_t pattern_length) {
  if (pattern_length == 0 || pattern_length > range) return nullptr;
  const std::uint8_t* end = start + range - pattern_length + 1;
  for (const std::uint8_t* p = start; p < end;) {
    p = static_cast<const std::uint8_t*>(
        std::memchr(p, pattern[0], static_cast<std::size_t>(end - p)));
    if (!p) return nullptr;
    if (std::memcmp(p, pattern, pattern_length) == 0) return p;
    ++p;
  }
  return nullptr;
}

int CCamera::InitStream(const std::string& address_in, int port_in, std::string_view stream_name,
                        int number_in) {
  address = address_in.substr(0, kAddressMax);
  port = port_in;
  number = number_in;
  stream_name_ = std::string(stream_name.substr(0, 63));
  block_start_ = 0;
  block_fill_ = block_written_ = 0;
  overwrite_limit_.store(static_cast<std::int64_t>(kStreamBlockSize) - kStreamFileSize);
  block_.reset(new (std::nothrow) std::uint8_t[kStreamBlockSize]);
  if (!block_) {
    Log(kNoSoI, ReportLevel::kError);
    return -1;
  }
  platform::MutexLock guard(index_lock_);
  index_ = FrameIndex();
  index_.TakeInitialChunks();
  last_alive_.store(0);
  return 0;
}

std::string CCamera::Url() const {
  if (kind_ == StreamKind::kRtsp) return RtspAddress(address, port, request_uri_, "", "");
  std::string url = platform::StringPrintf(kUrlFormat, address.c_str(), port, request_uri_.c_str());
  if (url.size() > kUrlMax) url.resize(kUrlMax);
  return url;
}

bool CCamera::StartStreamThreads() {
  std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  bool ok = true;
  if (permanent_ == 0) {
    remaining_seconds_.store(0);
    streaming_.store(0);
    ok = platform::StartThread([this] { StreamingDurationThread(); }).ok();
  } else {
    streaming_.store(1);
  }
  return platform::StartThread([this] { StreamingThread(); }) && ok;
}

std::uint32_t CCamera::StartStreaming(int seconds) {
  platform::MutexLock guard(session_lock_);
  // A permanent camera has one session for its whole life: its frames
  // before the alarm are what a job wants.
  if (permanent_ != 0) return session_.load();
  if (remaining_seconds_.load() > 0 && streaming_.load() == 1) {
    if (seconds > remaining_seconds_.load()) remaining_seconds_.store(seconds);
    return session_.load();
  }
  remaining_seconds_.store(seconds);
  streaming_.store(1);
  return session_.fetch_add(1) + 1;
}

bool CCamera::HasImage() {
  platform::MutexLock guard(index_lock_);
  return !index_.empty();
}

bool CCamera::HasImage(std::uint32_t session) {
  platform::MutexLock guard(index_lock_);
  std::int64_t n = index_.LowerBound(session, INT64_MIN);
  return n < index_.next() && index_.At(n).session == session;
}

std::int64_t CCamera::image_count() {
  platform::MutexLock guard(index_lock_);
  return image_count_;
}

std::int64_t CCamera::first_frame_number() {
  platform::MutexLock guard(index_lock_);
  return index_.first();
}

std::int64_t CCamera::next_frame_number() {
  platform::MutexLock guard(index_lock_);
  return index_.next();
}

void CCamera::Log(std::string_view text, ReportLevel level) {
  // Year, day of month, month: the order operators know these names by.
  AppendDailyLog(kCameraLogFormat, camera_number_, text);
  if (!ReportSinkAttached()) {
    std::fputs(kNoInterface, stdout);
    return;
  }
  std::string line = "(" + stream_name_ + "): " + std::string(text);
  if (line.size() > kInterfaceLineMax) line.resize(kInterfaceLineMax);
  ReportToInterface(line, level);
}

bool CCamera::RefreshDue() const {
  return configured_.load() == 1 &&
         std::time(nullptr) - last_alive_.load() >= kProbeIntervalSeconds;
}

void CCamera::Refresh(bool with_fps) {
  last_alive_.store(std::time(nullptr));
  WriteStatusTime(camera_number_, kStatusCamStatus);
  Log(kAlive, ReportLevel::kInfo);
  float rate = 0;
  if (with_fps && RecentFrameRate(&rate)) {
    WriteStreamFps(camera_number_, rate);
    fps_written_ = true;
  }
  watchdog_countdown_.store(watchdog_timeout_.load() * 60);
}

void CCamera::NoteUp() {
  backoff_ms_ = kFirstBackoffMs;
  if (link_up_ && link_known_) return;
  link_up_ = link_known_ = true;
  Log(platform::StringPrintf(kStreamConnected, camera_number_, Url().c_str()), ReportLevel::kInfo);
}

void CCamera::NoteDown(const StreamLoss& loss) {
  const std::string& reason = loss.text;
  std::int64_t now = clock_.MonotonicMicros();
  // The kind of failure is the state: libcurl's texts vary from one attempt
  // to the next ("after 0 ms", "after 1 ms") and must not make a new line.
  if (!link_known_ || link_up_ || loss.kind != down_kind_) {
    down_kind_ = loss.kind;
    link_up_ = false;
    link_known_ = true;
    down_reason_ = reason;
    down_since_wall_ms_ = clock_.WallMillis();
    reminder_due_us_ = now + kReminderIntervalUs;
    Log(platform::StringPrintf(kStreamLost, camera_number_, reason.c_str()), ReportLevel::kInfo);
  } else if (now >= reminder_due_us_) {
    reminder_due_us_ = now + kReminderIntervalUs;
    std::time_t since = static_cast<std::time_t>(down_since_wall_ms_ / 1000);
    std::tm tm{};
    localtime_r(&since, &tm);
    char when[80];
    std::snprintf(when, sizeof when, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    Log(platform::StringPrintf(kStreamStillDown, camera_number_, reason.c_str(), when),
        ReportLevel::kInfo);
  }
}

void CCamera::SleepUnlessStreamingChanges(int ms, int streaming) {
  // A permanent camera's wish never changes: one sleep costs least, and
  // 159 dead cameras must cost next to nothing.
  if (permanent_ != 0) {
    SleepMs(ms);
    return;
  }
  for (int slept = 0; slept < ms && streaming_.load() == streaming; slept += 100)
    SleepMs(std::min(100, ms - slept));
}

bool CCamera::ConsumeStream(const std::uint8_t* data, std::size_t n) {
  last_byte_us_ = clock_.MonotonicMicros();
  counters_.bytes.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
  if (extended_log_)
    Log(platform::StringPrintf(kReceived, static_cast<int>(n)), ReportLevel::kInfo);
  TakeBytes(data, n, clock_.MonotonicMicros(), clock_.WallMillis(), session_.load(), true);
  if (streaming_.load() == 1) return true;
  NoteStreamingOff();
  return false;
}

void CCamera::NoteStreamingOff() {
  WriteStreamingState(camera_number_, 0);
  Log(platform::StringPrintf(kSocketClosed, stream_name_.c_str()), ReportLevel::kInfo);
}

void CCamera::ConsumePacket(const std::uint8_t* data, std::size_t n, const FoundFrame& frame) {
  counters_.bytes.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
  FoundFrame whole = frame;
  whole.start = stream_position();
  whole.end = whole.start + static_cast<std::int64_t>(n);
  pending_.push_back(whole);
  TakeBytes(data, n, frame.begin_us, frame.begin_wall_ms, frame.session, false);
}

void CCamera::TakeBytes(const std::uint8_t* data, std::size_t n, std::int64_t now,
                        std::int64_t wall, std::uint32_t session, bool find_frames) {
  // Taken block by block: a chunk larger than one block (never from
  // libcurl's default buffer, but a video frame often is) loses nothing.
  while (n > 0) {
    std::size_t space = kStreamBlockSize - block_fill_;
    std::size_t take = n < space ? n : space;
    if (find_frames) finder_.Feed(data, take, stream_position(), now, wall, session, *this);
    std::memcpy(block_.get() + block_fill_, data, take);
    block_fill_ += take;
    data += take;
    n -= take;
    if (block_fill_ == kStreamBlockSize) {
      WriteBlockBytes(kStreamBlockSize);
      block_start_ += static_cast<std::int64_t>(kStreamBlockSize);
      block_fill_ = block_written_ = 0;
      // The next block overwrites the bytes one lap behind it.
      overwrite_limit_.store(block_start_ + static_cast<std::int64_t>(kStreamBlockSize) -
                             kStreamFileSize);
    }
  }
  // A slow camera would leave its newest frame unseen until the block fills
  // up: whole frames go to the file within a moment, and a fast camera
  // still writes whole blocks only.
  if (!pending_.empty() && clock_.MonotonicMicros() - last_write_us_ >= kPendingFrameMaxUs)
    WriteBlockBytes(block_fill_);
}

std::uint16_t CCamera::AddCodec(std::shared_ptr<const VideoCodec> codec) {
  platform::MutexLock guard(index_lock_);
  // 0 stands for MJPEG; the numbers wrap after 65535 connections, long
  // after the ring has forgotten the first.
  if (++last_codec_ == 0) last_codec_ = 1;
  codecs_.emplace_back(last_codec_, std::move(codec));
  return last_codec_;
}

std::shared_ptr<const VideoCodec> CCamera::Codec(std::uint16_t codec) {
  platform::MutexLock guard(index_lock_);
  for (const auto& [number, parameters] : codecs_)
    if (number == codec) return parameters;
  return nullptr;
}

void CCamera::EndTransfer() {
  if (!block_) return;
  finder_.Reset();
  if (!pending_.empty()) WriteBlockBytes(block_fill_);
}

void CCamera::OnFrame(const FoundFrame& frame) {
  if (extended_log_) {
    Log(kSoIFound, ReportLevel::kInfo);
    Log(kEoIFound, ReportLevel::kInfo);
  }
  pending_.push_back(frame);
}

void CCamera::OnStreamProblem(StreamProblem problem, std::int64_t detail) {
  // A camera that gets it wrong in every frame must not flood its log.
  int k = static_cast<int>(problem);
  std::int64_t now = clock_.MonotonicMicros();
  if (problem_logged_us_[k] != 0 && now - problem_logged_us_[k] < kProblemLogIntervalUs) {
    ++problems_unlogged_[k];
    return;
  }
  std::string text;
  long long value = static_cast<long long>(detail);
  switch (problem) {
    case StreamProblem::kNoEndMarker:
      text = platform::StringPrintf(kFrameWithoutEnd, camera_number_, value);
      break;
    case StreamProblem::kLengthMismatch:
      text = platform::StringPrintf(kLengthMismatch, camera_number_, value);
      break;
    case StreamProblem::kTooBig:
      text = platform::StringPrintf(kFrameTooBig, camera_number_, value,
                                    static_cast<int>(kMaxFrameBytes));
      break;
    default:
      text = platform::StringPrintf(kBadLength, camera_number_);
      break;
  }
  if (problems_unlogged_[k] > 0)
    text +=
        platform::StringPrintf(kProblemsUnlogged, static_cast<long long>(problems_unlogged_[k]));
  problem_logged_us_[k] = now;
  problems_unlogged_[k] = 0;
  Log(text, ReportLevel::kInfo);
}

void CCamera::WriteBlockBytes(std::size_t upto) {
  last_write_us_ = clock_.MonotonicMicros();
  if (upto <= block_written_) return;
  // Opened and closed around every write, so other threads and processes can
  // read the stream file at any time.
  bool written = false;
  platform::UniqueFd fd(open(stream_file_path_.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT) {
    // Someone removed the stream file: it is made anew, and the frames it
    // held are gone from the index with it.
    fd.reset(open(stream_file_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (fd.valid()) {
      Log(platform::StringPrintf(kFileMadeAgain, camera_number_, stream_file_path_.c_str()),
          ReportLevel::kError);
      platform::MutexLock guard(index_lock_);
      index_ = FrameIndex();
      index_.TakeInitialChunks();
    }
  }
  if (!fd.valid()) {
    // Said once when it starts failing, not for every block.
    if (!file_failing_) Log(platform::StringPrintf(kOpenFailed, fd.get()), ReportLevel::kError);
    file_failing_ = true;
  } else {
    if (file_failing_)
      Log(platform::StringPrintf(kFileWrittenAgain, camera_number_, stream_file_path_.c_str()),
          ReportLevel::kInfo);
    file_failing_ = false;
    const std::uint8_t* bytes = block_.get() + block_written_;
    std::size_t n = upto - block_written_;
    std::int64_t at = (block_start_ + static_cast<std::int64_t>(block_written_)) % kStreamFileSize;
    // The ring's end does not fall on a block boundary: tail here, head at 0.
    std::size_t tail = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(n), kStreamFileSize - at));
    written = platform::PWriteAll(fd.get(), bytes, tail, at).ok();
    if (written && tail < n)
      written = platform::PWriteAll(fd.get(), bytes + tail, n - tail, 0).ok();
    const int number = fd.get();
    // Bytes a failed close may have lost are not indexed either.
    if (!fd.Close()) {
      Log(platform::StringPrintf(kCloseFailed, number), ReportLevel::kError);
      written = false;
    }
  }
  block_written_ = upto;
  PublishFrames(written);
}

void CCamera::PublishFrames(bool written) {
  const std::int64_t in_file = block_start_ + static_cast<std::int64_t>(block_written_);
  std::size_t done = 0;
  std::int64_t added = 0;
  {
    platform::MutexLock guard(index_lock_);
    for (; done < pending_.size() && pending_[done].end <= in_file; ++done) {
      // Frames whose bytes did not reach the file are never indexed: a
      // reader would find other bytes there.
      if (!written) continue;
      const FoundFrame& f = pending_[done];
      FrameEntry entry{f.start,
                       f.begin_us,
                       f.begin_wall_ms,
                       static_cast<std::int32_t>(f.end - f.start),
                       f.session,
                       f.codec,
                       f.key};
      if (!index_.Append(entry)) {
        if (!index_full_logged_) Log(kNoIndexMemory, ReportLevel::kError);
        index_full_logged_ = true;
        continue;
      }
      ++image_count_;
      ++added;
    }
    // Frames the next block will overwrite are of no use any more.
    index_.DropBefore(block_start_ + 2 * static_cast<std::int64_t>(kStreamBlockSize) -
                      kStreamFileSize);
    if (added > 0) index_.ReserveForRing(kStreamFileSize);
    // Parameters no indexed frame refers to any more go, but for those of
    // the connection running now.
    while (codecs_.size() > 1 &&
           (index_.empty() || codecs_.front().first != index_.At(index_.first()).codec))
      codecs_.erase(codecs_.begin());
    if (added > 0 && frame_waiters_ > 0) frame_indexed_.SignalAll();
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
  if (added == 0) return;
  counters_.frames.fetch_add(added, std::memory_order_relaxed);
  counters_.last_frame_us.store(clock_.MonotonicMicros());
  counters_.streaming.store(1);
  NoteUp();
  // A stream whose frames keep arriving is alive: refresh while the transfer
  // runs instead of only when it ends, so a healthy permanent camera never
  // raises its watchdog alarm.
  float rate = 0;
  if (RefreshDue()) {
    Refresh(true);
  } else if (!fps_written_ && RecentFrameRate(&rate)) {
    // The rate is worth showing once a second of frames is in: not at the
    // first frame, when it would be a guess.
    WriteStreamFps(camera_number_, rate);
    fps_written_ = true;
  }
}

std::size_t CCamera::StreamWriteCallback(char* data, std::size_t size, std::size_t count,
                                         void* self) {
  std::size_t n = size * count;
  auto* camera = static_cast<CCamera*>(self);
  return camera->ConsumeStream(reinterpret_cast<const std::uint8_t*>(data), n) ? n : 0;
}

std::size_t CCamera::SkipHeaderCallback(char*, std::size_t size, std::size_t count, void* self) {
  auto* camera = static_cast<CCamera*>(self);
  camera->last_byte_us_ = camera->clock_.MonotonicMicros();
  return size * count;
}

std::size_t CCamera::ProbeHeaderCallback(char*, std::size_t size, std::size_t count, void* self) {
  auto* camera = static_cast<CCamera*>(self);
  camera->last_byte_us_ = camera->clock_.MonotonicMicros();
  camera->probe_answer_us_.store(camera->clock_.MonotonicMicros());
  return size * count;
}

std::size_t CCamera::ProbeWriteCallback(char* data, std::size_t size, std::size_t count,
                                        void* self) {
  std::size_t n = size * count;
  auto* camera = static_cast<CCamera*>(self);
  camera->last_byte_us_ = camera->clock_.MonotonicMicros();
  if (FindBytes(reinterpret_cast<const std::uint8_t*>(data), kEoIMarker, n, 2)) {
    camera->Refresh(false);
    camera->NoteUp();
    return 0;
  }
  if (camera->clock_.MonotonicMicros() - camera->probe_answer_us_.load() >
      kProbeAnswerSeconds * platform::kMicrosPerSecond) {
    camera->probe_too_slow_ = true;
    return 0;
  }
  return n;
}

int CCamera::ProgressCallback(void* self, std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
  // Called about once a second even when nothing arrives: a transfer that
  // got no byte for the stall time-out (connecting included) is given up.
  auto* camera = static_cast<CCamera*>(self);
  if (camera->clock_.MonotonicMicros() - camera->last_byte_us_ <
      static_cast<std::int64_t>(camera->stall_timeout_s_.load()) * 1000000)
    return 0;
  camera->stalled_ = true;
  return 1;
}

void CCamera::StreamingDurationThread() {
  Log(kDurationStarted, ReportLevel::kInfo);
  for (;;) {
    bool on;
    {
      platform::MutexLock guard(session_lock_);
      on = remaining_seconds_.load() > 0;
      streaming_.store(on ? 1 : 0);
    }
    if (!on) {
      SleepMs(100);
      continue;
    }
    SleepMs(1000);
    platform::MutexLock guard(session_lock_);
    if (remaining_seconds_.load() > 0) remaining_seconds_.fetch_sub(1);
  }
}

void CCamera::StreamingThread() {
  block_fill_ = block_written_ = 0;
  fps_written_ = false;
  pending_.reserve(kPendingFramesReserved);
  WriteStreamingState(camera_number_, 1);

  // One handle for the life of the thread; it is never cleaned up.
  CURL* curl = curl_easy_init();
  char error[CURL_ERROR_SIZE] = {};
  std::string url = Url();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!user_name.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, user_name.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  // Threads here are never cancelled; libcurl must not use signals for its
  // name lookups in a multi-threaded process.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  // A camera that rebooted or lost its cable leaves a half-open connection:
  // keepalive probes find it out.
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, kKeepAliveIdleSeconds);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
  // libcurl answers a Basic or a Digest challenge, whichever the camera asks.
  if (!user_name.empty())
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);

  // Runs one transfer; why it failed, or kind 0 when nothing went wrong (a
  // stream switched off by us, a probe that saw an image).
  auto transfer = [&](bool probe) -> StreamLoss {
    if (kind_ == StreamKind::kRtsp) return RtspTransfer(probe);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, probe ? ProbeWriteCallback : StreamWriteCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION,
                     probe ? ProbeHeaderCallback : SkipHeaderCallback);
    error[0] = '\0';
    stalled_ = probe_too_slow_ = false;
    last_byte_us_ = clock_.MonotonicMicros();
    // A frame never spans two transfers: whatever was being assembled when
    // the last one ended is not part of the next.
    if (!probe) finder_.Reset();
    bool wanted_before = streaming_.load() == 1;
    CURLcode rc = curl_easy_perform(curl);
    if (!probe) {
      EndTransfer();
      counters_.streaming.store(0);
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    double connect_time = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connect_time);
    const char* text = error[0] ? error : curl_easy_strerror(rc);
    int stall = stall_timeout_s_.load();
    if (stalled_ && connect_time <= 0)
      return {stream_loss::kConnectTimeout,
              platform::StringPrintf(stream_loss::kReasonConnectTimeout, stall)};
    if (stalled_) return {stream_loss::kStalled, platform::StringPrintf(kReasonStalled, stall)};
    if (status == 401) return {stream_loss::kStatus + 401, stream_loss::kReasonUnauthorized};
    if (status == 404) return {stream_loss::kStatus + 404, stream_loss::kReasonNotFound};
    if (status >= 300)
      return {stream_loss::kStatus + static_cast<int>(status),
              platform::StringPrintf(kReasonStatus, status)};
    if (rc == CURLE_COULDNT_CONNECT)
      return {stream_loss::kTransfer + rc,
              platform::StringPrintf(stream_loss::kReasonRefused, text)};
    if (rc == CURLE_OPERATION_TIMEDOUT)
      return {stream_loss::kTransfer + rc, platform::StringPrintf(kReasonTimeout, text)};
    if (rc != CURLE_OK && rc != CURLE_WRITE_ERROR) return {stream_loss::kTransfer + rc, text};
    if (probe)
      return probe_too_slow_ || rc == CURLE_OK ? StreamLoss{stream_loss::kNoImage, kReasonNoImage}
                                               : StreamLoss{};
    // A stream we did not stop was ended by the camera.
    return wanted_before && streaming_.load() == 1
               ? StreamLoss{stream_loss::kClosed, stream_loss::kReasonClosed}
               : StreamLoss{};
  };

  backoff_ms_ = kFirstBackoffMs;
  std::int64_t next_probe_us = 0;
  for (;;) {
    if (streaming_.load() == 1) {
      struct stat st {};
      if (stat(stream_file_path_.c_str(), &st) != 0) {
        platform::UniqueFd(open(stream_file_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
      }
      Log(platform::StringPrintf(kSocketStarted, stream_name_.c_str()), ReportLevel::kInfo);
      std::string started = platform::StringPrintf(kThreadStarted, camera_number_, url.c_str());
      Log(started, ReportLevel::kInfo);
      ConsoleLog(started, ConsoleLevel::kNormal);
      bool again = false;
      while (streaming_.load() == 1) {
        if (again)
          counters_.reconnects.fetch_add(1, std::memory_order_relaxed);
        StreamLoss lost = transfer(false);
        again = lost.kind != stream_loss::kNone;
        if (!again) continue;
        // Only images tell that a camera is alive: a failed transfer
        // refreshes nothing, so a dead permanent camera raises its alarm.
        NoteDown(lost);
        SleepUnlessStreamingChanges(backoff_ms_, 1);
        backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
      }
    } else if (RefreshDue() && clock_.MonotonicMicros() >= next_probe_us) {
      StreamLoss lost = transfer(true);
      if (lost.kind != stream_loss::kNone) {
        NoteDown(lost);
        next_probe_us = clock_.MonotonicMicros() + static_cast<std::int64_t>(backoff_ms_) * 1000;
        backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
      }
    }
    SleepMs(kStreamLoopPauseMs);
  }
}

CameraTable::CameraTable(platform::Clock& clock) {
  cameras_.reserve(kCameraSlots);
  for (int n = 0; n < kCameraSlots; ++n) cameras_.push_back(std::make_unique<CCamera>(clock));
}
