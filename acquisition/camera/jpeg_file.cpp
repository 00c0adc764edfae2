#include "acquisition/camera/jpeg_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/report.h"
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
constexpr int kRetryPauseMs = 10;

// Bytes shown in the marker messages are widened as signed characters, so
// 0xFF shows as ffffffff.
unsigned Widened(std::uint8_t byte) {
  return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(byte)));
}

}  // namespace

int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count) {
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
    return -1;
  }
  if (!end) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kNoEoIInBuffer, path.c_str(), count,
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
    core::ReportToInterfaceF(core::ReportLevel::kError, kOpenJpegFailed, path.c_str());
    return -1;
  }
  if (!platform::WriteAll(fd.get(), buffer, size, &written)) {
    // A full disk may have room a moment later: one more try from the start.
    platform::SleepMs(kRetryPauseMs);
    fd = create();
    if (!fd.valid()) {
      core::ReportToInterfaceF(core::ReportLevel::kError, kOpenJpegFailed, path.c_str());
      unlink(path.c_str());
      return -1;
    }
    if (!platform::WriteAll(fd.get(), buffer, size, &written)) {
      core::ReportToInterfaceF(core::ReportLevel::kError, kShortWrite, path.c_str(),
                               static_cast<int>(written), count);
      if (!fd.Close())
        core::ReportToInterfaceF(core::ReportLevel::kError, kCloseJpegFailed, path.c_str());
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
    core::ReportToInterfaceF(core::ReportLevel::kError, kCloseJpegFailed, path.c_str());
    unlink(path.c_str());
    return -1;
  }
  return 0;
}

}  // namespace acquisition
