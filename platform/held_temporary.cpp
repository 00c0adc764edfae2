#include "platform/held_temporary.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace platform {
namespace {

constexpr int kAttempts = 100;

// Takes the writer's lock on a file just made. A start-up clean-up may have
// removed the name between the create and the lock (it found it not held):
// then the file is gone and the caller makes another one.
bool Hold(int fd) {
  if (flock(fd, LOCK_EX) != 0) return true;  // no locks here: nothing to tell apart either
  struct stat st{};
  return fstat(fd, &st) != 0 || st.st_nlink > 0;
}

}  // namespace

int CreateHeldTemporary(std::string& pattern, int suffix_length) {
  const std::string original = pattern;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    pattern = original;
    int fd = mkostemps(pattern.data(), suffix_length, O_CLOEXEC);
    if (fd < 0) return -1;
    if (Hold(fd)) return fd;
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

int CreateHeldFile(const std::string& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (Hold(fd)) return fd;
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

int RemoveLeftTemporaries(const std::string& directory, bool (*is_temporary)(std::string_view name)) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return 0;
  int removed = 0;
  int dfd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (!is_temporary(entry->d_name)) continue;
    int fd = openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st{}, named{};
    // Unheld: its writer is gone. Removed while the lock is ours, so a
    // writer that made it a moment ago finds it unlinked and makes another;
    // and only while the name is still this file (a writer done meanwhile
    // has renamed it away).
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == st.st_ino &&
        named.st_dev == st.st_dev && unlinkat(dfd, entry->d_name, 0) == 0)
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

}  // namespace platform
