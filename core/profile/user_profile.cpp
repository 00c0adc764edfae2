#include "core/profile/user_profile.h"

#include <cstdio>
#include <cstring>

#include "platform/mutex.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace core {

namespace {
constexpr const char* kNoFileName = "the profile object names no file";

// The ini directory, looked up once per registry file: the environment the
// process was started in names that file, so one lookup serves the whole
// run (and a test that points the environment at another file gets its
// own). Never destroyed: detached threads resolve profile paths until the
// process is gone.
struct IniDirectoryCache {
  platform::Mutex mutex;
  std::string registry_file GUARDED_BY(mutex);
  std::string directory GUARDED_BY(mutex);
  bool known GUARDED_BY(mutex) = false;
};
IniDirectoryCache& Cache() {
  static IniDirectoryCache* cache = new IniDirectoryCache;
  return *cache;
}

std::unique_ptr<char[]> CopyName(const char* name) {
  if (!name) return nullptr;
  std::size_t n = std::strlen(name);
  auto copy = std::make_unique<char[]>(n + 1);
  std::memcpy(copy.get(), name, n + 1);
  return copy;
}
}  // namespace

std::string GetIniDirectory() {
  IniDirectoryCache& cache = Cache();
  const std::string registry_file = platform::RegistryFilePath();
  platform::MutexLock guard(cache.mutex);
  if (!cache.known || cache.registry_file != registry_file) {
    std::optional<std::string> value = platform::RegistryIniFilePath();
    cache.directory.clear();
    if (value && !value->empty()) {
      // One final separator, whether or not the value ends with one.
      cache.directory = platform::JoinPath(*value, "");
      if (cache.directory.size() >= kMaxPath) cache.directory.resize(kMaxPath - 1);
    }
    cache.registry_file = registry_file;
    cache.known = true;
  }
  return cache.directory;
}

std::string ResolveProfilePath(std::string_view file_name) {
  std::string path = platform::HasSeparator(file_name) ? platform::NativePath(file_name)
                                                       : GetIniDirectory() + std::string(file_name);
  if (path.size() >= kMaxPath) path.resize(kMaxPath - 1);
  return path;
}

std::size_t GetIniString(std::string_view section, std::string_view key,
                         std::string_view default_value, char* buffer, std::size_t size,
                         std::string_view file_name) {
  return platform::ProfileGetString(ResolveProfilePath(file_name), section, key, default_value,
                                    buffer, size);
}

std::string GetIniString(std::string_view section, std::string_view key,
                         std::string_view default_value, std::string_view file_name,
                         std::size_t max_chars) {
  std::string v =
      platform::ProfileGetString(ResolveProfilePath(file_name), section, key, default_value);
  if (v.size() > max_chars) v.resize(max_chars);
  return v;
}

int GetIniInt(std::string_view section, std::string_view key, int default_value,
              std::string_view file_name) {
  return platform::ProfileGetInt(ResolveProfilePath(file_name), section, key, default_value);
}

platform::Status WriteIniString(std::string_view section, std::string_view key, const char* value,
                                std::string_view file_name) {
  return platform::ProfileWriteString(ResolveProfilePath(file_name), section, key, value);
}

ProfileFile::ProfileFile(const char* file_name, int) : name_(CopyName(file_name)) {}
ProfileFile::ProfileFile(const ProfileFile& other) : name_(CopyName(other.name_.get())) {}
ProfileFile& ProfileFile::operator=(const ProfileFile& other) {
  if (this != &other) name_ = CopyName(other.name_.get());
  return *this;
}
ProfileFile::~ProfileFile() = default;

int ProfileFile::GetInt(std::string_view section, std::string_view key, int default_value,
                        int* out) {
  int v = name_ ? GetIniInt(section, key, default_value, name_.get()) : default_value;
  if (out) *out = v;
  return 1;
}

platform::Status ProfileFile::WriteInt(std::string_view section, std::string_view key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%i", value);
  return WriteString(section, key, text);
}

std::size_t ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view default_value, std::size_t size, char* out) {
  if (!name_) {
    if (!out || size == 0) return 0;
    std::size_t n = std::min(default_value.size(), size - 1);
    std::memcpy(out, default_value.data(), n);
    out[n] = '\0';
    return n;
  }
  return GetIniString(section, key, default_value, out, size, name_.get());
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view default_value, std::size_t max_chars) {
  if (!name_) return std::string(default_value.substr(0, max_chars));
  return GetIniString(section, key, default_value, name_.get(), max_chars);
}

platform::Status ProfileFile::WriteString(std::string_view section, std::string_view key,
                                          const char* value) {
  if (!name_) return platform::Status::Failure(kNoFileName);
  return WriteIniString(section, key, value, name_.get());
}

}  // namespace core
