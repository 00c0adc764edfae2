#include "camera_http/daily_log.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr std::size_t kLogNameSize = 260;

}  // namespace

void AppendDailyLog(const char* name_format, int number, std::string_view text) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char file[kLogNameSize];
  std::snprintf(file, sizeof file, name_format, number, tm.tm_year + 1900, tm.tm_mday,
                tm.tm_mon + 1);
  std::FILE* f = std::fopen(file, "ab");
  if (!f) return;  // no "LOG" directory or no right to write: the line is lost
  std::fprintf(f, "%02d:%02d:%02d %.*s\n", tm.tm_hour, tm.tm_min, tm.tm_sec,
               static_cast<int>(text.size()), text.data());
  std::fclose(f);
}
