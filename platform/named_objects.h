#pragma once
// Machine-wide named objects of the gateway: the single-instance lock and the
// named events other processes set to steer it. Both live as files in the run
// directory, so a shell (ocelam-event) can set an event and the kernel frees
// the lock of a process that dies.
#include <string>
#include <string_view>

#include "platform/status.h"

namespace platform {

// A named manual-reset event, kept as a flag file "<name>.event" in the run
// directory. "Global\" in front of a name is accepted and ignored.
class NamedEvent {
 public:
  enum class WaitResult { kSignalled, kTimeout, kFailed };

  explicit NamedEvent(std::string_view name);

  // A failure carries the system's words for why the flag file could not be
  // made or removed.
  Status Set();
  Status Reset();
  bool IsSet() const;
  // Waits up to `milliseconds` for the event; polls its file in short steps.
  WaitResult Wait(int milliseconds) const;
  const std::string& path() const { return path_; }

  // The file name an event name maps to (without directory).
  static std::string FileNameFor(std::string_view name);

 private:
  std::string path_;
};

// flock() on "<run dir>/<name>.lock", held until Release or process death.
class InstanceLock {
 public:
  explicit InstanceLock(std::string_view name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process holds the lock, false when another one does; a
  // failure, with the system's reason, when the lock file cannot be opened
  // or locked.
  Result<bool> Acquire();
  void Release();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace platform
