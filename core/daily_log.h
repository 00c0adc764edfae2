#pragma once
// The gateway's daily log files. Each line is appended by its own
// open-append-close, so the files can be read, moved or deleted while the
// gateway runs. A folder that is missing is not created: the line is lost.
//
// - Per camera and per video server, in "./LOG" (`AppendDailyLog`):
//   "HH:MM:SS text", lines of several threads land whole without a lock.
// - The interface log of the program, "./log/<name>_YYYYMMDD.log"
//   (`AppendDailyLogLocked`): "dd.mm hh:mm:ss text", under LogFileLock,
//   which also orders the error ring's entries with the lines.
#include <string>
#include <string_view>
#include <vector>

#include "platform/mutex.h"

namespace core {

inline constexpr std::size_t kLogLineMax = 511;  // longest line of the interface log

// Serialises every write of the interface log and the error ring (the
// interface record and the monitor server both write the log).
extern platform::Mutex LogFileLock;

// Appends "HH:MM:SS text\n" (local time) to the file named by `name_format`,
// a pattern taking the number, then the local date as year, day of the
// month, month (for example "./LOG/ocelam_ptz_camera_%d_%04d%02d%02d.log").
void AppendDailyLog(const char* name_format, int number, std::string_view text);

// Appends "dd.mm hh:mm:ss text" (cut at kLogLineMax characters) and CR LF to
// today's interface log of program `name`. The caller holds LogFileLock.
// Returns the formatted line.
std::string AppendDailyLogLocked(std::string_view name, std::string_view text)
    REQUIRES(LogFileLock);

// The last `count` lines (at most 100) of today's interface log of program
// `name`, oldest first, without their line ends: read from the file's last
// count * (kLogLineMax + 2) bytes, no lock taken (every line lands whole).
// Empty when the file is missing or cannot be read.
std::vector<std::string> DailyLogTail(std::string_view name, std::size_t count);

}  // namespace core
