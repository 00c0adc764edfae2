#pragma once
// AlarmClip: the video of one camera of an alarm job, copied from the
// camera's ring without encoding again: the frames from the key frame at or
// before the window's start up to its end, in the order they were stored,
// each with its capture moment as its time, appended while live frames come.
// Written under "<final name>.part" and renamed when complete; a clip that
// cannot be completed is removed. Runs on a thread of its own beside the
// job's image copy (the camera's ring and clock are thread-safe).
#include <cstdint>
#include <string>

#include "acquisition/camera/camera.h"
#include "platform/clock.h"

namespace jobs {

struct ClipWindow {
  std::uint32_t session = 0;  // the job's streaming session of the camera
  std::int64_t alarm_us = 0;  // monotonic: the alarm moment
  std::int64_t from_us = 0;   // monotonic: alarm - "PreRecordTime"
  std::int64_t to_us = 0;     // monotonic: alarm + "Duration"
  int max_seconds = 120;      // "AlarmClipSeconds"
  std::string path;           // the clip's final name
};

struct ClipResult {
  bool saved = false;
  int frames = 0;
  double seconds = 0;  // from the first frame's moment to the last's
};

// The clip's file name: "<camera ref>_<alarm ref>.mp4", ".mov" for JPEG frames.
std::string ClipFileName(const std::string& camera_reference, const std::string& alarm_reference,
                         bool jpeg);

// Records the clip; every problem is written to the camera's log.
ClipResult RecordAlarmClip(acquisition::Camera& camera, platform::Clock& clock,
                           const ClipWindow& window);

}  // namespace jobs
