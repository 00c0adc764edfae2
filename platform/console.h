#pragma once
// Console colours: ANSI escape sequences, written only when standard output
// is a terminal, so a service log captured to a file stays plain text.
#include <string_view>

namespace platform {

// True when standard output is a terminal (looked up once).
bool ConsoleHasColor();

// Escape sequence of a report level: 2 red, 3 blue, 4 green, anything else
// the terminal's default. Empty when the console has no colour.
std::string_view ConsoleColorFor(int level);

// Sequence that returns to the default colour ("" without colour).
std::string_view ConsoleColorReset();

}  // namespace platform
