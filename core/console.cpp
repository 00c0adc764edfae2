#include "core/console.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/log_text.h"
#include "platform/console.h"
#include "platform/strings.h"

namespace core {

int InitConsole() { return 1; }

void SetConsoleColor(ConsoleLevel level) {
  std::string_view seq = platform::ConsoleColorFor(static_cast<int>(level));
  if (!seq.empty()) std::fwrite(seq.data(), 1, seq.size(), stdout);
}

void ConsoleLog(std::string_view text, ConsoleLevel level) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d    ", tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string line;
  line.reserve(text.size() + 32);
  line += platform::ConsoleColorFor(static_cast<int>(level));
  line += stamp;
  AppendLoggable(line, text);
  line += platform::ConsoleColorReset();
  line += '\n';
  // One write per line keeps lines of different threads whole.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void ConsoleLogF(ConsoleLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::StringPrintfV(format, args);
  va_end(args);
  ConsoleLog(std::string_view(text).substr(0, kFormattedLineMax), level);
}

}  // namespace core
