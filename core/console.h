#pragma once
// The operator's console and the reporting helpers every part of the gateway
// uses: a timestamped, coloured console line, and the forwarding of a line to
// the interface record (daily interface log and monitoring clients).
#include <string_view>

// Report levels. On the console 1 is normal, 2 error (red), 3 blue, 4 success
// (green). Through the interface record 3 also lands in the error ring and 10
// goes to the log file only.
inline constexpr int kLevelInfo = 1;
inline constexpr int kLevelError = 2;
inline constexpr int kLevelBlue = 3;
inline constexpr int kLevelSuccess = 4;
inline constexpr int kReportSuccess = 0;
inline constexpr int kReportInfo = 1;
inline constexpr int kReportError = 3;
inline constexpr int kReportLogOnly = 10;

// Prepares the console. On a terminal nothing needs switching (there is no
// quick-edit mode to clear); returns non-zero like the original set-up call.
int InitConsole();

// Switches the colour of what follows on standard output to the level's.
void SetConsoleColor(int level);

// Prints "HH:MM:SS    text" in the level's colour, then a line feed, as one
// write, and returns to the normal colour.
void ConsoleLog(std::string_view text, int level);

// printf-style form of ConsoleLog.
void ConsoleLogF(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
