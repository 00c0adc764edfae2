#pragma once
// Text helpers of the simulator: the escapes that carry arbitrary bytes
// through one command-line argument or one control line, and the splitting
// of "key=value" lists.
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Writes `bytes` so that they fit on one line: printable ASCII stays as it
// is (blanks included), a backslash becomes "\\", CR LF TAB and NUL become
// "\r" "\n" "\t" "\0", every other byte "\xHH" (two lower-case hex digits).
std::string Escape(std::string_view bytes);

// The reverse of Escape, also taking "\"", "\," and "\ " for a double quote,
// a comma and a blank, and upper-case hex digits. False with a message on
// an unknown or cut-off escape.
bool Unescape(std::string_view text, std::string* bytes, std::string* error);

// Splits "a=1,b=2 c="x, y"" into its items at commas and blanks outside
// double quotes. The quotes themselves are dropped; backslash sequences are
// kept for the value's reader (so "\"" inside quotes does not end them).
// False with a message on an unterminated quote.
bool SplitItems(std::string_view keys, std::vector<std::string>* items, std::string* error);

// Splits "key=value"; false with a message when there is no key.
bool SplitItem(std::string_view item, std::string_view* key, std::string_view* value,
               std::string* error);

// Whole-text number parsers; false when the text is not a number in range.
bool ParseInt(std::string_view text, long min, long max, long* out);
bool ParseDouble(std::string_view text, double min, double max, double* out);

}  // namespace sim
