#pragma once
// Every ini-file access of the gateway. Plain file names resolve against the
// ini directory of the registry value "IniFilePath"; names with a directory
// separator are used as they are.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace core {

// Longest resolved profile path: the alarm server's platform (MAX_PATH) names
// no longer one, so neither do we.
inline constexpr std::size_t kMaxPath = 260;

// The ini directory with a trailing separator, or "" when the registry holds
// none (plain names then resolve in the current directory). Looked up once
// for the registry file the environment names.
std::string GetIniDirectory();

// The path a profile file name resolves to.
std::string ResolveProfilePath(std::string_view file_name);

// Copies the value (or the default) into `buffer`; returns the count stored.
std::size_t GetIniString(std::string_view section, std::string_view key,
                         std::string_view default_value, char* buffer, std::size_t size,
                         std::string_view file_name);

// The value (or the default), cut to `max_chars` characters.
std::string GetIniString(std::string_view section, std::string_view key,
                         std::string_view default_value, std::string_view file_name,
                         std::size_t max_chars = 1023);

int GetIniInt(std::string_view section, std::string_view key, int default_value,
              std::string_view file_name);

// Writes (or, with a null value, deletes) a key; the failure of
// platform::ProfileWriteString when it cannot.
platform::Status WriteIniString(std::string_view section, std::string_view key, const char* value,
                                std::string_view file_name);

// One profile file by name; a thin object the configuration code opens,
// reads, writes and closes.
class ProfileFile {
 public:
  explicit ProfileFile(const char* file_name = nullptr, int unused_flag = 0);
  ProfileFile(const ProfileFile& other);
  ProfileFile& operator=(const ProfileFile& other);
  ~ProfileFile();

  int Open() { return 1; }
  int Close() { return 1; }
  int GetInt(std::string_view section, std::string_view key, int default_value, int* out);
  // Writes fail as WriteIniString does, and without a file name.
  platform::Status WriteInt(std::string_view section, std::string_view key, int value);
  std::size_t GetString(std::string_view section, std::string_view key,
                        std::string_view default_value, std::size_t size, char* out);
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view default_value, std::size_t max_chars = 1023);
  platform::Status WriteString(std::string_view section, std::string_view key, const char* value);
  const char* name() const { return name_.get(); }

 private:
  std::unique_ptr<char[]> name_;
};

}  // namespace core
