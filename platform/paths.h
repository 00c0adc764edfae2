#pragma once
// Paths as the gateway's configuration writes them (backslashes, drive
// letters) turned into Linux paths.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Backslashes become the directory separator.
std::string NativePath(std::string_view path);

// Removes everything up to and including the first ':' (the drive letter of a
// configured path), so every path lies on this machine's one tree.
std::string RemoveDrive(std::string_view path);

// Joins a configured directory and a file name as "dir.\name" would on the
// original platform: an empty directory gives "./name".
std::string JoinPath(std::string_view dir, std::string_view name);

// The file `path` names, its last part matched without regard to case, as
// the alarm server's Windows side names files ("A1.DBF" for "a1.dbf"). A
// file of exactly that name is preferred; among several that differ only in
// case the first in byte order is taken. `path` itself when nothing matches.
// Only the last part is matched; the directories must be named exactly.
std::string ResolveFileNameCase(const std::string& path);

// True when the name holds a directory separator of either kind.
bool HasSeparator(std::string_view name);

// What a name taken from a file or the configuration may be when it is to
// name one file or directory inside a given one. A separator (of either
// kind) or a NUL is never allowed: either would reach outside, or name
// another file than the one checked.
struct ComponentRules {
  bool allow_empty = false;
  bool allow_dot_names = false;      // "." and ".." as the whole name
  bool allow_dot_dot_inside = true;  // ".." anywhere in the name ("a..b")
  std::size_t max_size = 0;          // 0: any length
};
bool IsPathComponent(std::string_view name, const ComponentRules& rules);

// Full path of the running executable ("" when it cannot be read).
std::string ModulePath();

// This machine's network name, at most `max_len` characters ("" when unknown).
std::string ComputerName(std::size_t max_len = 80);

// Directory of the named objects (events, the single-instance lock):
// $OCELAM_RUNDIR, default /run/ocelam, created when missing.
std::string RunDirectory();

}  // namespace platform
