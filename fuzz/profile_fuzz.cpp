// Feeds arbitrary bytes to the profile engine as a file, reads and rewrites it.
// The first byte only chooses a byte-order mark to put in front of the rest,
// so UTF-8 with a mark and both UTF-16 byte orders are reached as often as
// plain files.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

namespace {
std::string_view Mark(std::string_view bytes) {
  for (std::string_view mark : {std::string_view("\xEF\xBB\xBF"), std::string_view("\xFF\xFE"),
                                std::string_view("\xFE\xFF")})
    if (bytes.starts_with(mark)) return mark;
  return {};
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/ocelam_profile_fuzz_" + std::to_string(getpid()) + ".ini";
  if (size == 0) return 0;
  static const char* const kMarks[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  std::string bytes = kMarks[data[0] % 4];
  bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  // Section and key names taken from the input itself reach odd corners.
  std::string section =
      size > 2 ? std::string(reinterpret_cast<const char*>(data), 1 + data[0] % 8 % size) : "s";
  platform::ProfileGetString(path, section, "key", "default");
  platform::ProfileGetInt(path, "Config", "Value", -9);
  // Whether the writes succeed is not looked at: the checks are below.
  (void)platform::ProfileWriteString(path, section, "key", "value");
  (void)platform::ProfileWriteString(path, "Config", "Value", nullptr);
  (void)platform::ProfileAppendLine(path, "plain line");
  platform::ProfileGetString(path, section, "key", "");
  // A rewrite keeps the file's encoding. (A UTF-8 mark followed by FF FE is
  // still a UTF-8 file, so only the first mark counts.)
  if (Mark(fuzz_support::ReadFile(path)) != Mark(bytes)) std::abort();
  return 0;
}
