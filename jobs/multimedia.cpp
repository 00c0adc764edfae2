#include "jobs/multimedia.h"

#include <cstdio>
#include <ctime>

#include "core/console.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/strings.h"

namespace jobs {

namespace {

constexpr const char* kLogSuffix = "_multimedia.log";
constexpr const char* kMessageSuffix = ".msg";
constexpr const char* kUnableToOpen = "Unable to open file %s";
constexpr const char* kLogLineFormat = "%02d:%02d:%02d %s";
constexpr const char* kMessageLineFormat = "camera %d - %s";
constexpr const char* kAlarmSection = "Alarm";
constexpr const char* kCameraSectionFormat = "Camera%d";
constexpr const char* kSequenceSection = "MultimediaSequence";
constexpr const char* kClipKey = "clip";
constexpr const char* kSequenceInitKey = "init";
constexpr const char* kMessageSection = "multimedia";
constexpr const char* kMessageCameraFormat = "camera%d";
constexpr const char* kSubjectKey = "subject";
constexpr const char* kSubjectValue = "Camera";
constexpr const char* kImageCountKey = "ImageCount";
constexpr const char* kFirstFileKey = "file1";

}  // namespace

std::string MultimediaFiles::LogPath() const {
  return platform::JoinPath(log_directory_, job_.alarm_reference + kLogSuffix);
}

std::string MultimediaFiles::MessagePath() const {
  return platform::JoinPath(log_directory_, job_.alarm_reference + kMessageSuffix);
}

void MultimediaFiles::WriteCounts() const {
  const Job& job = job_;
  std::string path = LogPath();
  core::ProfileFile log(path.c_str());
  log.Open();
  // Profile write failures are not reported: the job goes on without its log.
  (void)log.WriteInt(kAlarmSection, "NumberOfCams", job.number_of_cameras);
  for (int p = 1; p <= job.number_of_cameras && p <= kMaxJobCameras; ++p) {
    const JobCamera& c = job.cameras[p];
    std::string section = platform::StringPrintf(kCameraSectionFormat, p);
    int successes = c.file_successes.Get();
    int errors = c.file_errors.Get();
    (void)log.WriteInt(section, "CameraScenario", c.camera_number);
    (void)log.WriteInt(section, "TotalNbrOfFiles", successes + errors);
    (void)log.WriteInt(section, "FileSuccess", successes);
    (void)log.WriteInt(section, "FileError", errors);
    (void)log.WriteInt(section, "CommandSuccess", c.command_successes.Get());
    (void)log.WriteInt(section, "CommandError", c.command_errors.Get());
  }
  // Writing a key and deleting it again leaves the section empty where the
  // profile routines placed it; the alarm server looks for the section.
  (void)log.WriteString(kSequenceSection, kSequenceInitKey, "");
  (void)log.WriteString(kSequenceSection, kSequenceInitKey, nullptr);
  log.Close();
}

void MultimediaFiles::AppendLog(std::string_view text) const {
  std::time_t now = clock_.WallSeconds();
  std::tm tm{};
  localtime_r(&now, &tm);
  std::string line = platform::StringPrintf(kLogLineFormat, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                            std::string(text).c_str());
  std::string path = LogPath();
  // Under the same per-file lock as the profile writes of the counts, so a
  // line is never lost to a rewrite of the file.
  if (!platform::ProfileAppendLine(path, line))
    core::ReportToInterfaceF(core::ReportLevel::kError, kUnableToOpen, path.c_str());
}

void MultimediaFiles::WriteMessage(const std::string& reference, const std::string& first_image,
                                   int image_count, int camera_index) const {
  if (camera_index < 1 || camera_index > kMaxJobCameras) return;
  int number = job_.cameras[camera_index].camera_number;
  std::string path = MessagePath();
  // The camera's line and its section are one step, so the copies of the
  // other cameras of the job never split them.
  const platform::ProfileLock guard = platform::LockProfile(path);
  if (!platform::ProfileAppendLine(
          path, platform::StringPrintf(kMessageLineFormat, number, reference.c_str())))
    core::ReportToInterfaceF(core::ReportLevel::kError, kUnableToOpen, path.c_str());
  core::ProfileFile message(path.c_str());
  message.Open();
  (void)message.WriteString(kMessageSection, kSubjectKey, kSubjectValue);
  std::string section = platform::StringPrintf(kMessageCameraFormat, camera_index);
  (void)message.WriteInt(section, kImageCountKey, image_count);
  (void)message.WriteString(section, kFirstFileKey, first_image.c_str());
  message.Close();
}

void MultimediaFiles::WriteClip(const std::string& clip_path, int camera_index) const {
  if (camera_index < 1 || camera_index > kMaxJobCameras) return;
  const std::string path = MessagePath();
  const platform::ProfileLock guard = platform::LockProfile(path);
  core::ProfileFile message(path.c_str());
  message.Open();
  (void)message.WriteString(platform::StringPrintf(kMessageCameraFormat, camera_index),
                            kClipKey, clip_path.c_str());
  message.Close();
}

}  // namespace jobs
