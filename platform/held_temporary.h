#pragma once
// Temporary files that are written whole and then renamed to their real
// name. The writer holds an flock on its temporary from the moment it exists
// until it has been renamed, so at start the temporaries a killed run left
// behind can be told from those another running program (a second gateway
// sharing the directory) is still writing, without any guess on age.
#include <string>
#include <string_view>

#include "platform/status.h"

namespace platform {

// A profile rewrite goes to "<file>.tmp" and six random letters or digits
// first: it never ends in the extension of a job file (".job") however the
// file is named, so no watcher takes it for a job.
inline constexpr const char* kProfileTemporarySuffix = ".tmpXXXXXX";

// One temporary being written. The descriptor to write is closed before the
// rename (so a watcher sees the end of the writing under the temporary's
// name, never under the real one); the hold is a second, read-only
// descriptor that goes with the object.
class HeldTemporary {
 public:
  HeldTemporary() = default;
  ~HeldTemporary();
  HeldTemporary(const HeldTemporary&) = delete;
  HeldTemporary& operator=(const HeldTemporary&) = delete;

  // A new file from `pattern` (six 'X' before the last `suffix_length`
  // characters, as mkostemps wants; they are replaced in `pattern`). A
  // failure names the file and carries the errno.
  Status Create(std::string& pattern, int suffix_length);
  // A new file by exactly this name (O_EXCL, mode 0666 less the umask); a
  // failure carries the errno (EEXIST when the name is taken).
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

}  // namespace platform
