// Reading images back out of the pre-record store, and writing them as JPEG files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "acquisition/camera/camera.h"
#include "core/console.h"
#include "core/report.h"
#include "platform/clock.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char* kGetImageTrace = "get image of index %d (imIndexInFile %d) with bounds %d %d";
constexpr const char* kOutOfBoundIII = "Camera %d: ERROR: image out of bound (III)";
constexpr const char* kOutOfBoundII = "Camera %d: ERROR: image out of bound (II)";
constexpr const char* kTooBig = "Camera %d: ERROR: image too big (%d bytes, max allowed: %d bytes)";
constexpr const char* kOverwritten =
    "Camera %d: ERROR: the image begun at %s is no longer in the stream file (overwritten by the "
    "ring)";
constexpr const char* kNotWhole =
    "Camera %d: ERROR: the image begun at %s does not read back as one whole JPEG image";
// The frame rate shown is that of the last 10 seconds of frames, once they
// span a second.
constexpr std::int64_t kFrameRateWindowUs = 10 * 1000000LL;
constexpr std::int64_t kMinFrameRateSpanUs = 1000000;
constexpr const char* kCannotOpen = "Camera %d: ERROR: unable to open the file '%s'";
constexpr const char* kNoSoIInBuffer =
    "ERROR: Unable to find the SoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kNoEoIInBuffer =
    "ERROR: Unable to find the EoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kOpenJpegFailed = "ERROR: Unable to open the file '%s'";
constexpr const char* kShortWrite =
    "ERROR: Errors occur when writing '%s': %d instead of %d bytes written";
constexpr const char* kCloseJpegFailed = "ERROR: can not close the file %s";
constexpr int kRetryPauseMs = 10;

// Bytes shown in the marker messages are widened as signed characters, so
// 0xFF shows as ffffffff.
unsigned Widened(std::uint8_t byte) {
  return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(byte)));
}

// Reads exactly what it can of `length` bytes at `offset`.
int ReadAt(int fd, std::uint8_t* buffer, std::int64_t length, std::int64_t offset) {
  std::int64_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, static_cast<std::size_t>(length - done), offset + done);
    if (n <= 0) break;
    done += n;
  }
  return static_cast<int>(done);
}

// "hh:mm:ss.mmm" of a wall-clock moment, for messages.
std::string WallText(std::int64_t wall_ms) {
  std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return platform::StringPrintf("%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                                static_cast<int>(wall_ms % 1000));
}

}  // namespace

bool CCamera::FindFrame(FrameSearch search, std::int64_t wanted_us, std::uint32_t session,
                        FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  std::int64_t n = search == FrameSearch::kAtOrBefore ? index_.UpperBound(session, wanted_us) - 1
                                                      : index_.LowerBound(session, wanted_us);
  if (n < index_.first() || n >= index_.next() || index_.At(n).session != session) return false;
  out->number = n;
  out->entry = index_.At(n);
  return true;
}

bool CCamera::FrameByNumber(std::int64_t number, FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  if (number < index_.first() || number >= index_.next()) return false;
  out->number = number;
  out->entry = index_.At(number);
  return true;
}

bool CCamera::FirstFrame(std::uint32_t session, FrameRef* out) {
  return FindFrame(FrameSearch::kAtOrAfter, INT64_MIN, session, out);
}

bool CCamera::WaitForFrameAfter(std::int64_t after_us, std::uint32_t session,
                                std::int64_t deadline_us) {
  platform::MutexLock lock(index_lock_);
  ++frame_waiters_;
  bool found = false;
  for (;;) {
    if (!index_.empty()) {
      const FrameEntry& newest = index_.At(index_.next() - 1);
      if (newest.session > session || (newest.session == session && newest.begin_us > after_us)) {
        found = true;
        break;
      }
    }
    std::int64_t left = deadline_us - clock_.MonotonicMicros();
    if (left <= 0) break;
    frame_indexed_.WaitFor(index_lock_, std::chrono::microseconds(left));
  }
  --frame_waiters_;
  return found;
}

bool CCamera::RecentFrameRate(float* rate) {
  platform::MutexLock guard(index_lock_);
  if (index_.empty()) return false;
  std::int64_t last = index_.next() - 1;
  std::int64_t newest = index_.At(last).begin_us;
  std::int64_t first = index_.FirstFrom(newest - kFrameRateWindowUs);
  std::int64_t span = newest - index_.At(first).begin_us;
  if (span < kMinFrameRateSpanUs) return false;
  *rate = static_cast<float>(static_cast<double>(last - first) * 1e6 / static_cast<double>(span));
  return true;
}

int CCamera::ReadFrame(const FrameRef& frame, std::uint8_t* buffer, std::string* message) {
  const FrameEntry& f = frame.entry;
  const std::int64_t s = f.start % kStreamFileSize;
  const std::int64_t e = (f.start + f.length) % kStreamFileSize;
  if (extended_log_) {
    char trace[160];
    std::snprintf(trace, sizeof trace, kGetImageTrace,
                  static_cast<int>(frame.number % kImageIndexSize),
                  static_cast<int>(next_frame_number() % kImageIndexSize), static_cast<int>(e),
                  static_cast<int>(s));
    Log(trace, ReportLevel::kInfo);
  }
  if (f.length <= 0) {
    *message = platform::StringPrintf(kOutOfBoundIII, camera_number_);
  } else if (f.length >= kImageBufferSize && e < s) {
    *message = platform::StringPrintf(kOutOfBoundII, camera_number_);
  } else if (f.length >= kImageBufferSize) {
    *message = platform::StringPrintf(kTooBig, camera_number_, static_cast<int>(f.length),
                                      kImageBufferSize);
  } else if (f.start < overwrite_limit_.load()) {
    *message =
        platform::StringPrintf(kOverwritten, camera_number_, WallText(f.begin_wall_ms).c_str());
  } else {
    platform::UniqueFd fd(open(stream_file_path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      *message = platform::StringPrintf(kCannotOpen, camera_number_, stream_file_path_.c_str());
      return -1;
    }
    std::int64_t tail = std::min<std::int64_t>(f.length, kStreamFileSize - s);
    int got = ReadAt(fd.get(), buffer, tail, s);
    if (got == tail && tail < f.length) got += ReadAt(fd.get(), buffer + got, f.length - tail, 0);
    // The writer may have reached the frame while it was read: then the
    // bytes are no longer all of it.
    if (f.start < overwrite_limit_.load())
      *message =
          platform::StringPrintf(kOverwritten, camera_number_, WallText(f.begin_wall_ms).c_str());
    else if (got != f.length)
      *message =
          platform::StringPrintf(kNotWhole, camera_number_, WallText(f.begin_wall_ms).c_str());
    else
      return got;
  }
  return -1;
}

int CCamera::GetImage(const FrameRef& frame, std::uint8_t* buffer) {
  std::string message;
  int got = ReadFrame(frame, buffer, &message);
  if (got >= 0 && (got < 4 || buffer[0] != 0xFF || buffer[1] != 0xD8 || buffer[got - 2] != 0xFF ||
                   buffer[got - 1] != 0xD9))
    message = platform::StringPrintf(kNotWhole, camera_number_,
                                     WallText(frame.entry.begin_wall_ms).c_str());
  if (message.empty()) return got;
  ConsoleLog(message, ConsoleLevel::kError);
  Log(message, ReportLevel::kInfo);
  return -1;
}

bool CCamera::KeyFrameAtOrBefore(std::int64_t number, FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  if (number < index_.first() || number >= index_.next()) return false;
  const std::uint16_t codec = index_.At(number).codec;
  // A group of pictures is rarely longer than a few hundred frames; the
  // walk back stops at the first frame of other parameters.
  for (std::int64_t n = number; n >= index_.first(); --n) {
    const FrameEntry& entry = index_.At(n);
    if (entry.codec != codec) return false;
    if (entry.key) {
      out->number = n;
      out->entry = entry;
      return true;
    }
  }
  return false;
}

int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count) {
  bool start = false, end = false;
  for (int i = 0; i + 1 < count; ++i) {
    if (buffer[i] != 0xFF) continue;
    if (buffer[i + 1] == 0xD8) start = true;
    if (buffer[i + 1] == 0xD9) end = true;
  }
  if (count <= 1 || !start) {
    // With fewer than two bytes the second byte is not the image's: show 0.
    ReportToInterfaceF(ReportLevel::kError, kNoSoIInBuffer, path.c_str(), count,
                       count >= 1 ? Widened(buffer[0]) : 0u, count >= 2 ? Widened(buffer[1]) : 0u);
    return -1;
  }
  if (!end) {
    ReportToInterfaceF(ReportLevel::kError, kNoEoIInBuffer, path.c_str(), count,
                       Widened(buffer[count - 1]), Widened(buffer[count - 2]));
    return -1;
  }
  auto create = [&] {
    return platform::UniqueFd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  };
  const std::size_t size = static_cast<std::size_t>(count);
  std::size_t written = 0;
  platform::UniqueFd fd = create();
  if (!fd.valid()) {
    platform::SleepMs(kRetryPauseMs);
    ReportToInterfaceF(ReportLevel::kError, kOpenJpegFailed, path.c_str());
    return -1;
  }
  if (!platform::WriteAll(fd.get(), buffer, size, &written)) {
    // A full disk may have room a moment later: one more try from the start.
    platform::SleepMs(kRetryPauseMs);
    fd = create();
    if (!fd.valid()) {
      ReportToInterfaceF(ReportLevel::kError, kOpenJpegFailed, path.c_str());
      unlink(path.c_str());
      return -1;
    }
    if (!platform::WriteAll(fd.get(), buffer, size, &written)) {
      ReportToInterfaceF(ReportLevel::kError, kShortWrite, path.c_str(), static_cast<int>(written),
                         count);
      if (!fd.Close()) ReportToInterfaceF(ReportLevel::kError, kCloseJpegFailed, path.c_str());
      // What did get written is a torn image under the image's name: the
      // alarm server would take it for the picture. The image counts as an
      // error, so no file is the truth.
      unlink(path.c_str());
      return -1;
    }
  }
  if (!fd.Close()) {
    // A close that fails may have lost written data (a full disk seen only
    // now, a network file system): the file is not trusted either.
    ReportToInterfaceF(ReportLevel::kError, kCloseJpegFailed, path.c_str());
    unlink(path.c_str());
    return -1;
  }
  return 0;
}
