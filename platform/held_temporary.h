#pragma once
// Temporary files that are written whole and then renamed to their real
// name. The writer holds its temporary from the moment it exists until it
// has been renamed, so at start the temporaries a killed run left behind can
// be told from those another running program (a second gateway sharing the
// directory) is still writing, without any guess on age.
//
// The hold is two open file description locks on single bytes far beyond
// any byte a temporary holds: on a file system that enforces byte-range
// locks (CIFS turns a lock into one the server enforces), a lock over the
// file's bytes taken through one descriptor would refuse the writes made
// through another, and the reads of every other program once the file has
// its real name. These two bytes lie in no read or write.
#include <string>
#include <string_view>

#include "platform/status.h"

namespace platform {

// A profile rewrite goes to "<file>.tmp" and six random letters or digits
// first: it never ends in the extension of a job file (".job") however the
// file is named, so no watcher takes it for a job.
inline constexpr const char* kProfileTemporarySuffix = ".tmpXXXXXX";

// One temporary being written, by one thread. The writing descriptor holds
// a write lock on the writing byte until it is closed, which it is before
// the rename (so a watcher sees the end of the writing under the
// temporary's name, never under the real one); a second, read-only
// descriptor holds a read lock on the held byte from the creation until the
// object goes.
class HeldTemporary {
 public:
  HeldTemporary() = default;
  ~HeldTemporary();
  HeldTemporary(const HeldTemporary&) = delete;
  HeldTemporary& operator=(const HeldTemporary&) = delete;

  // A new file from `pattern` (six 'X' before the last `suffix_length`
  // characters, as mkostemps wants; they are replaced in `pattern`), mode
  // 0600. A failure names the file and carries the errno.
  Status Create(std::string& pattern, int suffix_length);
  // A new file by exactly this name (mode 0666 less the umask); a failure
  // carries the errno (EEXIST when the name is taken). Neither create
  // follows a symbolic link or opens a file that is already there.
  Status CreateNamed(const std::string& path);

  int fd() const { return fd_; }
  // Closes the writing descriptor; a failure when the close reports an error.
  Status CloseWriting();

 private:
  bool Hold(const std::string& path);
  void CloseAll();
  int fd_ = -1;
  int hold_ = -1;
};

// Removes the regular files of `directory` (one level) whose names
// `is_temporary` accepts and that no process holds. The number removed.
int RemoveLeftTemporaries(const std::string& directory,
                          bool (*is_temporary)(std::string_view name));

// True for a name ending in ".tmp" and six letters or digits.
bool IsProfileTemporaryName(std::string_view name);

// rename() that never replaces `to`: EEXIST when the name is taken. Where
// the file system has no such rename, a hard link and the removal of `from`
// do the same; where it has no hard links either, `to` is looked for first.
Status RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace platform
