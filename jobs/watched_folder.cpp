#include "jobs/watched_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string_view>

#include "platform/strings.h"

namespace jobs {

namespace {

struct FileSystemKind {
  unsigned long magic;
  std::string_view name;
  // Written by another machine or a process behind the mount: inotify and
  // leases tell nothing of those writers.
  bool remote;
};

constexpr FileSystemKind kKinds[] = {
    {0xEF53, "ext2/ext3/ext4", false},
    {0x58465342, "xfs", false},
    {0x9123683E, "btrfs", false},
    {0x01021994, "tmpfs", false},
    {0x794C7630, "overlayfs", false},
    {0xF2F52010, "f2fs", false},
    {0x2FC12FC1, "zfs", false},
    {0x6969, "nfs", true},
    {0x517B, "smb", true},
    {0xFF534D42, "cifs", true},
    {0xFE534D42, "smb2", true},
    {0x65735546, "fuse", true},
    {0x01021997, "9p", true},
    {0x00C36400, "ceph", true},
    {0x5346414F, "afs", true},
    {0x6B414653, "afs", true},
    {0x73757245, "coda", true},
    {0x0BD00BD0, "lustre", true},
    {0x564C, "ncp", true},
};

const FileSystemKind* KindOf(unsigned long magic) {
  for (const FileSystemKind& k : kKinds)
    if (k.magic == magic) return &k;
  return nullptr;
}

}  // namespace

WatchedFolder::Look WatchedFolder::Refresh() {
  struct statx sx {};
  if (statx(AT_FDCWD, path_.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE, &sx) != 0) return Look::kGone;
  const dev_t device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  // A mount coming or going changes the device; the file system of one
  // device stays what it is, so it is asked once.
  if (looked_ && device == device_) return Look::kSame;
  struct statfs fs {};
  if (statfs(path_.c_str(), &fs) != 0) return Look::kGone;
  looked_ = true;
  device_ = device;
  type_ = static_cast<unsigned long>(fs.f_type);
  const FileSystemKind* kind = KindOf(type_);
  remote_ = kind != nullptr && kind->remote;
  leases_refused_ = false;
  return Look::kChanged;
}

std::string WatchedFolder::FileSystemName() const {
  if (const FileSystemKind* kind = KindOf(type_)) return std::string(kind->name);
  return platform::StringPrintf("0x%lX", type_);
}

}  // namespace jobs
