#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/strings.h"

namespace platform {
namespace {

constexpr const char* kLinkRefused = "%s: a symbolic link, not followed";
constexpr const char* kNotRegular =
    "%s: not a regular file (a FIFO, a device or a folder), left alone";
// The error number of the second refusal: open itself never gives it for a
// well-formed call, so IsRefusedName can tell it from the system's failures.
constexpr int kNotRegularError = EINVAL;
constexpr mode_t kNoSpecialBits = 0777;

Status NotRegular(const std::string& path) {
  return Status::Failure(StringPrintf(kNotRegular, path.c_str()), kNotRegularError);
}

}  // namespace

Result<UniqueFd> OpenRegularFile(const std::string& path, int flags, mode_t mode) {
  // O_TRUNC would cut whatever the name holds before fstat could look at it;
  // it is done once the file is known to be a regular one.
  const bool truncate = (flags & O_TRUNC) != 0;
  UniqueFd fd(::open(path.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                     mode & kNoSpecialBits));
  if (!fd.valid()) {
    const int error = errno;
    if (error == ELOOP) return Status::Failure(StringPrintf(kLinkRefused, path.c_str()), ELOOP);
    // A FIFO nobody reads, a device without its driver, a folder.
    if (error == ENXIO || error == ENODEV || error == EISDIR) return NotRegular(path);
    return Status::FromErrno(error, path);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Status::FromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return NotRegular(path);
  const int status_flags = fcntl(fd.get(), F_GETFL);
  if (status_flags < 0 || fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0)
    return Status::FromErrno(errno, path);
  if (truncate && ftruncate(fd.get(), 0) != 0) return Status::FromErrno(errno, path);
  return fd;
}

Result<UniqueFd> OpenForAppend(const std::string& path) {
  return OpenRegularFile(path, O_WRONLY | O_CREAT | O_APPEND);
}

bool IsRefusedName(const Status& status) {
  return !status.ok() && (status.error() == ELOOP || status.error() == kNotRegularError);
}

namespace {

// The umask the process started with, read once. Asking umask() itself means
// setting it, and the umask is shared by every thread: another thread creating
// a file in between would get the wrong mode. Without /proc the usual 022.
mode_t ReadUmask() {
  mode_t mask = 022;
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "Umask:", 6) == 0) {
        mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8)) & 0777;
        break;
      }
    }
    std::fclose(f);
  }
  return mask;
}

}  // namespace

mode_t NewFileMode() {
  static const mode_t mode = 0666 & ~ReadUmask();
  return mode;
}

namespace {
// Read while the process starts, before any thread of ours exists.
[[maybe_unused]] const mode_t g_new_file_mode = NewFileMode();
}  // namespace

}  // namespace platform
