#pragma once
// The image copy of one camera of an alarm job: pre-recorded images from the
// camera's pre-record store, then live images at the job's interval, written
// as JPEG files into the job's multimedia directory for the camera, with the
// streaming servers told when the alarm's recording starts and stops.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/job.h"

namespace jobs {

// Texts of the control files' "Action" key.
inline constexpr const char* kActionStart = "Start";
inline constexpr const char* kActionStop = "Stop";
// How often, 100 ms apart, the copy looks for the camera's first image
// before it gives up.
inline constexpr int kFirstImageTries = 50;
inline constexpr std::int64_t kFirstImagePollUs = 100000;

// True for "<hex time>_<k>.tmp", a control file still being written (its
// name claimed, not yet renamed to ".job").
bool IsControlFileClaimName(std::string_view name);

// Argument record of an ImageCopy thread. The record keeps the job alive
// until the thread has ended.
struct ImageCopyArgs {
  JobRunner* runner = nullptr;
  std::string alarm_reference;  // a copy of the job's
  int job = 0;                  // slot
  int camera_index = 0;         // 1-based "Camera%d" of the job file
  int thread_index = 0;         // its event in the job's thread events
  // The camera's streaming session whose frames the job takes (an on-demand
  // camera's frames of other sessions are never the job's).
  std::uint32_t session = 0;
  std::shared_ptr<Job> record;
};

// The thread procedure. Adds to the file counters of its camera row and sets
// its event when it ends.
void ImageCopy(std::shared_ptr<ImageCopyArgs> args);

// The number of images a copy takes: 1 for "Duration" 0, otherwise
// (duration + pre-record time) / interval, truncated, counted in whole
// microseconds (9 s at 0.3 s: 30 images).
int ImageCopyCount(int duration, int pre_record_time, float interval);

// How many seconds an on-demand camera streams for a copy: every image is
// live, so its images span "Duration" and "PreRecordTime" (one image for
// "Duration" 0), and 20 s more.
int ImageCopyStreamingSeconds(int duration, int pre_record_time);

// Writes one control file (section "Stream": "Directory", "AlarmRef",
// "Action") into every streaming server watch path of `watch_paths`, first as
// "<hex time>_<k>.tmp", then renamed to "<hex time>_<k>.job"; the time is the
// wall time of `clock` in seconds, k starts at 0 for "Start" and 1 otherwise
// and counts up past names in use.
void WriteStreamControlFile(const platform::Clock& clock,
                            const std::vector<std::string>& watch_paths, std::string_view action,
                            const std::string& multimedia_directory,
                            const std::string& alarm_reference);

}  // namespace jobs
