#pragma once
// Opening files in folders other accounts can write (the watch, done and error
// folders, "LogDirectory", "FilePath", the log folders). Whoever can write such
// a folder can put a symbolic link, a FIFO or a device under a name the
// gateway writes: a link would have the gateway change the file it points to,
// a FIFO or a device would hold the opening thread or swallow the lines. These
// calls never follow a link in the last part of the path, never wait on a
// FIFO or a device, and give back only a regular file. Stateless; any thread.
#include <sys/types.h>

#include <string>

#include "platform/status.h"
#include "platform/unique_fd.h"

namespace platform {

// Opens `path` with `flags` (the access mode, and O_CREAT, O_EXCL, O_APPEND or
// O_TRUNC as the caller needs) plus O_NOFOLLOW and O_CLOEXEC. It opens without
// blocking, keeps the descriptor only when it is a regular file, and then
// lets it block again, so writes are the usual ones. A file it creates gets
// `mode` less the umask, without setuid, setgid or sticky bits. A link or
// anything but a regular file under the name is a failure that names the
// path (O_TRUNC is left out for such a name: nothing is cut).
Result<UniqueFd> OpenRegularFile(const std::string& path, int flags, mode_t mode = 0666);

// The same for appending lines: write-only, created when missing, appended to.
Result<UniqueFd> OpenForAppend(const std::string& path);

// True when `status` is a refusal of OpenRegularFile (a link or not a regular
// file) rather than a failure of the system (a missing folder, no right).
bool IsRefusedName(const Status& status);

// The mode an ordinary create gives a new file: 0666 less the umask the
// process started with (for files made 0600 by mkstemp that others read).
mode_t NewFileMode();

}  // namespace platform
