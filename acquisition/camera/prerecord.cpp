// Reading images back out of the pre-record store, and writing them as JPEG files.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "acquisition/camera/camera.h"
#include "core/console.h"
#include "core/report.h"

namespace {

constexpr const char* kGetImageTrace = "get image of index %d (imIndexInFile %d) with bounds %d %d";
constexpr const char* kOutOfBoundIII = "Camera %d: ERROR: image out of bound (III)";
constexpr const char* kOutOfBoundII = "Camera %d: ERROR: image out of bound (II)";
constexpr const char* kTooBig = "Camera %d: ERROR: image too big (%d bytes, max allowed: %d bytes)";
constexpr const char* kCannotOpen = "Camera %d: ERROR: unable to open the file '%s'";
constexpr const char* kNoSoIInBuffer =
    "ERROR: Unable to find the SoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kNoEoIInBuffer =
    "ERROR: Unable to find the EoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kOpenJpegFailed = "ERROR: Unable to open the file '%s'";
constexpr const char* kShortWrite = "ERROR: Errors occur when writing '%s': %d instead of %d bytes written";
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

}  // namespace

int ChooseImageIndex(int write_index, float frame_rate, int time_back) {
  double entry = time_back > 0
                     ? std::trunc(static_cast<double>(write_index) -
                                  static_cast<double>(frame_rate) * time_back / 100.0)
                     : static_cast<double>(write_index) - 1;
  if (!std::isfinite(entry)) entry = write_index - 1;
  entry = std::fmod(entry, static_cast<double>(kImageIndexSize));
  if (entry < 0) entry += kImageIndexSize;
  return static_cast<int>(entry) % kImageIndexSize;
}

int CCamera::GetImage(int time_back, std::uint8_t* buffer, int* out_index) {
  int entry, w, s, e;
  {
    std::lock_guard<std::mutex> guard(index_lock_);
    if (!soi_) return 0;
    w = write_index_;
    entry = ChooseImageIndex(w, frame_rate_, time_back);
    if (out_index) *out_index = entry;
    s = soi_[entry];
    e = eoi_[entry];
  }
  if (extended_log_) {
    char trace[160];
    std::snprintf(trace, sizeof trace, kGetImageTrace, entry, w, e, s);
    Log(trace, 1);
  }
  if (e == -1 || s == -1) return 0;

  char message[600];
  message[0] = '\0';
  std::int64_t length = e >= s ? static_cast<std::int64_t>(e) - s
                               : static_cast<std::int64_t>(e) - s + kStreamFileSize;
  if (e >= s && length <= 0)
    std::snprintf(message, sizeof message, kOutOfBoundIII, camera_number_);
  else if (e >= s && length >= kImageBufferSize)
    std::snprintf(message, sizeof message, kTooBig, camera_number_, static_cast<int>(length),
                  kImageBufferSize);
  else if (e < s && length >= kImageBufferSize)
    std::snprintf(message, sizeof message, kOutOfBoundII, camera_number_);
  int fd = -1;
  if (!message[0]) {
    fd = open(stream_file_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      std::snprintf(message, sizeof message, kCannotOpen, camera_number_, stream_file_path_.c_str());
  }
  if (message[0]) {
    ConsoleLog(message, 2);
    Log(message, 1);
    return -1;
  }
  int got;
  if (e >= s) {
    got = ReadAt(fd, buffer, length, s);
  } else {
    got = ReadAt(fd, buffer, kStreamFileSize - s, s);
    got += ReadAt(fd, buffer + got, e, 0);
  }
  close(fd);
  return got;
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
    ReportToInterfaceF(3, kNoSoIInBuffer, path.c_str(), count,
                       count >= 1 ? Widened(buffer[0]) : 0u, count >= 2 ? Widened(buffer[1]) : 0u);
    return -1;
  }
  if (!end) {
    ReportToInterfaceF(3, kNoEoIInBuffer, path.c_str(), count, Widened(buffer[count - 1]),
                       Widened(buffer[count - 2]));
    return -1;
  }
  auto create = [&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); };
  auto write_all = [&](int fd) {
    int done = 0;
    while (done < count) {
      ssize_t n = write(fd, buffer + done, static_cast<std::size_t>(count - done));
      if (n <= 0) break;
      done += static_cast<int>(n);
    }
    return done;
  };
  int fd = create();
  if (fd < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    ReportToInterfaceF(3, kOpenJpegFailed, path.c_str());
    return -1;
  }
  int written = write_all(fd);
  if (written < count) {
    // A full disk may have room a moment later: one more try from the start.
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    close(fd);
    fd = create();
    if (fd < 0) {
      ReportToInterfaceF(3, kOpenJpegFailed, path.c_str());
      return -1;
    }
    written = write_all(fd);
    if (written < count) {
      ReportToInterfaceF(3, kShortWrite, path.c_str(), written, count);
      if (close(fd) != 0) ReportToInterfaceF(3, kCloseJpegFailed, path.c_str());
      return -1;
    }
  }
  if (close(fd) != 0) ReportToInterfaceF(3, kCloseJpegFailed, path.c_str());
  return 0;
}
