#pragma once
// Temporary files that are written whole and then renamed to their real
// name. The writer holds an flock on its temporary from the moment it exists
// until it has been renamed, so at start the temporaries a killed run left
// behind can be told from those another running program (a second gateway
// sharing the directory) is still writing, without any guess on age.
#include <string>
#include <string_view>

namespace platform {

// Creates a new temporary from `pattern` (six 'X' before the last
// `suffix_length` characters, as mkostemps wants; they are replaced in
// `pattern`), held with an exclusive flock for as long as the descriptor is
// open. -1 with errno when it cannot be made.
int CreateHeldTemporary(std::string& pattern, int suffix_length);

// Opens `path` with O_CREAT | O_EXCL (mode 0666 less the umask) and holds it
// like CreateHeldTemporary. -1 with errno (EEXIST when the name is taken).
int CreateHeldFile(const std::string& path);

// Removes the regular files of `directory` (one level) whose names
// `is_temporary` accepts and that no process holds. The number removed.
int RemoveLeftTemporaries(const std::string& directory, bool (*is_temporary)(std::string_view name));

// A profile rewrite goes to "<file>.tmp" and six random letters or digits
// first: it never ends in the extension of a job file (".job") however the
// file is named, so no watcher takes it for a job.
inline constexpr const char* kProfileTemporarySuffix = ".tmpXXXXXX";
// True for such a name.
bool IsProfileTemporaryName(std::string_view name);

}  // namespace platform
