#pragma once
// Machine-wide named objects of the gateway: the single-instance lock and the
// named events other processes set to steer it. Both live as files in the run
// directory, so a shell (ocelam-event) can set an event and the kernel frees
// the lock of a process that dies.
#include <string>
#include <string_view>

namespace platform {

// A named manual-reset event, kept as a flag file "<name>.event" in the run
// directory. "Global\" in front of a name is accepted and ignored.
class NamedEvent {
 public:
  enum class WaitResult { kSignalled, kTimeout, kFailed };

  explicit NamedEvent(std::string_view name);

  bool Set();
  bool Reset();
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
  enum class Result { kAcquired, kBusy, kFailed };

  explicit InstanceLock(std::string_view name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  Result Acquire();
  void Release();
  const std::string& path() const { return path_; }
  int error() const { return error_; }  // errno of a failed Acquire

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace platform
