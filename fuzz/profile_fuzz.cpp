// Feeds arbitrary bytes to the profile engine as a file, reads and rewrites it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/ocelam_profile_fuzz_" + std::to_string(getpid()) + ".ini";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  // Section and key names taken from the input itself reach odd corners.
  std::string section = size > 2 ? std::string(reinterpret_cast<const char*>(data), 1 + data[0] % 8 % size) : "s";
  platform::ProfileGetString(path, section, "key", "default");
  platform::ProfileGetInt(path, "Config", "Value", -9);
  platform::ProfileWriteString(path, section, "key", "value");
  platform::ProfileWriteString(path, "Config", "Value", nullptr);
  platform::ProfileAppendLine(path, "plain line");
  platform::ProfileGetString(path, section, "key", "");
  return 0;
}
