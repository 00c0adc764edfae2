#include "acquisition/camera/jpeg_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/report.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace acquisition {

namespace {

constexpr const char* kNoSoIInBuffer =
    "ERROR: Unable to find the SoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kNoEoIInBuffer =
    "ERROR: Unable to find the EoI in the buffer for writing '%s' (nb Bytes %d -%x %x)";
constexpr const char* kOpenJpegFailed = "ERROR: Unable to open the file '%s'";
constexpr const char* kShortWrite =
    "ERROR: Errors occur when writing '%s': %d instead of %d bytes written";
constexpr const char* kCloseJpegFailed = "ERROR: can not close the file %s";
constexpr const char* kRenameJpegFailed = "ERROR: Unable to rename '%s' to '%s'";
constexpr const char* kTemporaryFormat = "%s.%s.%d-%d.tmp";
constexpr int kRetryPauseMs = 10;
// Names tried for the temporary file before giving up: a name is taken only
// by a file a killed run left behind.
constexpr int kTemporaryNameTries = 100;

// Bytes shown in the marker messages are widened as signed characters, so
// 0xFF shows as ffffffff.
unsigned Widened(std::uint8_t byte) {
  return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(byte)));
}

// True when the image holds both markers; otherwise false after a message.
bool HasBothMarkers(const std::string& path, const std::uint8_t* buffer, int count) {
  bool start = false, end = false;
  for (int i = 0; i + 1 < count; ++i) {
    if (buffer[i] != 0xFF) continue;
    if (buffer[i + 1] == 0xD8) start = true;
    if (buffer[i + 1] == 0xD9) end = true;
  }
  if (count <= 1 || !start) {
    // With fewer than two bytes the second byte is not the image's: show 0.
    core::ReportToInterfaceF(core::ReportLevel::kError, kNoSoIInBuffer, path.c_str(), count,
                             count >= 1 ? Widened(buffer[0]) : 0u,
                             count >= 2 ? Widened(buffer[1]) : 0u);
    return false;
  }
  if (!end) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kNoEoIInBuffer, path.c_str(), count,
                             Widened(buffer[count - 1]), Widened(buffer[count - 2]));
    return false;
  }
  return true;
}

// A new file in the folder of `path`, its name in `temporary`: hidden,
// named after the image and the writing thread, created exclusively and
// never through a symbolic link. Invalid when none could be made.
platform::UniqueFd CreateTemporary(const std::string& path, std::string* temporary) {
  const std::size_t slash = path.rfind('/');
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const std::string folder = path.substr(0, name_at);
  const std::string name = path.substr(name_at);
  for (int k = 0; k < kTemporaryNameTries; ++k) {
    *temporary = platform::StringPrintf(kTemporaryFormat, folder.c_str(), name.c_str(),
                                        static_cast<int>(gettid()), k);
    platform::UniqueFd fd(
        open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return platform::UniqueFd();
}

// Writes the whole image into `fd`, trying once more from the start after a
// short pause; false after a message.
bool WriteWhole(const std::string& path, int fd, const std::uint8_t* buffer, int count) {
  const std::size_t size = static_cast<std::size_t>(count);
  std::size_t written = 0;
  if (platform::WriteAll(fd, buffer, size, &written)) return true;
  // A full disk may have room a moment later.
  platform::SleepMs(kRetryPauseMs);
  if (ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 &&
      platform::WriteAll(fd, buffer, size, &written))
    return true;
  core::ReportToInterfaceF(core::ReportLevel::kError, kShortWrite, path.c_str(),
                           static_cast<int>(written), count);
  return false;
}

}  // namespace

// The image is written into a temporary file of its own and renamed onto
// its name, so the name only ever holds a whole image: another job writing
// the same name (an alarm sent twice) never mixes its bytes in, a failure
// removes only this writer's file, and a symbolic link at the name is
// replaced, never written through.
int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count) {
  if (!HasBothMarkers(path, buffer, count)) return -1;
  std::string temporary;
  platform::UniqueFd fd = CreateTemporary(path, &temporary);
  if (!fd.valid()) {
    platform::SleepMs(kRetryPauseMs);
    core::ReportToInterfaceF(core::ReportLevel::kError, kOpenJpegFailed, path.c_str());
    return -1;
  }
  bool whole = WriteWhole(path, fd.get(), buffer, count);
  // A close that fails may have lost written data (a full disk seen only
  // now, a network file system): the file is not trusted either.
  if (!fd.Close()) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kCloseJpegFailed, path.c_str());
    whole = false;
  }
  if (whole && rename(temporary.c_str(), path.c_str()) == 0) return 0;
  if (whole)
    core::ReportToInterfaceF(core::ReportLevel::kError, kRenameJpegFailed, temporary.c_str(),
                             path.c_str());
  unlink(temporary.c_str());
  return -1;
}

}  // namespace acquisition
