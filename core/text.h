#pragma once
// Small text and file-system helpers shared by the configuration loader, the
// image copy threads and the camera command templates.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "platform/status.h"

namespace core {

// Taken around every CreateDirectoryPath of the configuration loader and the
// image copy threads, which may create overlapping paths at the same time.
extern platform::Mutex DirectoryLock;

// Longest part kept before and after a replaced placeholder.
inline constexpr std::size_t kPlaceholderPartMax = 255;

// Creates every missing directory of `path` (either separator; a drive letter
// in front is dropped, as everywhere on this system). Success when the whole
// path exists; a failure's reason is the gateway's line for it, "ERROR:
// create directory <the level that failed> failed (error <errno>)", for the
// caller to report. Callers hold DirectoryLock around it.
platform::Status CreateDirectoryPath(std::string_view path) REQUIRES(DirectoryLock);

// Replaces the first occurrence of `placeholder` in `text`. Returns 0 (text
// unchanged) when it does not occur, otherwise the new length. The parts
// before and after the placeholder are each cut to 255 characters.
int ReplacePlaceholder(std::string& text, std::string_view placeholder,
                       std::string_view replacement);

// The same on a C buffer of `capacity` bytes; the result is cut to fit.
int ReplacePlaceholder(char* text, std::size_t capacity, std::string_view placeholder,
                       std::string_view replacement);

// Copies `length` characters of `source` to `dest`, turning the two-character
// sequences backslash-r and backslash-n into CR and LF. `dest` is not
// terminated (callers hand a zeroed buffer of at least `length` bytes).
// Returns the number of characters written.
std::size_t UnescapeCrLf(char* dest, const char* source, std::size_t length);

}  // namespace core
