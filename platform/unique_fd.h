#pragma once
// A file descriptor owned by one object and closed when it goes, on every
// path, so no early return leaks one and none is closed twice (a second
// close could hit a descriptor another thread has just been given).
#include <sys/types.h>

#include <cstddef>

#include "platform/status.h"

namespace platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the one held (its result ignored) and holds `fd`.
  void reset(int fd = -1);
  // Closes now; a failure (with its errno) when close reports an error,
  // which for a file just written may mean its data did not all reach the disk.
  Status Close();

 private:
  int fd_ = -1;
};

// Writes all `size` bytes, going on after short writes and signals. A
// failure carries the errno of the write that failed (a full disk gives
// ENOSPC); `written`, when given, receives how many bytes did get written.
Status WriteAll(int fd, const void* data, std::size_t size, std::size_t* written = nullptr);
// The same at `offset`, leaving the file position alone.
Status PWriteAll(int fd, const void* data, std::size_t size, off_t offset);
// Takes the disk room of the file's first `size` bytes now (fallocate; the
// file is at least `size` bytes long after it), so a disk that cannot hold
// the file is known before anything is written. A failure carries the errno
// (ENOSPC: the disk is too full; EOPNOTSUPP: its file system cannot take
// room ahead) and leaves the file at its size before, the room taken so far
// given back.
Status AllocateFile(int fd, off_t size);

}  // namespace platform
