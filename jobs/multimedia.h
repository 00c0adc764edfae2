#pragma once
// The two files every alarm job leaves in the log directory, both named after
// its alarm reference: the multimedia log (per-camera counts as profile keys,
// plus timestamped plain lines) and the multimedia message file (per camera
// the number of images and the first image file).
#include <string>
#include <string_view>

#include "jobs/job.h"

namespace jobs {

// The two files of one job. Cheap to make; any worker of the job may make
// its own and write through it at any time (each write takes the file's
// profile lock).
class MultimediaFiles {
 public:
  // The files lie in the context's "LogDirectory" ("": the working
  // directory); their lines bear the time of the context's wall clock.
  MultimediaFiles(const JobContext& context, const Job& job)
      : log_directory_(context.settings.log_directory), clock_(context.clock), job_(job) {}

  // "<LogDirectory>/<alarm ref>_multimedia.log" and "<LogDirectory>/<alarm ref>.msg".
  std::string LogPath() const;
  std::string MessagePath() const;

  // Writes "NumberOfCams", every camera's six counts and an empty
  // "MultimediaSequence" section into the multimedia log. A second call
  // overwrites the values of the first in place.
  void WriteCounts() const;

  // Appends "HH:MM:SS text" to the multimedia log.
  void AppendLog(std::string_view text) const;

  // Appends "camera <n> - <reference>" to the message file and writes the
  // camera's "camera%d" section (camera index `camera_index`) with the image
  // count and the first image's path.
  void WriteMessage(const std::string& camera_reference, const std::string& first_image,
                    int image_count, int camera_index) const;

  // Writes the key "clip" with the clip's path into the camera's "camera%d"
  // section of the message file.
  void WriteClip(const std::string& clip_path, int camera_index) const;

 private:
  const std::string& log_directory_;
  const platform::Clock& clock_;
  const Job& job_;
};

}  // namespace jobs
