#pragma once
// The one registry value the gateway reads ("IniFilePath" under
// SOFTWARE\Talvane\Orvanta\Settings), kept in a profile-format file named by
// $OCELAM_REGISTRY (default /etc/ocelam/registry.ini).
#include <optional>
#include <string>

namespace platform {

inline constexpr const char* kRegistrySettingsKey = "SOFTWARE\\Talvane\\Orvanta\\Settings";

// Path of the registry file.
std::string RegistryFilePath();

// The value "IniFilePath"; empty optional when the file or the value is absent.
std::optional<std::string> RegistryIniFilePath();

}  // namespace platform
