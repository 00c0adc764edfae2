#pragma once
// What the start of the gateway derives about itself: its names, taken from
// the executable's file name (a copy under another name is another program
// with its own profile file, log and monitor port), and its version.
#include <string>
#include <string_view>

namespace core {

struct ApplicationInfo {
  std::string program_name;       // executable name without directory and extension
  std::string version;            // "v.a.b.c.d"
  std::string profile_file_name;  // program name followed by ".ini"
  int monitor_port = 0;
};

// Names derived from the module path ("/usr/bin/ocelam" gives "ocelam" and
// "ocelam.ini").
ApplicationInfo MakeApplicationInfo(std::string_view module_path);

// The version compiled in from the project version. Any out-parameter may be
// null. Returns 0.
int GetFileVersion(unsigned* major, unsigned* minor, unsigned* build, unsigned* revision);

}  // namespace core
