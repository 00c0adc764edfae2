#pragma once
// A change notification on one directory (not its subdirectories) through
// inotify: a file created, closed after writing or moved in wakes the waiter,
// so a job file dropped with `mv` or written in place is seen at once, and the
// names whose writer is done are told apart from files still being written.
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace jobs {

class DirectoryWatch {
 public:
  explicit DirectoryWatch(std::string path) : path_(std::move(path)) {}

  // Starts watching. False (errno set) when the directory cannot be watched;
  // Wait then returns at once, and callers fall back to their time-out scans.
  bool Arm();
  void Close() { fd_.reset(); }
  bool armed() const { return fd_.valid(); }

  // Waits up to `milliseconds` for a change and takes every queued event.
  // True when a change came, false on time-out, a signal, or when not
  // armed. The names of files closed after writing or moved in are appended
  // to `finished`.
  bool Wait(long long milliseconds, std::vector<std::string>* finished);

 private:
  std::string path_;
  platform::UniqueFd fd_;
};

}  // namespace jobs
