#pragma once
// What the job watcher may trust in its watch folder. A file system the
// kernel keeps whole (ext4, xfs, tmpfs...) tells when a writer is done: inotify
// sees every close and move, and a read lease is refused while a writer has
// the file open. On a network or FUSE file system another machine (or the
// process behind the mount) writes where the kernel does not see it: inotify
// stays silent and a lease says nothing about those writers. There only a size
// and modification time that stood still tell a job file is whole.
//
// Owned by the JobWatcher and used by its thread only; no lock.
#include <sys/types.h>

#include <string>

namespace jobs {

class WatchedFolder {
 public:
  explicit WatchedFolder(std::string path) : path_(std::move(path)) {}

  enum class Look {
    kSame,     // as at the last look
    kChanged,  // the first look, or the folder lies on another device (a mount came or went)
    kGone,     // it cannot be looked at (errno set)
  };
  // Looks at the folder with fresh attributes (a network or FUSE file system
  // is asked, not its cache); on a new device its file system is learnt
  // again and leases are trusted again where the file system allows.
  Look Refresh();

  // True when only standing still tells a job file is whole: a network or
  // FUSE file system, or one where a lease was refused for another reason
  // than a writer.
  bool settle_only() const { return remote_ || leases_refused_; }
  // A lease probe failed for another reason than a writer holding the file.
  void DistrustLeases() { leases_refused_ = true; }
  // The file system's name ("ext2/ext3/ext4", "nfs", "fuse", ... or its
  // magic number in hex).
  std::string FileSystemName() const;
  dev_t device() const { return device_; }

 private:
  std::string path_;
  bool looked_ = false;
  dev_t device_ = 0;
  unsigned long type_ = 0;
  bool remote_ = false;
  bool leases_refused_ = false;
};

}  // namespace jobs
