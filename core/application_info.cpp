#include "core/application_info.h"

#include "core/version.h"

namespace core {

ApplicationInfo MakeApplicationInfo(std::string_view module_path) {
  std::string_view name = module_path;
  if (std::size_t slash = name.find_last_of("/\\"); slash != std::string_view::npos)
    name.remove_prefix(slash + 1);
  if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0)
    name = name.substr(0, dot);
  if (name.empty()) name = "ocelam";  // /proc unreadable: fall back to our own name
  ApplicationInfo info;
  info.program_name = std::string(name);
  info.profile_file_name = info.program_name + ".ini";
  return info;
}

int GetFileVersion(unsigned* major, unsigned* minor, unsigned* build, unsigned* revision) {
  if (major) *major = OCELAM_VERSION_MAJOR;
  if (minor) *minor = OCELAM_VERSION_MINOR;
  if (build) *build = OCELAM_VERSION_PATCH;
  if (revision) *revision = OCELAM_VERSION_TWEAK;
  return 0;
}

}  // namespace core
