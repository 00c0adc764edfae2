#include "platform/paths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string RemoveDrive(std::string_view path) {
  std::size_t colon = path.find(':');
  if (colon == std::string_view::npos) return std::string(path);
  return std::string(path.substr(colon + 1));
}

bool HasSeparator(std::string_view name) {
  return name.find_first_of("\\/") != std::string_view::npos;
}

bool IsPathComponent(std::string_view name, const ComponentRules& rules) {
  if (name.empty()) return rules.allow_empty;
  if (HasSeparator(name) || name.find('\0') != std::string_view::npos) return false;
  if (!rules.allow_dot_names && (name == "." || name == "..")) return false;
  if (!rules.allow_dot_dot_inside && name.find("..") != std::string_view::npos) return false;
  return rules.max_size == 0 || name.size() <= rules.max_size;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string d = NativePath(dir);
  if (d.empty()) return "./" + std::string(name);
  std::size_t end = d.find_last_not_of('/');
  if (end == std::string::npos) return "/" + std::string(name);  // the root itself
  d.resize(end + 1);
  return d + "/" + std::string(name);
}

std::string ResolveFileNameCase(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return path;
  std::size_t slash = path.rfind('/');
  std::string prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return path;
  DIR* dir = opendir(prefix.empty() ? "." : prefix.c_str());
  if (!dir) return path;
  std::string best;
  while (dirent* e = readdir(dir)) {
    if (strcasecmp(e->d_name, name.c_str()) != 0) continue;
    if (best.empty() || best.compare(e->d_name) > 0) best = e->d_name;
  }
  closedir(dir);
  return best.empty() ? path : prefix + best;
}

std::string ModulePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string ComputerName(std::size_t max_len) {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string name(buf);
  if (name.size() > max_len) name.resize(max_len);
  return name;
}

std::string RunDirectory() {
  const char* env = std::getenv("OCELAM_RUNDIR");
  std::string dir = env && *env ? env : "/run/ocelam";
  // Create every missing level; failures show later when the lock or an
  // event file cannot be made there.
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') mkdir(dir.substr(0, pos).c_str(), 0755);
  }
  return dir;
}

}  // namespace platform
