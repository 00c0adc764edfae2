#pragma once
// Profile (ini) files with the reading and writing rules of the Windows
// private-profile routines, which every configuration, status and job file of
// the gateway follows. Each call reads or rewrites the file itself; nothing is
// cached, so a file edited by hand or by the alarm server is seen at once.
//
// Like the Windows routines, files may be UTF-8 with or without a byte-order
// mark, or UTF-16 (little or big endian) with its mark. Values come back as
// UTF-8, and a rewrite keeps the file's encoding, mark and line ends.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace platform {

// Characters trimmed around lines, keys and values.
inline constexpr std::string_view kProfileBlanks = " \t\n\v\f\r\x1a";

// Value of `key` in the first section named `section` (both compared without
// regard to case), trimmed and without one pair of enclosing quotes.
// Empty optional when the file, the section or the key is missing.
std::optional<std::string> ProfileRead(const std::string& path, std::string_view section,
                                       std::string_view key);

// GetPrivateProfileString: copies the value, or the trimmed default, into
// `buffer` (at most size-1 characters, always terminated when size > 0) and
// returns the number of characters stored.
std::size_t ProfileGetString(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view default_value, char* buffer,
                             std::size_t size);

// The same returning a string (no length limit).
std::string ProfileGetString(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view default_value);

// GetPrivateProfileInt: blanks, optional sign, decimal digits ("42A9" is 42,
// "B42" is 0); a missing key or an empty value gives the default. Values
// beyond the int range saturate.
int ProfileGetInt(const std::string& path, std::string_view section, std::string_view key,
                  int default_value);

// Parses an integer the way ProfileGetInt does; empty optional for an empty text.
std::optional<int> ParseProfileInt(std::string_view text);

// WritePrivateProfileString: replaces the first matching key in place, adds a
// new key at the end of its section and a new section at the end of the file,
// creating the file when missing. A null value deletes the key. A line end
// inside the section, key or value is written as a blank, so a write never
// adds lines of its own. The rewrite goes through a temporary file and a
// rename, so a crash never leaves half a file. Fails, writing nothing, when
// the section name is empty, the key could not be read back as itself
// (empty, beginning with "[" or ";", or holding "="), or the file cannot be
// written (the reason names the file and the system's words).
Status ProfileWriteString(const std::string& path, std::string_view section, std::string_view key,
                          const char* value);

// One value of a ProfileWriteStrings call.
struct ProfileWrite {
  std::string section;
  std::string key;
  std::string value;
};

// Several WritePrivateProfileString calls in a row, with one read and one
// rewrite of the file: the result is the file those calls would leave.
// Fails when a section name is empty or a key is refused as by
// ProfileWriteString (then nothing is written), or the file cannot be written.
Status ProfileWriteStrings(const std::string& path, std::span<const ProfileWrite> writes);

// Appends one plain line (a line feed is added) to the file, under the same
// per-file lock as ProfileWriteString, so appends and rewrites of one file
// never lose each other's lines. A UTF-16 file gets the line in UTF-16.
// Fails when the file cannot be opened or written.
Status ProfileAppendLine(const std::string& path, std::string_view line);

struct ProfileLockEntry;

// Holds the lock that serialises every rewrite and append of one file inside
// this process, from construction to destruction. Callers that need several
// profile calls to be one step take it too; the same thread may take it again
// (the profile calls inside do). The lock's entry lives only while someone
// holds or waits for it: job files have unique names, and a registry that only
// grew would keep one entry per job ever run.
class [[nodiscard]] ProfileLock {
 public:
  explicit ProfileLock(const std::string& path);
  ~ProfileLock();
  ProfileLock(const ProfileLock&) = delete;
  ProfileLock& operator=(const ProfileLock&) = delete;

 private:
  std::string path_;
  ProfileLockEntry* entry_;
};

// The lock of `path`, held until the returned object goes.
[[nodiscard]] inline ProfileLock LockProfile(const std::string& path) { return ProfileLock(path); }

// Number of paths with a lock entry now (held or waited for); for tests.
std::size_t ProfileLockEntriesForTest();

}  // namespace platform
