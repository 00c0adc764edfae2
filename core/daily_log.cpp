#include "core/daily_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
constexpr std::size_t kTailLinesMax = 100;

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

// Today's interface log of program `name`.
std::string DailyLogName(std::string_view name, const std::tm& tm) {
  char file[kLogNameSize];
  std::snprintf(file, sizeof file, kDailyLogFormat, std::string(name).c_str(), tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday);
  return file;
}

std::string AppendDailyLogLocked(std::string_view name, std::string_view text) {
  std::tm tm = LocalNow();
  const std::string file = DailyLogName(name, tm);
  // Masked before the line is cut, so no part of a password is left at its end.
  const std::string shown = Loggable(text);
  char line[kLogLineMax + 1];
  std::snprintf(line, sizeof line, kLogLineFormat, tm.tm_mday, tm.tm_mon + 1, tm.tm_hour, tm.tm_min,
                tm.tm_sec, shown.c_str());
  AppendToFile(file.c_str(), std::string(line) + "\r\n");
  return line;
}

std::vector<std::string> DailyLogTail(std::string_view name, std::size_t count) {
  count = std::min(count, kTailLinesMax);
  std::vector<std::string> lines;
  const int fd = open(DailyLogName(name, LocalNow()).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return lines;
  struct stat st {};
  std::string bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t want = static_cast<off_t>(count * (kLogLineMax + 2));
    const off_t from = st.st_size > want ? st.st_size - want : 0;
    bytes.resize(static_cast<std::size_t>(st.st_size - from));
    const ssize_t got = pread(fd, bytes.data(), bytes.size(), from);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    // A read that began inside a line drops that part.
    if (from > 0) bytes.erase(0, std::min(bytes.size(), bytes.find('\n') + 1));
  }
  close(fd);
  std::string_view rest(bytes);
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
  return lines;
}

}  // namespace core
