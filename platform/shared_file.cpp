#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace platform
