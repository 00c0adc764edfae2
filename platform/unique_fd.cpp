#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

Status UniqueFd::Close() {
  if (fd_ < 0) return {};
  int fd = release();
  if (::close(fd) != 0) return Status::FromErrno(errno);
  return {};
}

namespace {

// Each write goes on where the last stopped; `write_at` does one system call.
template <typename WriteAt>
Status WriteLoop(const void* data, std::size_t size, std::size_t* written, WriteAt write_at) {
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  Status result;
  while (done < size) {
    ssize_t n = write_at(p + done, size - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // No progress and no error: call it what it nearly always is.
      if (n == 0) errno = ENOSPC;
      result = Status::FromErrno(errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (written) *written = done;
  return result;
}

}  // namespace

Status WriteAll(int fd, const void* data, std::size_t size, std::size_t* written) {
  return WriteLoop(data, size, written, [fd](const char* p, std::size_t left, std::size_t) {
    return ::write(fd, p, left);
  });
}

Status PWriteAll(int fd, const void* data, std::size_t size, off_t offset) {
  return WriteLoop(data, size, nullptr,
                   [fd, offset](const char* p, std::size_t left, std::size_t done) {
                     return ::pwrite(fd, p, left, offset + static_cast<off_t>(done));
                   });
}

Status AllocateFile(int fd, off_t size) {
  struct stat before {};
  if (fstat(fd, &before) != 0) return Status::FromErrno(errno);
  int rc;
  do rc = fallocate(fd, 0, 0, size);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) return {};
  const int error = errno;
  // A file system may keep what it took before it ran out, and a disk left
  // full by a file that could not be made whole fails every other writer:
  // the file is cut back. The failure told is the allocation's.
  const int cut = ftruncate(fd, before.st_size);
  static_cast<void>(cut);
  return Status::FromErrno(error);
}

}  // namespace platform
