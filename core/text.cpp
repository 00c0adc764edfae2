#include "core/text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/console.h"
#include "platform/strings.h"

namespace core {

platform::Mutex DirectoryLock;

namespace {
constexpr const char* kCreateDirectoryFailed = "ERROR: create directory %s failed (error %d)";
}  // namespace

platform::Status CreateDirectoryPath(std::string_view path) {
  std::string p(path);
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.size() >= 2 && p[1] == ':') p.erase(0, 2);  // a drive letter names no place here
  std::string prefix = p.starts_with('/') ? "" : ".";
  std::size_t pos = 0;
  while (pos < p.size()) {
    std::size_t next = p.find('/', pos);
    if (next == std::string::npos) next = p.size();
    std::string_view component(p.data() + pos, next - pos);
    pos = next + 1;
    if (component.empty()) continue;
    prefix += '/';
    prefix += component;
    struct stat st {};
    if (stat(prefix.c_str(), &st) == 0) continue;
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      const int error = errno;
      std::string line = platform::StringPrintf(kCreateDirectoryFailed, prefix.c_str(), error);
      line.resize(std::min(line.size(), kFormattedLineMax));  // as every formatted line
      return platform::Status::Failure(std::move(line), error);
    }
  }
  return {};
}

int ReplacePlaceholder(std::string& text, std::string_view placeholder,
                       std::string_view replacement) {
  if (placeholder.empty()) return 0;
  std::size_t at = text.find(placeholder);
  if (at == std::string::npos) return 0;
  std::string before = text.substr(0, std::min(at, kPlaceholderPartMax));
  std::string after = text.substr(at + placeholder.size(), kPlaceholderPartMax);
  text = before;
  text += replacement;
  text += after;
  return static_cast<int>(text.size());
}

int ReplacePlaceholder(char* text, std::size_t capacity, std::string_view placeholder,
                       std::string_view replacement) {
  if (!text || capacity == 0) return 0;
  std::string s(text, strnlen(text, capacity));
  int n = ReplacePlaceholder(s, placeholder, replacement);
  if (n == 0) return 0;
  std::size_t keep = std::min(s.size(), capacity - 1);
  std::memcpy(text, s.data(), keep);
  text[keep] = '\0';
  return static_cast<int>(keep);
}

std::size_t UnescapeCrLf(char* dest, const char* source, std::size_t length) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (source[i] == '\\' && i + 1 < length && (source[i + 1] == 'r' || source[i + 1] == 'n')) {
      dest[out++] = source[i + 1] == 'r' ? '\r' : '\n';
      ++i;
    } else {
      dest[out++] = source[i];
    }
  }
  return out;
}

}  // namespace core
