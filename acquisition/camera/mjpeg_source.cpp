#include "acquisition/camera/mjpeg_source.h"

#include <curl/curl.h>

#include <cstring>
#include <string>

#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr const char* kReasonStalled = "stalled, no byte for %d s";
constexpr const char* kReasonStatus = "HTTP status %ld";
constexpr const char* kReasonTimeout = "time-out (%s)";
constexpr const char* kReasonNoImage = "no image within 2 seconds";
constexpr const char* kReceived = "..Received %d bytes from camera";
constexpr const char* kSoIFound = "..SoI found";
constexpr const char* kEoIFound = "..EoI found";
constexpr std::int64_t kProbeAnswerUs = 2 * platform::kMicrosPerSecond;
constexpr long kKeepAliveIdleSeconds = 10;
constexpr long kKeepAliveIntervalSeconds = 5;

// True when FF D9 lies whole within the bytes.
bool HasEndMarker(const std::uint8_t* data, std::size_t n) {
  const std::uint8_t* end = data + n;
  for (const std::uint8_t* p = data; end - p >= 2; ++p) {
    p = static_cast<const std::uint8_t*>(
        std::memchr(p, 0xFF, static_cast<std::size_t>(end - p - 1)));
    if (!p) return false;
    if (p[1] == 0xD9) return true;
  }
  return false;
}

}  // namespace

struct MjpegSource::Curl {
  CURL* handle = curl_easy_init();
  char error[CURL_ERROR_SIZE] = {};
  ~Curl() { curl_easy_cleanup(handle); }
};

MjpegSource::MjpegSource(const SourceParts& parts) : parts_(parts) {}
MjpegSource::~MjpegSource() = default;

StreamLoss MjpegSource::Transfer(const StreamTarget& target, bool probe) {
  if (!curl_) {
    curl_ = std::make_unique<Curl>();
    CURL* curl = curl_->handle;
    curl_easy_setopt(curl, CURLOPT_URL, target.url.c_str());
    if (!target.user.empty()) {
      curl_easy_setopt(curl, CURLOPT_USERNAME, target.user.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, target.password.c_str());
    }
    // Digest, and Basic only where allowed: Basic sends the password in
    // clear to whoever answers on the camera's address. Set even without a
    // user, since libcurl's default (Basic, sent before any challenge) would
    // otherwise take credentials written into the address. With more than
    // one method libcurl asks without credentials first and answers Digest
    // when the camera offers both.
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH,
                     target.allow_basic ? CURLAUTH_DIGEST | CURLAUTH_BASIC : CURLAUTH_DIGEST);
    // A camera without a user is simply refused; one with a password we
    // keep from a Basic challenge is told so.
    refuses_basic_ = !target.allow_basic && !target.user.empty();
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_->error);
    // Threads here are never cancelled; libcurl must not use signals for its
    // name lookups in a multi-threaded process.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    // A camera that rebooted or lost its cable leaves a half-open
    // connection: keepalive probes find it out.
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
  }
  CURL* curl = curl_->handle;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, probe ? ProbeWriteCallback : StreamWriteCallback);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, probe ? ProbeHeaderCallback : SkipHeaderCallback);
  curl_->error[0] = '\0';
  stall_timeout_s_ = target.stall_timeout_s;
  stalled_ = probe_too_slow_ = false;
  last_byte_us_ = parts_.clock.MonotonicMicros();
  // A frame never spans two transfers: whatever was being assembled when
  // the last one ended is not part of the next.
  if (!probe) finder_.Reset();
  const bool wanted_before = parts_.sessions.Wanted();
  const CURLcode rc = curl_easy_perform(curl);
  if (!probe) {
    EndTransfer();
    parts_.counters.streaming.store(0);
  }
  return Outcome(rc, probe, wanted_before);
}

StreamLoss MjpegSource::Outcome(int code, bool probe, bool wanted_before) const {
  CURL* curl = curl_->handle;
  const CURLcode rc = static_cast<CURLcode>(code);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  double connect_time = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connect_time);
  const char* text = curl_->error[0] ? curl_->error : curl_easy_strerror(rc);
  const int stall = stall_timeout_s_;
  if (stalled_ && connect_time <= 0)
    return {stream_loss::kConnectTimeout,
            platform::StringPrintf(stream_loss::kReasonConnectTimeout, stall)};
  if (stalled_) return {stream_loss::kStalled, platform::StringPrintf(kReasonStalled, stall)};
  if (status == 401 && BasicAloneRefused())
    return {stream_loss::kBasicRefused, stream_loss::kReasonBasicRefused};
  if (status == 401) return {stream_loss::kStatus + 401, stream_loss::kReasonUnauthorized};
  if (status == 404) return {stream_loss::kStatus + 404, stream_loss::kReasonNotFound};
  if (status >= 300)
    return {stream_loss::kStatus + static_cast<int>(status),
            platform::StringPrintf(kReasonStatus, status)};
  if (rc == CURLE_COULDNT_CONNECT)
    return {stream_loss::kTransfer + rc, platform::StringPrintf(stream_loss::kReasonRefused, text)};
  if (rc == CURLE_OPERATION_TIMEDOUT)
    return {stream_loss::kTransfer + rc, platform::StringPrintf(kReasonTimeout, text)};
  if (rc != CURLE_OK && rc != CURLE_WRITE_ERROR) return {stream_loss::kTransfer + rc, text};
  if (probe)
    return probe_too_slow_ || rc == CURLE_OK ? StreamLoss{stream_loss::kNoImage, kReasonNoImage}
                                             : StreamLoss{};
  // A stream we did not stop was ended by the camera.
  return wanted_before && parts_.sessions.Wanted()
             ? StreamLoss{stream_loss::kClosed, stream_loss::kReasonClosed}
             : StreamLoss{};
}

bool MjpegSource::BasicAloneRefused() const {
  long offered = 0;
  curl_easy_getinfo(curl_->handle, CURLINFO_HTTPAUTH_AVAIL, &offered);
  return refuses_basic_ && (offered & CURLAUTH_BASIC) != 0 && (offered & CURLAUTH_DIGEST) == 0;
}

bool MjpegSource::Consume(const std::uint8_t* data, std::size_t n) {
  const std::int64_t now = parts_.clock.MonotonicMicros();
  last_byte_us_ = now;
  parts_.counters.bytes.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
  if (extended_log_)
    parts_.log.Log(platform::StringPrintf(kReceived, static_cast<int>(n)),
                   core::ReportLevel::kInfo);
  finder_.Feed(data, n, parts_.ring.stream_position(), now, parts_.clock.WallMillis(),
               parts_.sessions.current(), *this);
  if (const std::int64_t added = parts_.ring.Append(data, n); added > 0)
    parts_.events.FramesIndexed(added);
  if (parts_.sessions.Wanted()) return true;
  parts_.events.StreamingSwitchedOff();
  return false;
}

void MjpegSource::EndTransfer() {
  finder_.Reset();
  if (const std::int64_t added = parts_.ring.Flush(); added > 0) parts_.events.FramesIndexed(added);
}

void MjpegSource::OnFrame(const FoundFrame& frame) {
  if (extended_log_) {
    parts_.log.Log(kSoIFound, core::ReportLevel::kInfo);
    parts_.log.Log(kEoIFound, core::ReportLevel::kInfo);
  }
  parts_.ring.AddFrame(frame);
}

void MjpegSource::OnStreamProblem(StreamProblem problem, std::int64_t detail) {
  parts_.problems.Report(problem, detail);
}

bool MjpegSource::ProbeBytes(const std::uint8_t* data, std::size_t n) {
  const std::int64_t now = parts_.clock.MonotonicMicros();
  last_byte_us_ = now;
  if (HasEndMarker(data, n)) {
    parts_.events.ProbeSawImage();
    return false;
  }
  if (now - probe_answer_us_ > kProbeAnswerUs) {
    probe_too_slow_ = true;
    return false;
  }
  return true;
}

std::size_t MjpegSource::StreamWriteCallback(char* data, std::size_t size, std::size_t count,
                                             void* self) {
  const std::size_t n = size * count;
  auto* source = static_cast<MjpegSource*>(self);
  return source->Consume(reinterpret_cast<const std::uint8_t*>(data), n) ? n : 0;
}

std::size_t MjpegSource::SkipHeaderCallback(char*, std::size_t size, std::size_t count,
                                            void* self) {
  auto* source = static_cast<MjpegSource*>(self);
  source->last_byte_us_ = source->parts_.clock.MonotonicMicros();
  return size * count;
}

std::size_t MjpegSource::ProbeHeaderCallback(char*, std::size_t size, std::size_t count,
                                             void* self) {
  auto* source = static_cast<MjpegSource*>(self);
  source->last_byte_us_ = source->probe_answer_us_ = source->parts_.clock.MonotonicMicros();
  return size * count;
}

std::size_t MjpegSource::ProbeWriteCallback(char* data, std::size_t size, std::size_t count,
                                            void* self) {
  const std::size_t n = size * count;
  auto* source = static_cast<MjpegSource*>(self);
  return source->ProbeBytes(reinterpret_cast<const std::uint8_t*>(data), n) ? n : 0;
}

int MjpegSource::ProgressCallback(void* self, std::int64_t, std::int64_t, std::int64_t,
                                  std::int64_t) {
  // Called about once a second even when nothing arrives: a transfer that
  // got no byte for the stall time-out (connecting included) is given up.
  auto* source = static_cast<MjpegSource*>(self);
  const std::int64_t silent = source->parts_.clock.MonotonicMicros() - source->last_byte_us_;
  if (silent < static_cast<std::int64_t>(source->stall_timeout_s_) * platform::kMicrosPerSecond)
    return 0;
  source->stalled_ = true;
  return 1;
}

}  // namespace acquisition
