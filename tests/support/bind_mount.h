#pragma once
// A FUSE passthrough mount (Debian's bindfs) of a backing directory: files
// written into the backing directory reach the mount as those another
// machine writes into a network folder do, behind the back of inotify and
// of leases on the mount. Mounted while Mount() holds, until Unmount() or
// the end of the object.
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/sandbox.h"

namespace testing_support {

class BindMount {
 public:
  BindMount(std::string backing, std::string mount_point, std::string log)
      : backing_(std::move(backing)), mount_point_(std::move(mount_point)), log_(std::move(log)) {}
  ~BindMount() { Unmount(); }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;

  // True once the mount stands; otherwise why_not() says why.
  bool Mount() {
    static constexpr const char* kBindfs = "/usr/bin/bindfs";
    if (geteuid() != 0) return Fail("a FUSE mount needs root here");
    if (access("/dev/fuse", R_OK | W_OK) != 0) return Fail("no usable /dev/fuse");
    if (access(kBindfs, X_OK) != 0) return Fail("bindfs is not installed (scripts/install-deps)");
    child_ =
        std::make_unique<Child>(std::vector<std::string>{kBindfs, "-f", backing_, mount_point_}, "",
                                std::vector<std::string>{}, log_);
    if (!WaitFor([&] { return IsFuse(); }, 30)) {
      child_.reset();
      return Fail("bindfs did not mount: " + ReadFile(log_));
    }
    return true;
  }
  void Unmount() {
    if (!child_) return;
    umount2(mount_point_.c_str(), MNT_DETACH);
    child_->WaitExit(30);
    child_.reset();
  }
  const std::string& why_not() const { return why_not_; }

 private:
  bool IsFuse() const {
    struct statfs fs {};
    return statfs(mount_point_.c_str(), &fs) == 0 && fs.f_type == 0x65735546;
  }
  bool Fail(std::string why) {
    why_not_ = std::move(why);
    return false;
  }

  std::string backing_, mount_point_, log_, why_not_;
  std::unique_ptr<Child> child_;
};

}  // namespace testing_support
