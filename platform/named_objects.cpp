#include "platform/named_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/paths.h"

namespace platform {
namespace {
constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr std::string_view kGlobalPrefixSlash = "Global/";
constexpr int kPollMilliseconds = 50;
}  // namespace

std::string NamedEvent::FileNameFor(std::string_view name) {
  if (name.starts_with(kGlobalPrefix) || name.starts_with(kGlobalPrefixSlash))
    name.remove_prefix(kGlobalPrefix.size());
  std::string file(name);
  for (char& c : file)
    if (c == '/' || c == '\\') c = '_';
  return file + ".event";
}

NamedEvent::NamedEvent(std::string_view name) : path_(RunDirectory() + "/" + FileNameFor(name)) {}

// Another process of the run directory's owner could plant a link or a
// FIFO under an event's or lock's name: neither is followed nor waited on.
Status NamedEvent::Set() {
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return Status::FromErrno(errno);
  close(fd);
  return {};
}

Status NamedEvent::Reset() {
  if (unlink(path_.c_str()) != 0 && errno != ENOENT) return Status::FromErrno(errno);
  return {};
}

bool NamedEvent::IsSet() const {
  struct stat st {};
  return stat(path_.c_str(), &st) == 0;
}

NamedEvent::WaitResult NamedEvent::Wait(int milliseconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (IsSet()) return WaitResult::kSignalled;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return WaitResult::kTimeout;
    auto step = std::chrono::milliseconds(kPollMilliseconds);
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(step, deadline - now));
  }
}

InstanceLock::InstanceLock(std::string_view name)
    : path_(RunDirectory() + "/" + std::string(name) + ".lock") {}

InstanceLock::~InstanceLock() { Release(); }

Result<bool> InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return Status::FromErrno(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) return false;
    return Status::FromErrno(error);
  }
  fd_ = fd;
  return true;
}

void InstanceLock::Release() {
  if (fd_ >= 0) {
    close(fd_);  // closing drops the flock
    fd_ = -1;
  }
}

}  // namespace platform
