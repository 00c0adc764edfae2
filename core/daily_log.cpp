#include "core/daily_log.h"

#include <cstdio>
#include <ctime>

#include "core/console.h"
#include "core/log_text.h"
#include "platform/shared_file.h"

namespace core {

platform::Mutex LogFileLock;

namespace {

constexpr std::size_t kLogNameSize = 300;
constexpr const char* kDailyLogFormat = "./log/%s_%04d%02d%02d.log";
constexpr const char* kLogLineFormat = "%02d.%02d %02d:%02d:%02d %s";

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

// One line, written by one call. The daily logs are the end of the road of
// every report: a line that cannot be written (no folder, no right to write)
// has nowhere else to go, so this is where that failure is decided, and the
// line is lost. A name someone else made a link, a FIFO or a device is told
// on the console, the one place left, and the line is lost too.
void AppendToFile(const char* file, std::string_view line) {
  platform::Result<platform::UniqueFd> fd = platform::OpenForAppend(file);
  if (!fd) {
    if (platform::IsRefusedName(fd.status()))
      ConsoleLog(fd.status().reason(), ConsoleLevel::kError);
    return;
  }
  (void)platform::WriteAll(fd.value().get(), line.data(), line.size());
}

}  // namespace

void AppendDailyLog(const char* name_format, int number, std::string_view text) {
  std::tm tm = LocalNow();
  char file[kLogNameSize];
  std::snprintf(file, sizeof file, name_format, number, tm.tm_year + 1900, tm.tm_mday,
                tm.tm_mon + 1);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string line = stamp;
  AppendLoggable(line, text);
  line += '\n';
  AppendToFile(file, line);
}

std::string AppendDailyLogLocked(std::string_view name, std::string_view text) {
  std::tm tm = LocalNow();
  char file[kLogNameSize];
  std::snprintf(file, sizeof file, kDailyLogFormat, std::string(name).c_str(), tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday);
  // Masked before the line is cut, so no part of a password is left at its end.
  const std::string shown = Loggable(text);
  char line[kLogLineMax + 1];
  std::snprintf(line, sizeof line, kLogLineFormat, tm.tm_mday, tm.tm_mon + 1, tm.tm_hour, tm.tm_min,
                tm.tm_sec, shown.c_str());
  AppendToFile(file, std::string(line) + "\r\n");
  return line;
}

}  // namespace core
