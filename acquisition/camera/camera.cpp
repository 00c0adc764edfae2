#include "acquisition/camera/camera.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "acquisition/status_file.h"
#include "core/console.h"
#include "monitor/interface.h"
#include "platform/thread.h"
#include "platform/strings.h"

namespace {

constexpr const char* kNoSoI = "Unable to allocate SoI - not enough memory";
constexpr const char* kNoEoI = "Unable to allocate EoI - not enough memory";
constexpr const char* kDurationStarted = "Streaming MJPEG Duration Thread started";
constexpr const char* kSocketStarted = "socket on stream '%s' started";
constexpr const char* kSocketClosed = "socket on stream '%s' closed";
constexpr const char* kThreadStarted = "Streaming MJPEG Thread started for camera %d (%s)";
constexpr const char* kCurlError = "Curl error on stream %s (%s): %s";
constexpr const char* kAlive = ">";
constexpr const char* kProbeTooSlow = "Camera %d: ERROR: unable to get a mjpeg stream within 2 seconds!";
constexpr const char* kReceived = "..Received %d bytes from camera";
constexpr const char* kOpenFailed = "ERROR: opening file id %x";
constexpr const char* kCloseFailed = "ERROR: closing file id %x";
constexpr const char* kSoIFound = "..SoI found";
constexpr const char* kEoIFound = "..EoI found";
constexpr const char* kNoInterface =
    "Houston, the problem is that myInterface is undefined and therefore we cannot write to the "
    "InterfaceMonitor.\n";
constexpr const char* kCameraLogFormat = "./LOG/Ocelam_%d_%04d%02d%02d.log";
constexpr const char* kUrlFormat = "http://%s:%d%s";
constexpr std::size_t kUrlMax = 1023;
constexpr std::size_t kInterfaceLineMax = 1023;
constexpr int kProbeAnswerSeconds = 2;

constexpr std::uint8_t kSoIMarker[2] = {0xFF, 0xD8};
constexpr std::uint8_t kEoIMarker[2] = {0xFF, 0xD9};

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::once_flag g_curl_init;

}  // namespace

const std::uint8_t* FindBytes(const std::uint8_t* start, const std::uint8_t* pattern,
                              std::size_t range, std::size_t pattern_length) {
  if (pattern_length == 0 || pattern_length > range) return nullptr;
  const std::uint8_t* end = start + range - pattern_length + 1;
  for (const std::uint8_t* p = start; p < end;) {
    p = static_cast<const std::uint8_t*>(std::memchr(p, pattern[0], static_cast<std::size_t>(end - p)));
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
  file_position_ = 0;
  soi_.reset(new (std::nothrow) std::int32_t[kImageIndexSize]);
  if (!soi_) {
    Log(kNoSoI, 3);
    return -1;
  }
  eoi_.reset(new (std::nothrow) std::int32_t[kImageIndexSize]);
  if (!eoi_) {
    Log(kNoEoI, 3);
    return -1;
  }
  block_.reset(new (std::nothrow) std::uint8_t[kStreamBlockSize]);
  if (!block_) return -1;
  std::lock_guard<std::mutex> guard(index_lock_);
  std::fill_n(soi_.get(), kImageIndexSize, -1);
  std::fill_n(eoi_.get(), kImageIndexSize, -1);
  last_alive_.store(0);
  return 0;
}

std::string CCamera::Url() const {
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
    ok = platform::StartThread([this] { StreamingDurationThread(); });
  } else {
    streaming_.store(1);
  }
  return platform::StartThread([this] { StreamingThread(); }) && ok;
}

void CCamera::StartStreaming(int seconds) {
  remaining_seconds_.store(seconds);
  streaming_.store(1);
}

bool CCamera::HasImage() {
  std::lock_guard<std::mutex> guard(index_lock_);
  return write_index_ > 0;
}

float CCamera::frame_rate() {
  std::lock_guard<std::mutex> guard(index_lock_);
  return frame_rate_;
}

int CCamera::image_count() {
  std::lock_guard<std::mutex> guard(index_lock_);
  return image_count_;
}

int CCamera::write_index() {
  std::lock_guard<std::mutex> guard(index_lock_);
  return write_index_;
}

std::pair<int, int> CCamera::Bounds(int entry) {
  std::lock_guard<std::mutex> guard(index_lock_);
  if (!soi_ || entry < 0 || entry >= kImageIndexSize) return {-1, -1};
  return {soi_[entry], eoi_[entry]};
}

void CCamera::Log(std::string_view text, int level) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char file[96];
  // Year, day of month, month: the order operators know these names by.
  std::snprintf(file, sizeof file, kCameraLogFormat, camera_number_, tm.tm_year + 1900, tm.tm_mday,
                tm.tm_mon + 1);
  if (FILE* f = std::fopen(file, "ab")) {
    std::fprintf(f, "%02d:%02d:%02d %.*s\n", tm.tm_hour, tm.tm_min, tm.tm_sec,
                 static_cast<int>(text.size()), text.data());
    std::fclose(f);
  }
  if (!interface) {
    std::fputs(kNoInterface, stdout);
    return;
  }
  std::string line = "(" + stream_name_ + "): " + std::string(text);
  if (line.size() > kInterfaceLineMax) line.resize(kInterfaceLineMax);
  interface->Log(line.data(), level);
}

bool CCamera::RefreshDue() const {
  return configured_.load() == 1 &&
         std::time(nullptr) - last_alive_.load() >= kProbeIntervalSeconds;
}

void CCamera::Refresh(bool with_fps) {
  last_alive_.store(std::time(nullptr));
  WriteStatusTime(camera_number_, kStatusCamStatus);
  Log(kAlive, 1);
  if (with_fps) WriteStreamFps(camera_number_, frame_rate());
  watchdog_countdown_.store(watchdog_timeout_.load() * 60);
}

bool CCamera::ConsumeStream(const std::uint8_t* data, std::size_t n) {
  if (extended_log_) Log(platform::StringPrintf(kReceived, static_cast<int>(n)), 1);
  // A chunk larger than one block (never from libcurl's default buffer, but
  // possible from other callers) is taken block by block so nothing is lost.
  while (n > 0) {
    std::size_t space = kStreamBlockSize - block_fill_;
    std::size_t take = n < space ? n : space;
    std::memcpy(block_.get() + block_fill_, data, take);
    block_fill_ += take;
    data += take;
    n -= take;
    if (block_fill_ == kStreamBlockSize) {
      FlushBlock();
      block_fill_ = 0;
    }
  }
  if (streaming_.load() == 1) return true;
  WriteStreamingState(camera_number_, 0);
  Log(platform::StringPrintf(kSocketClosed, stream_name_.c_str()), 1);
  return false;
}

void CCamera::FlushBlock() {
  // Opened and closed around every block, so other threads and processes can
  // read the stream file at any time.
  int fd = open(stream_file_path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) Log(platform::StringPrintf(kOpenFailed, fd), 3);
  const std::uint8_t* block = block_.get();
  std::int64_t to_end = kStreamFileSize - file_position_;
  if (fd >= 0) {
    if (to_end < static_cast<std::int64_t>(kStreamBlockSize)) {
      // The ring's end does not fall on a block boundary: tail here, head at 0.
      [[maybe_unused]] ssize_t a = pwrite(fd, block, static_cast<std::size_t>(to_end), file_position_);
      [[maybe_unused]] ssize_t b = pwrite(fd, block + to_end, kStreamBlockSize - static_cast<std::size_t>(to_end), 0);
    } else {
      [[maybe_unused]] ssize_t a = pwrite(fd, block, kStreamBlockSize, file_position_);
    }
    if (close(fd) != 0) Log(platform::StringPrintf(kCloseFailed, fd), 3);
  }
  ScanBlock();
  file_position_ = (file_position_ + static_cast<std::int64_t>(kStreamBlockSize)) % kStreamFileSize;
}

void CCamera::ScanBlock() {
  const std::uint8_t* block = block_.get();
  std::size_t pos = 0;
  bool image_ended = false;
  for (;;) {
    if (!inside_image_) {
      const std::uint8_t* p = FindBytes(block + pos, kSoIMarker, kStreamBlockSize - pos, 2);
      if (!p) break;
      pos = static_cast<std::size_t>(p - block);
      if (extended_log_) Log(kSoIFound, 1);
      {
        std::lock_guard<std::mutex> guard(index_lock_);
        ++image_count_;
        double elapsed = NowSeconds() - start_time_.load();
        // Within the first second the count itself stands for the rate, so
        // the rate stays finite and the time-back lookup stays in the ring.
        frame_rate_ = elapsed >= 1.0 ? static_cast<float>(image_count_ / elapsed)
                                     : static_cast<float>(image_count_);
        soi_[write_index_] = static_cast<std::int32_t>((file_position_ + static_cast<std::int64_t>(pos)) % kStreamFileSize);
      }
      inside_image_ = 1;
    }
    const std::uint8_t* p = FindBytes(block + pos, kEoIMarker, kStreamBlockSize - pos, 2);
    if (!p) break;
    pos = static_cast<std::size_t>(p - block);
    if (extended_log_) Log(kEoIFound, 1);
    {
      std::lock_guard<std::mutex> guard(index_lock_);
      eoi_[write_index_] = static_cast<std::int32_t>((file_position_ + static_cast<std::int64_t>(pos) + 2) % kStreamFileSize);
      write_index_ = (write_index_ + 1) % kImageIndexSize;
    }
    inside_image_ = 0;
    image_ended = true;
  }
  // A stream whose frames keep arriving is alive: refresh while the transfer
  // runs instead of only when it ends, so a healthy permanent camera never
  // raises its watchdog alarm.
  if (image_ended && RefreshDue()) Refresh(true);
}

std::size_t CCamera::StreamWriteCallback(char* data, std::size_t size, std::size_t count, void* self) {
  std::size_t n = size * count;
  auto* camera = static_cast<CCamera*>(self);
  return camera->ConsumeStream(reinterpret_cast<const std::uint8_t*>(data), n) ? n : 0;
}

std::size_t CCamera::SkipHeaderCallback(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

std::size_t CCamera::ProbeHeaderCallback(char*, std::size_t size, std::size_t count, void* self) {
  static_cast<CCamera*>(self)->start_time_.store(NowSeconds());
  return size * count;
}

std::size_t CCamera::ProbeWriteCallback(char* data, std::size_t size, std::size_t count, void* self) {
  std::size_t n = size * count;
  auto* camera = static_cast<CCamera*>(self);
  if (FindBytes(reinterpret_cast<const std::uint8_t*>(data), kEoIMarker, n, 2)) {
    camera->Refresh(false);
    return 0;
  }
  if (NowSeconds() - camera->start_time_.load() > kProbeAnswerSeconds) {
    camera->Log(platform::StringPrintf(kProbeTooSlow, camera->camera_number_), 1);
    return 0;
  }
  return n;
}

void CCamera::StreamingDurationThread() {
  Log(kDurationStarted, 1);
  for (;;) {
    while (remaining_seconds_.load() > 0) {
      streaming_.store(1);
      SleepMs(1000);
      remaining_seconds_.fetch_sub(1);
    }
    streaming_.store(0);
    SleepMs(100);
  }
}

void CCamera::StreamingThread() {
  start_time_.store(NowSeconds());
  block_fill_ = 0;
  {
    std::lock_guard<std::mutex> guard(index_lock_);
    write_index_ = 0;
    eoi_[0] = soi_[0] = -1;
    image_count_ = 0;
  }
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

  auto transfer = [&](bool probe) {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, probe ? ProbeWriteCallback : StreamWriteCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, probe ? ProbeHeaderCallback : SkipHeaderCallback);
    error[0] = '\0';
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK || rc == CURLE_WRITE_ERROR) return true;
    Log(platform::StringPrintf(kCurlError, stream_name_.c_str(), url.c_str(), error[0] ? error : curl_easy_strerror(rc)), 1);
    return false;
  };

  for (;;) {
    if (streaming_.load() == 1) {
      struct stat st{};
      if (stat(stream_file_path_.c_str(), &st) != 0) {
        int fd = open(stream_file_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) close(fd);
      }
      Log(platform::StringPrintf(kSocketStarted, stream_name_.c_str()), 1);
      std::string started = platform::StringPrintf(kThreadStarted, camera_number_, url.c_str());
      Log(started, 1);
      ConsoleLog(started, 1);
      while (streaming_.load() == 1) {
        if (!transfer(false)) SleepMs(1000);
        if (RefreshDue()) Refresh(true);
        SleepMs(500);
      }
    } else if (RefreshDue()) {
      transfer(true);
    }
    SleepMs(500);
  }
}
