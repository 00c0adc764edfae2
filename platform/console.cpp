#include "platform/console.h"

#include <unistd.h>

namespace platform {

bool ConsoleHasColor() {
  static const bool tty = isatty(STDOUT_FILENO) == 1;
  return tty;
}

std::string_view ConsoleColorFor(int level) {
  if (!ConsoleHasColor()) return {};
  switch (level) {
    case 2:
      return "\033[31m";
    case 3:
      return "\033[34m";
    case 4:
      return "\033[32m";
    default:
      return "\033[0m";
  }
}

std::string_view ConsoleColorReset() { return ConsoleHasColor() ? "\033[0m" : ""; }

}  // namespace platform
