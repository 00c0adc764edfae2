#pragma once
// The operator's console and the reporting helpers every part of the gateway
// uses: a timestamped, coloured console line, and the forwarding of a line to
// the interface record (daily interface log and monitoring clients).
#include <cstddef>
#include <string_view>

namespace core {

// The colour of a console line.
enum class ConsoleLevel { kNormal = 1, kError = 2, kBlue = 3, kSuccess = 4 };

// The printf-style forms of the console and report helpers cut a line at
// this length.
inline constexpr std::size_t kFormattedLineMax = 1023;

// Prepares the console. On a terminal nothing needs switching (there is no
// quick-edit mode to clear); returns non-zero, the set-up's success.
int InitConsole();

// Switches the colour of what follows on standard output to the level's.
void SetConsoleColor(ConsoleLevel level);

// Prints "HH:MM:SS    text" in the level's colour, then a line feed, as one
// write, and returns to the normal colour.
void ConsoleLog(std::string_view text, ConsoleLevel level);

// printf-style form of ConsoleLog.
void ConsoleLogF(ConsoleLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace core
