#include "jobs/finished_move.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/held_temporary.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

namespace jobs {

namespace {

constexpr std::size_t kChunk = 65536;  // on the heap: job threads have small stacks
constexpr std::size_t kTimeDigits = 8;

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes a rename or a new entry in `directory` last through a crash, before
// the source it replaces is removed from another file system. A file system
// that cannot sync a directory (some network and FUSE ones) is taken at its
// word.
platform::Status SyncDirectory(const std::string& directory) {
  platform::UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return platform::Status::FromErrno(errno, directory);
  if (fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return platform::Status::FromErrno(errno, directory);
  return {};
}

// Up to `size` bytes into `buffer`, fewer only at the end of the file; -1 on
// an error.
ssize_t ReadUpTo(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

platform::Status CopyBytes(int in, int out) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    ssize_t n = ReadUpTo(in, buffer.data(), buffer.size());
    if (n < 0) return platform::Status::FromErrno(errno);
    if (n == 0) return {};
    if (platform::Status written =
            platform::WriteAll(out, buffer.data(), static_cast<std::size_t>(n));
        !written)
      return written;
  }
}

// The text of the link `path`; false (errno set) when it is no link or
// cannot be read.
bool LinkText(const std::string& path, std::string* text) {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) >= buffer.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  text->assign(buffer.data(), static_cast<std::size_t>(n));
  return true;
}

platform::Status MoveLinkAcross(const std::string& from, const std::string& to) {
  std::string text;
  if (!LinkText(from, &text)) return platform::Status::FromErrno(errno, from);
  // symlink() makes the new name or fails with EEXIST: never over a file.
  if (symlink(text.c_str(), to.c_str()) != 0) return platform::Status::FromErrno(errno, to);
  if (platform::Status synced = SyncDirectory(DirectoryOf(to)); !synced) return synced;
  if (unlink(from.c_str()) != 0) return platform::Status::FromErrno(errno, from);
  return {};
}

// Fills a held temporary beside `to` from `in` (whose status is `st`) and
// syncs it; its path in `temporary`. The temporary is removed on a failure.
platform::Status WriteTemporaryCopy(int in, const struct stat& st, const std::string& to,
                                    platform::HeldTemporary& held, std::string* temporary) {
  *temporary = platform::JoinPath(DirectoryOf(to), kMoveTemporaryPattern);
  if (platform::Status made = held.Create(*temporary, kMoveTemporarySuffixLength); !made)
    return made;
  // The permission bits a rename would have kept; no set-user or set-group ID.
  fchmod(held.fd(), st.st_mode & 0777);
  platform::Status result = CopyBytes(in, held.fd());
  if (result && fsync(held.fd()) != 0) result = platform::Status::FromErrno(errno, *temporary);
  if (platform::Status closed = held.CloseWriting(); result && !closed) result = closed;
  if (!result) unlink(temporary->c_str());
  return result;
}

bool SameBytes(int a, int b) {
  std::vector<char> x(kChunk), y(kChunk);
  for (;;) {
    ssize_t n = ReadUpTo(a, x.data(), x.size());
    ssize_t m = ReadUpTo(b, y.data(), y.size());
    if (n < 0 || n != m) return false;
    if (n == 0) return true;
    if (std::char_traits<char>::compare(x.data(), y.data(), static_cast<std::size_t>(n)) != 0)
      return false;
  }
}

// Whether `a` and `b` are the same kind of entry with the same bytes (or
// link text); links are never followed.
bool SameContent(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (lstat(a.c_str(), &sa) != 0 || lstat(b.c_str(), &sb) != 0) return false;
  if (S_ISLNK(sa.st_mode) && S_ISLNK(sb.st_mode)) {
    std::string ta, tb;
    return LinkText(a, &ta) && LinkText(b, &tb) && ta == tb;
  }
  if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) return false;
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  platform::UniqueFd fa(open(a.c_str(), kFlags)), fb(open(b.c_str(), kFlags));
  return fa.valid() && fb.valid() && SameBytes(fa.get(), fb.get());
}

bool IsFinishedNameOf(std::string_view entry, std::string_view name) {
  if (entry.size() != kTimeDigits + 1 + name.size() || entry[kTimeDigits] != '-') return false;
  for (std::size_t i = 0; i < kTimeDigits; ++i) {
    char c = entry[i];
    if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F')) return false;
  }
  return entry.substr(kTimeDigits + 1) == name;
}

}  // namespace

bool IsMoveTemporaryName(std::string_view name) {
  // Worked out at run time: GCC's sanitizer builds refuse find() on the
  // array in a constant expression.
  const std::string_view kPattern = kMoveTemporaryPattern;
  const std::size_t kRandom = kPattern.find("XXXXXX");
  const std::string_view kHead = kPattern.substr(0, kRandom), kTail = kPattern.substr(kRandom + 6);
  if (name.size() != kPattern.size() || !name.starts_with(kHead) || !name.ends_with(kTail))
    return false;
  for (char c : name.substr(kRandom, 6))
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

platform::Status MoveFinishedFile(const std::string& from, const std::string& to) {
  platform::Status renamed = platform::RenameNoReplace(from, to);
  if (renamed || renamed.error() != EXDEV) return renamed;
  return MoveAcrossFileSystems(from, to);
}

platform::Status MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) return platform::Status::FromErrno(errno, from);
  if (S_ISLNK(st.st_mode)) return MoveLinkAcross(from, to);
  // Never through a link, nor into a FIFO put in its place meanwhile.
  platform::UniqueFd in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) return platform::Status::FromErrno(errno, from);
  if (fstat(in.get(), &st) != 0) return platform::Status::FromErrno(errno, from);
  if (!S_ISREG(st.st_mode)) return platform::Status::FromErrno(EINVAL, from);
  platform::HeldTemporary held;
  std::string temporary;
  if (platform::Status written = WriteTemporaryCopy(in.get(), st, to, held, &temporary); !written)
    return written;
  // Renamed while still held, so no start-up clean-up takes it meanwhile.
  if (platform::Status placed = platform::RenameNoReplace(temporary, to); !placed) {
    unlink(temporary.c_str());
    return placed;
  }
  if (platform::Status synced = SyncDirectory(DirectoryOf(to)); !synced) return synced;
  if (unlink(from.c_str()) != 0) return platform::Status::FromErrno(errno, from);
  return {};
}

std::string FiledCopyOf(const std::string& path, const std::string& directory) {
  const std::string name = NameOf(path);
  DIR* dir = opendir(directory.c_str());
  if (!dir) return "";
  std::string found;
  while (dirent* entry = readdir(dir)) {
    if (!IsFinishedNameOf(entry->d_name, name)) continue;
    std::string candidate = platform::JoinPath(directory, entry->d_name);
    if (SameContent(path, candidate)) {
      found = candidate;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace jobs
