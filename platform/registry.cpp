#include "platform/registry.h"

#include <cstdlib>

#include "platform/profile.h"

namespace platform {

std::string RegistryFilePath() {
  const char* env = std::getenv("OCELAM_REGISTRY");
  return env && *env ? env : "/etc/ocelam/registry.ini";
}

std::optional<std::string> RegistryIniFilePath() {
  return ProfileRead(RegistryFilePath(), kRegistrySettingsKey, "IniFilePath");
}

}  // namespace platform
