#include "acquisition/status_file.h"

#include <cstdio>
#include <ctime>

#include "core/profile/user_profile.h"

namespace acquisition {

namespace {
void WriteStatusKey(int camera, const char* key, const char* value) {
  char section[32];
  std::snprintf(section, sizeof section, "Scenario%d", camera);
  // One profile object per write: each write opens, rewrites and closes the
  // file on its own, and the profile engine serialises writers of one file.
  core::ProfileFile status(kStatusFile);
  (void)status.WriteString(section, key, value);  // a status the file cannot take is not told
}
}  // namespace

void WriteStatusTime(int camera, int which, std::time_t now) {
  if (which != kStatusCamStatus && which != kStatusLastAlarm) return;
  char value[16];
  std::snprintf(value, sizeof value, "%08X", static_cast<unsigned>(now));
  WriteStatusKey(camera, which == kStatusCamStatus ? "CamStatus" : "LastAlarm", value);
}

void WriteStreamingState(int camera, int state) {
  if (state != 0 && state != 1) return;
  WriteStatusKey(camera, "Streaming", state ? "1" : "0");
}

void WriteStreamFps(int camera, float fps) {
  char value[64];
  std::snprintf(value, sizeof value, "%f", static_cast<double>(fps));
  WriteStatusKey(camera, "FPS", value);
}

}  // namespace acquisition
