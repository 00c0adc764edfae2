#include "platform/held_temporary.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <limits>

namespace platform {
namespace {
constexpr int kAttempts = 100;

// The two bytes of the hold, the last an offset can name: no temporary is
// ever that long, so no read or write of one meets them.
constexpr off_t kWritingByte = std::numeric_limits<off_t>::max() - 1;
constexpr off_t kHeldByte = std::numeric_limits<off_t>::max() - 2;

struct flock OneByte(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// An open file description lock of `fd` on `byte`: it belongs to this
// descriptor alone (not to the process, as a record lock would) and goes
// when its last copy is closed.
bool LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock lock = OneByte(type, byte);
  int rc;
  do {
    rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// True when a descriptor other than `fd` locks `byte` (or when that cannot
// be known).
bool LockedByAnother(int fd, off_t byte) {
  struct flock lock = OneByte(F_WRLCK, byte);
  return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}
}  // namespace

HeldTemporary::~HeldTemporary() { CloseAll(); }

void HeldTemporary::CloseAll() {
  if (fd_ >= 0) close(fd_);
  if (hold_ >= 0) close(hold_);
  fd_ = hold_ = -1;
}

Status HeldTemporary::CloseWriting() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && close(fd) != 0) return Status::FromErrno(errno);
  return {};
}

// Takes the writer's hold on the file just made. A start-up clean-up may
// have removed the name between the create and the lock (it found it not
// held): then the file is gone and the caller makes another one. The
// clean-up decides while it holds a read lock on the writing byte, so the
// wait for the write lock ends only once it is done.
bool HeldTemporary::Hold(const std::string& path) {
  if (!LockByte(fd_, F_WRLCK, kWritingByte, true)) return true;  // no locks here: nothing to tell
  // Someone who writes the folder may have put a FIFO in the file's place
  // meanwhile: the open must not wait for its writer (the inode check below
  // then tells it is not ours).
  hold_ = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (hold_ < 0) return errno != ENOENT;  // gone: made again; unreadable: written unheld
  if (!LockByte(hold_, F_RDLCK, kHeldByte, false)) return true;
  struct stat held {
  }, written{};
  return fstat(hold_, &held) == 0 && fstat(fd_, &written) == 0 && held.st_nlink > 0 &&
         held.st_ino == written.st_ino && held.st_dev == written.st_dev;
}

Status HeldTemporary::Create(std::string& pattern, int suffix_length) {
  const std::string original = pattern;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    CloseAll();
    pattern = original;
    // mkostemps opens with O_CREAT | O_EXCL.
    fd_ = mkostemps(pattern.data(), suffix_length, O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) return Status::FromErrno(errno, original);
    if (Hold(pattern)) return {};
  }
  CloseAll();
  return Status::FromErrno(EAGAIN, original);
}

Status HeldTemporary::CreateNamed(const std::string& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    CloseAll();
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) return Status::FromErrno(errno, path);
    if (Hold(path)) return {};
  }
  CloseAll();
  return Status::FromErrno(EAGAIN, path);
}

int RemoveLeftTemporaries(const std::string& directory,
                          bool (*is_temporary)(std::string_view name)) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return 0;
  int removed = 0;
  int dfd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (!is_temporary(entry->d_name)) continue;
    int fd = openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {
    }, named{};
    // Unheld: its writer is gone. Removed while our read lock on the
    // writing byte keeps a writer that made it a moment ago from locking it
    // (it then finds it unlinked and makes another); and only while the
    // name is still this file (a writer done meanwhile has renamed it away).
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && LockByte(fd, F_RDLCK, kWritingByte, false) &&
        !LockedByAnother(fd, kHeldByte) &&
        fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == st.st_ino && named.st_dev == st.st_dev &&
        unlinkat(dfd, entry->d_name, 0) == 0)
      ++removed;
    close(fd);
  }
  closedir(dir);
  return removed;
}

bool IsProfileTemporaryName(std::string_view name) {
  constexpr std::string_view kTag = ".tmp";
  constexpr std::size_t kRandom = 6;
  if (name.size() <= kTag.size() + kRandom) return false;
  std::string_view tail = name.substr(name.size() - kRandom);
  for (char c : tail)
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return name.substr(name.size() - kRandom - kTag.size(), kTag.size()) == kTag;
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return Status::FromErrno(errno, to);
  // link() never follows a symbolic link `from` and never replaces `to`.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return {};
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return Status::FromErrno(errno, to);
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) return Status::FromErrno(EEXIST, to);
  if (rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno, to);
  return {};
}

}  // namespace platform
