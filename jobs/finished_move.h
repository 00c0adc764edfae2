#pragma once
// How a finished job file reaches "DonePath" or "ErrorPath", which may lie on
// another file system than "WatchPath": a move that is never half done and
// never leaves the job filed twice unnoticed, and the look at start that
// recognises a job an interrupted move had already filed. Plain functions,
// called by the job threads and the watcher; they keep no state.
#include <string>
#include <string_view>

#include "platform/status.h"

namespace jobs {

// The temporary a move to another file system writes in the target
// directory first (six letters or digits for the X, as mkostemps makes
// them). Hidden and never ending in ".job"; a finished name ("%08X-...")
// never begins with a dot.
inline constexpr char kMoveTemporaryPattern[] = ".job_move.XXXXXX.tmp";
inline constexpr int kMoveTemporarySuffixLength = 4;  // ".tmp"

// True for a name kMoveTemporaryPattern gives.
bool IsMoveTemporaryName(std::string_view name);

// Moves the file `from` to the name `to`, which it never replaces (EEXIST):
// a rename, or MoveAcrossFileSystems where a rename cannot cross to the
// target's file system. A symbolic link is moved as the link it is.
platform::Status MoveFinishedFile(const std::string& from, const std::string& to);

// The move to another file system. A regular file is copied into a held
// temporary beside `to` (opened without following a link, never over a file
// that is there), synced, renamed to `to` without replacing anything, and
// only then is `from` removed; a symbolic link is made again beside `to`
// with the same text, its target never read. A crash leaves either an
// unheld temporary (removed at the next start like every held temporary)
// or the file in both places, which FiledCopyOf recognises.
platform::Status MoveAcrossFileSystems(const std::string& from, const std::string& to);

// The entry of `directory` that is the file `path` filed there by an earlier
// move: named "<eight upper-case hexadecimal digits>-<name of path>", of the
// same kind, with the same bytes (or, for a link, the same text). Its path,
// or "" when there is none.
std::string FiledCopyOf(const std::string& path, const std::string& directory);

}  // namespace jobs
