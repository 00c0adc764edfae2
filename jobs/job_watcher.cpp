#include "jobs/job_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/log_text.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "jobs/clock_wait.h"
#include "jobs/directory_watch.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace jobs {

namespace {

constexpr const char* kIntervalZero = "Camera %d: Interval of 0 is not allowed: set it to 1";
constexpr const char* kTooManyCommands =
    "Camera %d: Only %d simultaneously HTTP commands are allowed....";
constexpr const char* kIntervalNotANumber =
    "Camera %d: Interval \"%s\" is not a number of seconds: set it to 1";
constexpr const char* kIntervalOutOfRange =
    "Camera %d: Interval of %s seconds is not allowed (%g to %g): set it to 1";
constexpr const char* kNegativeCommands =
    "Camera %d: NbrOfCommands of %d is not allowed: no command is run";
constexpr const char* kDurationOutOfRange =
    "Camera %d: ERROR: Duration of %d seconds is not allowed (0 to %d): the camera is not run";
constexpr const char* kPreRecordOutOfRange =
    "Camera %d: ERROR: PreRecordTime of %d seconds is not allowed (0 to %d): the camera is not run";
constexpr const char* kTooManyCameras =
    "WARNING: job file %s: NumberOfCams of %d is more than %d: only the first %d cameras are run";
constexpr const char* kNegativeCameras =
    "ERROR: job file %s: NumberOfCams of %d is not allowed: no camera is run";
constexpr const char* kUnsafeAlarmRef =
    "ERROR: job file %s: AlarmRef '%s' holds a path separator or \"..\": the job is refused";
constexpr const char* kJobFileTooBig =
    "ERROR: job file %s holds %lld bytes, more than %lld: the job is refused";
constexpr const char* kUnreadable = "ERROR: job file %s cannot be read (%s): the job is refused";
constexpr const char* kNoAlarmRef =
    "ERROR: job file %s has no AlarmRef: the job is refused (its files would have no name)";
constexpr const char* kSymbolicLink = "ERROR: job file %s is a symbolic link: the job is refused";
constexpr const char* kNotAFile =
    "WARNING: %s in the watch directory is no regular file: it is no job and stays where it is";
constexpr const char* kJobsFull = "WARNING: already %d jobs runnning - max is %d";
constexpr const char* kKeptAs =
    "WARNING: a job file %s is still in the processing directory: the new one runs as %s";
constexpr const char* kMoveFailed =
    "ERROR: could not move the job file %s to %s (%s): it stays in the watch directory";
constexpr const char* kNoSlot = "ERROR: no job slot for the job file %s";
constexpr const char* kJobThreadFailed =
    "ERROR: could not start the job thread for the job file %s";
constexpr const char* kCannotWatch =
    "ERROR: cannot watch the directory %s for job files (%s): it is scanned every %d seconds";
constexpr const char* kNotRegularAfterMove =
    "WARNING: %s is no regular file any more: it is no job and stays where it is";
constexpr const char* kNotRegular = "ERROR: job file %s is no regular file: the job is refused";
constexpr const char* kFolderTrusted =
    "Job files in %s (file system %s): a close or move seen by inotify, or a read lease, "
    "tells when a writer is done";
constexpr const char* kFolderSettles =
    "Job files in %s (file system %s): inotify and leases cannot tell when a writer there is "
    "done: a job file is taken once its size and modification time have stood still for %d s "
    "(JobSettleTime)";
constexpr const char* kFolderGone =
    "WARNING: the watch directory %s cannot be looked at (%s): job files seen there keep their "
    "moments and it is looked at again every second";
constexpr const char* kLeaseRefused =
    "WARNING: no lease can be taken on the job file %s (%s): leases tell nothing in %s, job "
    "files there are taken once they have stood still for %d s (JobSettleTime)";
constexpr const char* kWaitingWriterOpen =
    "WARNING: job file %s has waited %d s in the watch directory: a process still has it open "
    "for writing";
constexpr const char* kWaitingChanging =
    "WARNING: job file %s has waited %d s in the watch directory: its size or modification "
    "time changed within the last %d s, it is taken once they stand still that long";
constexpr const char* kDuplicateFormat = "%s~%d%s";
constexpr const char* kProcessingNotOurs =
    "ERROR: %s is not a folder of the gateway's own user (a link, no folder, or another "
    "owner): no job file is moved into it or taken from it until it is";
constexpr const char* kLeftInProcessing =
    "WARNING: job file %s was left in processing by an earlier run that ended during its job: "
    "moved to "
    "ErrorPath (its images would now be of the wrong time)";

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Job file names and values are whatever their writer chose: the line is
// written as one printable line (none of these messages has a control byte
// of its own).
void ConsoleError(const std::string& text) {
  const std::string shown = core::PrintableText(text);
  core::ConsoleLog(shown, core::ConsoleLevel::kError);
  core::ReportToInterface(shown, core::ReportLevel::kError);
}

// Reads keys the way the profile routines do.
class JobFileKeys {
 public:
  explicit JobFileKeys(const std::string& path) : path_(path) {}

  int Int(const std::string& section, const char* key, int default_value) {
    std::optional<std::string> v = platform::ProfileRead(path_, section, key);
    if (!v) return default_value;
    return platform::ParseProfileInt(*v).value_or(default_value);
  }
  std::string Text(const std::string& section, const char* key, const char* default_value,
                   std::size_t max_chars) {
    std::optional<std::string> v = platform::ProfileRead(path_, section, key);
    std::string text = v ? *v : std::string(default_value);
    if (text.size() > max_chars) text.resize(max_chars);
    return text;
  }

 private:
  const std::string& path_;
};

// "Interval" as a number of seconds; 1 (after a message) for text that is
// no number, 0, or a value outside the allowed range.
float ReadInterval(const std::string& text, int camera) {
  const char* start = text.c_str();
  char* end = nullptr;
  float value = std::strtof(start, &end);
  if (end == start) {
    // An empty value reads as 0, like the profile routines give it.
    bool blank = text.find_first_not_of(" \t") == std::string::npos;
    if (blank) {
      core::ConsoleLogF(core::ConsoleLevel::kError, kIntervalZero, camera);
    } else {
      ConsoleError(platform::StringPrintf(kIntervalNotANumber, camera, text.c_str()));
    }
    return 1;
  }
  if (value == 0) {
    core::ConsoleLogF(core::ConsoleLevel::kError, kIntervalZero, camera);
    return 1;
  }
  if (!std::isfinite(value) || value < kMinIntervalSeconds || value > kMaxIntervalSeconds) {
    ConsoleError(platform::StringPrintf(kIntervalOutOfRange, camera, text.c_str(),
                                        static_cast<double>(kMinIntervalSeconds),
                                        static_cast<double>(kMaxIntervalSeconds)));
    return 1;
  }
  return value;
}

void ReadCommand(JobFileKeys& keys, const std::string& section, JobCommand* c) {
  c->pin_number = keys.Int(section, "PinNumber", 0);
  c->db_entry = keys.Int(section, "DBEntry", 0);
  c->duration = keys.Int(section, "Duration", 0);
  c->io_status = keys.Text(section, "IOStatus", "", kIOStatusMax);
  c->ptz_command_type = keys.Text(section, "PTZCommandType", "", kPTZCommandTypeMax);
  c->preset_position = keys.Int(section, "PresetPositionIndex", 0);
  c->type_command = keys.Text(section, "TypeCommand", "", kTypeCommandMax);
}

void ReadCamera(JobFileKeys& keys, int i, Job* job) {
  JobCamera& c = job->cameras[static_cast<std::size_t>(i)];
  std::string section = platform::StringPrintf("Camera%d", i);
  c.camera_number = keys.Int(section, "CameraScenario", -1);
  c.type = keys.Int(section, "Type", 0);
  c.duration = keys.Int(section, "Duration", 30);
  c.interval = ReadInterval(keys.Text(section, "Interval", kDefaultInterval, kIntervalTextMax),
                            c.camera_number);
  c.pre_record_time = keys.Int(section, "PreRecordTime", 0);
  c.number_of_commands = keys.Int(section, "NbrOfCommands", 0);

  if (c.duration < 0 || c.duration > kMaxJobSeconds) {
    ConsoleError(
        platform::StringPrintf(kDurationOutOfRange, c.camera_number, c.duration, kMaxJobSeconds));
    c.refused = true;
  }
  if (c.pre_record_time < 0 || c.pre_record_time > kMaxJobSeconds) {
    ConsoleError(platform::StringPrintf(kPreRecordOutOfRange, c.camera_number, c.pre_record_time,
                                        kMaxJobSeconds));
    c.refused = true;
  }
  if (c.refused) job->outcome = 1;
  if (c.number_of_commands > kMaxCommandsPerCamera) {
    core::ConsoleLogF(core::ConsoleLevel::kError, kTooManyCommands, c.camera_number,
                      kMaxCommandsPerCamera);
    c.number_of_commands = kMaxCommandsPerCamera;
  } else if (c.number_of_commands < 0) {
    ConsoleError(platform::StringPrintf(kNegativeCommands, c.camera_number, c.number_of_commands));
    c.number_of_commands = 0;
  }
  for (int j = 1; j <= c.number_of_commands; ++j)
    ReadCommand(keys, platform::StringPrintf("Camera%dCommand%d", i, j),
                &c.commands[static_cast<std::size_t>(j)]);
}

// False (after its message) for a file that is not read as a job: a
// symbolic link, a file too large, or one that cannot be read.
bool MayBeReadAsJob(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // It could name any file of the machine, and its target would be read
      // as a job: the link is filed as refused, its target is not touched.
      ConsoleError(platform::StringPrintf(kSymbolicLink, path.c_str()));
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      // A FIFO would hold the reader until some writer came.
      ConsoleError(platform::StringPrintf(kNotRegular, path.c_str()));
      return false;
    }
    if (st.st_size > kMaxJobFileBytes) {
      ConsoleError(platform::StringPrintf(kJobFileTooBig, path.c_str(),
                                          static_cast<long long>(st.st_size), kMaxJobFileBytes));
      return false;
    }
  }
  if (access(path.c_str(), R_OK) != 0) {
    ConsoleError(platform::StringPrintf(kUnreadable, path.c_str(), std::strerror(errno)));
    return false;
  }
  return true;
}

// "AlarmRef" cut to kAlarmRefMax characters; "" (after its message) when
// the file has none or one that could name a path outside the log directory.
std::string ReadAlarmReference(JobFileKeys& keys, const std::string& path) {
  // Read in full first, so a long reference is refused for what it says
  // rather than for the part that survives the cut.
  std::string reference = keys.Text("Alarm", "AlarmRef", "", core::kMaxPath);
  if (reference.empty()) {
    // Every such job would write the same image names and the hidden
    // ".msg": the alarm server's own file is wrong, and says so in ErrorPath.
    ConsoleError(platform::StringPrintf(kNoAlarmRef, path.c_str()));
    return "";
  }
  if (!AlarmReferenceIsSafe(reference)) {
    ConsoleError(platform::StringPrintf(kUnsafeAlarmRef, path.c_str(), reference.c_str()));
    return "";
  }
  if (reference.size() > kAlarmRefMax) reference.resize(kAlarmRefMax);
  return reference;
}

// "NumberOfCams" within 0..kMaxJobCameras; a value below 0 runs no camera
// and fails the job.
int ReadCameraCount(JobFileKeys& keys, const std::string& path, Job* job) {
  int cameras = keys.Int("Alarm", "NumberOfCams", 1);
  if (cameras > kMaxJobCameras) {
    ConsoleError(platform::StringPrintf(kTooManyCameras, path.c_str(), cameras, kMaxJobCameras,
                                        kMaxJobCameras));
    return kMaxJobCameras;
  }
  if (cameras < 0) {
    ConsoleError(platform::StringPrintf(kNegativeCameras, path.c_str(), cameras));
    job->outcome = 1;
    return 0;
  }
  return cameras;
}

// rename() that never replaces the target: EEXIST when the name is taken.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: only this thread moves files into the
  // processing directory, so looking first is enough.
  if (Exists(to)) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

constexpr std::int64_t kBurstWindowUs = 50000;

}  // namespace

JobWatcher::JobWatcher(JobRunner& runner)
    : runner_(runner),
      settings_(runner.context().settings),
      clock_(runner.context().clock),
      watch_(settings_.watch_path),
      folder_(settings_.watch_path) {}

long long JobWatcher::WatchTimeoutSeconds() const {
  return settings_.watch_timeout < 1 ? 1 : settings_.watch_timeout;
}

std::int64_t JobWatcher::SettleUs() const {
  return static_cast<std::int64_t>(settings_.job_settle_time < 1 ? 1 : settings_.job_settle_time) *
         platform::kMicrosPerSecond;
}

std::int64_t JobWatcher::LookIntervalUs(bool pending) const {
  // Where nothing announces a file, the folder is listed often enough that
  // a file's moment is late by a second at most; a folder gone is looked
  // for as often.
  if (folder_gone_said_) return kSettleListUs;
  if (folder_.settle_only()) return pending ? kSettlePollUs : kSettleListUs;
  return pending ? kPendingPollUs : WatchTimeoutSeconds() * platform::kMicrosPerSecond;
}

void JobWatcher::PauseWhileFull(int running) {
  core::ReportToInterfaceF(core::ReportLevel::kError, kJobsFull, running,
                           settings_.max_jobs_running);
  // A file that comes while every slot is taken is an alarm of now: it is
  // noted as it comes, so its job keeps that moment however long it waits.
  const std::int64_t end_us = clock_.MonotonicMicros() + kJobsFullPauseUs;
  for (std::int64_t now_us; (now_us = clock_.MonotonicMicros()) < end_us;) {
    bool regular_waiting = std::any_of(waiting_.begin(), waiting_.end(), [](const auto& entry) {
      return entry.second.type == S_IFREG;
    });
    WaitForChange(std::min(end_us, now_us + LookIntervalUs(regular_waiting)));
    NoteWaitingJobFiles(finished_);
    finished_.clear();
  }
}

std::string JobWatcher::ProcessingDirectory() const {
  return platform::JoinPath(settings_.watch_path, kProcessingDirName);
}

bool AlarmReferenceIsSafe(std::string_view reference) {
  return platform::IsPathComponent(
      reference, {.allow_empty = true, .allow_dot_names = true, .allow_dot_dot_inside = false});
}

void ReadJobFile(const std::string& path, Job* job) {
  *job = Job();
  job->job_file_path = path;
  JobFileKeys keys(path);
  std::string reference;
  if (!MayBeReadAsJob(path) || (reference = ReadAlarmReference(keys, path)).empty()) {
    job->refused = true;
    return;
  }
  job->alarm_reference = reference;
  job->number_of_cameras = ReadCameraCount(keys, path, job);
  for (int i = 1; i <= job->number_of_cameras; ++i) ReadCamera(keys, i, job);
}

bool JobWatcher::ProcessingIsOurs() {
  // Whoever writes the watch folder could put a link or a folder of their own
  // there: jobs moved into it would be theirs to change or to plant.
  const std::string processing = ProcessingDirectory();
  struct stat st {};
  // A missing one is no one else's: the move then fails with its own line.
  if (lstat(processing.c_str(), &st) != 0 && errno == ENOENT) return true;
  const bool ours = S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (!ours && !processing_refused_said_)
    ConsoleError(platform::StringPrintf(kProcessingNotOurs, processing.c_str()));
  processing_refused_said_ = !ours;
  return ours;
}

std::string JobWatcher::MoveIntoProcessing(const std::string& name) {
  if (!ProcessingIsOurs()) return "";
  std::string from = platform::JoinPath(settings_.watch_path, name);
  std::string processing = ProcessingDirectory();
  std::string to = platform::JoinPath(processing, name);
  if (RenameNoReplace(from, to) == 0) return to;
  if (errno == EEXIST) {
    // The older job of this name still runs (or its file was left behind):
    // keep both and let the new one run under a name of its own.
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    std::string stem = name.substr(0, dot), extension = name.substr(dot);
    for (int k = 1; k <= kMaxDuplicateNames; ++k) {
      std::string other = platform::JoinPath(
          processing, platform::StringPrintf(kDuplicateFormat, stem.c_str(), k, extension.c_str()));
      if (RenameNoReplace(from, other) == 0) {
        ConsoleError(platform::StringPrintf(kKeptAs, name.c_str(), other.c_str()));
        return other;
      }
      if (errno != EEXIST) break;
    }
  }
  ConsoleError(
      platform::StringPrintf(kMoveFailed, from.c_str(), processing.c_str(), std::strerror(errno)));
  return "";
}

bool JobWatcher::JobFileNamesIn(const std::string& directory,
                                std::vector<std::string>* names) const {
  names->clear();
  DIR* dir = opendir(directory.c_str());
  if (!dir) return false;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(settings_.file_mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    names->push_back(std::move(name));
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

std::vector<std::string> JobWatcher::ListJobFiles() const {
  std::vector<std::string> names;
  JobFileNamesIn(settings_.watch_path, &names);
  return names;
}

void JobWatcher::FileJobsCutShortByAnEarlierRun() {
  // With the move off, job files stay in processing by design, finished or
  // not: nothing there tells a cut-short job from a finished one.
  if (settings_.move_job_to_done_or_error_path == 0 || settings_.error_path.empty()) return;
  if (!ProcessingIsOurs()) return;
  std::string processing = ProcessingDirectory();
  std::vector<std::string> names;
  JobFileNamesIn(processing, &names);
  for (const std::string& name : names) {
    std::string path = platform::JoinPath(processing, name);
    struct stat st {};
    // A directory by a job's name was never a job of ours.
    if (lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) continue;
    // A move the earlier run did not finish may have filed it already.
    if (runner_.RemoveIfFiledAlready(path)) continue;
    // Run again now, the job would save the images of this moment for an
    // alarm of the past: it failed, and goes where failed jobs go.
    if (!runner_.MoveFinishedJobFile(path, false).empty())
      ConsoleError(platform::StringPrintf(kLeftInProcessing, path.c_str()));
  }
}

platform::Result<bool> WriterStillHasOpen(const std::string& path) {
  // Taking a lease makes the kernel send SIGIO should someone open the file
  // for writing while it is held; the signal would end the process.
  static const bool sigio_ignored = [] {
    signal(SIGIO, SIG_IGN);
    return true;
  }();
  (void)sigio_ignored;
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  // A read lease is refused while any descriptor has the file open for
  // writing: the one way to know that a writer pausing longer than a second
  // is not done yet. Refused for another reason, it tells nothing.
  if (fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return false;
  }
  if (errno == EAGAIN) return true;
  return platform::Status::FromErrno(errno);
}

bool JobWatcher::LookAtFolder() {
  WatchedFolder::Look look = folder_.Refresh();
  if (look == WatchedFolder::Look::kGone) {
    if (!folder_gone_said_)
      ConsoleError(
          platform::StringPrintf(kFolderGone, settings_.watch_path.c_str(), std::strerror(errno)));
    folder_gone_said_ = true;
    return false;
  }
  const bool back = folder_gone_said_;
  folder_gone_said_ = false;
  if (look == WatchedFolder::Look::kSame && !back) return true;
  const std::string fs = folder_.FileSystemName();
  std::string line =
      folder_.settle_only()
          ? platform::StringPrintf(kFolderSettles, settings_.watch_path.c_str(), fs.c_str(),
                                   static_cast<int>(SettleUs() / platform::kMicrosPerSecond))
          : platform::StringPrintf(kFolderTrusted, settings_.watch_path.c_str(), fs.c_str());
  core::ConsoleAndReport(line, core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
  // A folder made again or a mount come or gone: the old watch sees
  // nothing of it any more.
  if (back || watch_.armed()) ArmWatch();
  return true;
}

std::vector<std::string> JobWatcher::NoteWaitingJobFiles(const std::vector<std::string>& finished) {
  std::vector<std::string> names;
  if (!LookAtFolder() || !JobFileNamesIn(settings_.watch_path, &names)) {
    // Gone for a moment (a mount away, a folder made again): the files
    // seen keep their moments.
    return {};
  }
  SeenMoment now{clock_.MonotonicMicros(), clock_.WallMillis()};
  // Files an alarm server drops together are one alarm moment, even when
  // the first of them is seen a few milliseconds before the last is there:
  // their jobs then take the very same frames.
  bool any_new = false;
  for (const std::string& name : names) any_new = any_new || !waiting_.contains(name);
  SeenMoment moment = now;
  if (any_new) {
    if (burst_.mono_us != 0 && now.mono_us - burst_.mono_us <= kBurstWindowUs)
      moment = burst_;
    else
      burst_ = now;
  }
  // Names are sorted: those gone from the directory are forgotten, but not
  // those seen on another device, which may come back with its mount.
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    bool gone = it->second.device == folder_.device() &&
                !std::binary_search(names.begin(), names.end(), it->first);
    it = gone ? waiting_.erase(it) : std::next(it);
  }
  for (const std::string& name : names) NoteFile(name, moment, now.mono_us);
  for (const std::string& name : finished)
    if (auto it = waiting_.find(name); it != waiting_.end()) it->second.writer_done = true;
  return names;
}

void JobWatcher::NoteFile(const std::string& name, const SeenMoment& moment, std::int64_t now_us) {
  auto [it, added] = waiting_.try_emplace(name);
  WaitingFile& w = it->second;
  // Fresh attributes: a network or FUSE file system would otherwise answer
  // from a cache up to seconds old, and a file still being written would
  // seem to stand still.
  struct statx sx {};
  if (statx(AT_FDCWD, platform::JoinPath(settings_.watch_path, name).c_str(),
            AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_TYPE | STATX_SIZE | STATX_MTIME,
            &sx) != 0)
    return;
  const mode_t type = sx.stx_mode & S_IFMT;
  const off_t size = static_cast<off_t>(sx.stx_size);
  const std::int64_t mtime_ns =
      static_cast<std::int64_t>(sx.stx_mtime.tv_sec) * 1000000000 + sx.stx_mtime.tv_nsec;
  if (added) {
    w.first_seen = moment;
    w.unchanged_since_us = now_us;
  } else if (size != w.size || mtime_ns != w.mtime_ns || type != w.type) {
    w.unchanged_since_us = now_us;
    w.writer_done = false;
  }
  w.device = folder_.device();
  w.type = type;
  w.size = size;
  w.mtime_ns = mtime_ns;
}

JobWatcher::NotYet JobWatcher::CheckWriterDone(const std::string& name, const WaitingFile& w) {
  const std::int64_t still_us = clock_.MonotonicMicros() - w.unchanged_since_us;
  if (folder_.settle_only())
    return w.writer_done || still_us >= SettleUs() ? NotYet::kTake : NotYet::kChanging;
  if (!w.writer_done && still_us < kJobFileSettledUs) return NotYet::kChanging;
  const std::string path = platform::JoinPath(settings_.watch_path, name);
  platform::Result<bool> writing = WriterStillHasOpen(path);
  if (writing.ok()) return *writing ? NotYet::kWriterOpen : NotYet::kTake;
  // Without leases only standing still tells, and for longer.
  folder_.DistrustLeases();
  ConsoleError(platform::StringPrintf(
      kLeaseRefused, path.c_str(), writing.status().reason().c_str(), settings_.watch_path.c_str(),
      static_cast<int>(SettleUs() / platform::kMicrosPerSecond)));
  return still_us >= SettleUs() ? NotYet::kTake : NotYet::kChanging;
}

void JobWatcher::SayLongWait(const std::string& name, WaitingFile& w, NotYet why) {
  const std::int64_t waited_us = clock_.MonotonicMicros() - w.first_seen.mono_us;
  if (w.long_wait_said || waited_us < kLongWaitUs) return;
  w.long_wait_said = true;
  const int waited_s = static_cast<int>(waited_us / platform::kMicrosPerSecond);
  const int settle_s = static_cast<int>((folder_.settle_only() ? SettleUs() : kJobFileSettledUs) /
                                        platform::kMicrosPerSecond);
  ConsoleError(why == NotYet::kWriterOpen
                   ? platform::StringPrintf(kWaitingWriterOpen, name.c_str(), waited_s)
                   : platform::StringPrintf(kWaitingChanging, name.c_str(), waited_s, settle_s));
}

ScanResult JobWatcher::ScanWatchPath(const std::vector<std::string>& finished) {
  ScanResult result;
  for (const std::string& name : NoteWaitingJobFiles(finished)) {
    auto it = waiting_.find(name);
    if (it == waiting_.end()) continue;
    WaitingFile& w = it->second;
    if (w.type != S_IFREG && w.type != S_IFLNK) {
      // A directory or FIFO by a job's name: never opened (a FIFO would
      // block the watcher), said once.
      if (!w.reported) ConsoleError(platform::StringPrintf(kNotAFile, name.c_str()));
      w.reported = true;
      continue;
    }
    if (w.type == S_IFREG) {
      if (NotYet why = CheckWriterDone(name, w); why != NotYet::kTake) {
        // Taken now, it would run with what is written so far.
        SayLongWait(name, w, why);
        result.pending = true;
        continue;
      }
    }
    int running = runner_.table().AllocatedCount();
    if (running >= settings_.max_jobs_running) {
      PauseWhileFull(running);
      result.cut_short = true;
      return result;
    }
    SeenMoment seen = w.first_seen;
    waiting_.erase(it);
    StartJob(name, seen);
  }
  return result;
}

void JobWatcher::StartJob(const std::string& name, const SeenMoment& seen) {
  std::string moved = MoveIntoProcessing(name);
  if (moved.empty()) return;
  struct stat st {};
  if (lstat(moved.c_str(), &st) != 0) return;  // taken away meanwhile: nothing to run
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    // Swapped for a FIFO or a directory between the look and the move.
    ConsoleError(platform::StringPrintf(kNotRegularAfterMove, moved.c_str()));
    return;
  }
  Job job;
  ReadJobFile(moved, &job);
  job.alarm_moment_us = seen.mono_us;
  job.alarm_wall_ms = seen.wall_ms;
  if (!Exists(moved)) return;  // taken away meanwhile: nothing to run
  if (job.refused) {
    runner_.MoveFinishedJobFile(moved, false);
    return;
  }
  JobTable& table = runner_.table();
  int slot = table.Allocate(job);
  if (slot < 0) {
    ConsoleError(platform::StringPrintf(kNoSlot, moved.c_str()));
    runner_.MoveFinishedJobFile(moved, false);
    return;
  }
  JobRunner* runner = &runner_;
  if (!platform::StartThread([runner, slot] { runner->JobAlrProc(slot); })) {
    ConsoleError(platform::StringPrintf(kJobThreadFailed, moved.c_str()));
    table.Release(slot);
    runner_.MoveFinishedJobFile(moved, false);
  }
}

void JobWatcher::Begin() {
  // Before the first scan, so a job dropped now can never be taken for one
  // of them.
  FileJobsCutShortByAnEarlierRun();
  LookAtFolder();
  ArmWatch();
  quiet_since_us_ = clock_.MonotonicMicros();
}

void JobWatcher::Turn() {
  // The status port's health check looks at this.
  runner_.context().metrics.WatcherHeartbeat(clock_.MonotonicMicros());
  // Files already waiting at start are looked at once; later a scan follows
  // every change, every time-out, and every short poll while a file is
  // still being written. A scan cut short by the job limit is owed: the next
  // one follows the pause at once.
  if (!scan_owed_) AwaitChange(pending_);
  scan_owed_ = false;
  int running = runner_.table().AllocatedCount();
  if (running >= settings_.max_jobs_running) {
    PauseWhileFull(running);
    scan_owed_ = true;
    return;
  }
  std::vector<std::string> finished;
  finished.swap(finished_);
  ScanResult r = ScanWatchPath(finished);
  scan_owed_ = r.cut_short;
  pending_ = r.pending;
}

void JobWatcher::Run() {
  Begin();
  for (;;) Turn();
}

void JobWatcher::ArmWatch() {
  // One level; a failure shows when the first job file cannot be moved.
  mkdir(ProcessingDirectory().c_str(), 0755);
  if (watch_.Arm()) {
    watch_failure_said_ = false;
  } else if (!watch_failure_said_) {
    ConsoleError(platform::StringPrintf(kCannotWatch, settings_.watch_path.c_str(),
                                        std::strerror(errno),
                                        static_cast<int>(WatchTimeoutSeconds())));
    watch_failure_said_ = true;
  }
}

void JobWatcher::AwaitChange(bool pending) {
  const std::int64_t timeout_us = WatchTimeoutSeconds() * platform::kMicrosPerSecond;
  const std::int64_t due_us = clock_.MonotonicMicros() + LookIntervalUs(pending);
  if (WaitForChange(due_us)) {
    quiet_since_us_ = clock_.MonotonicMicros();
  } else if (clock_.MonotonicMicros() - quiet_since_us_ >= timeout_us) {
    // Re-arming after a quiet period also recovers a watch directory that
    // was removed and made again.
    watch_.Close();
    ArmWatch();
    quiet_since_us_ = clock_.MonotonicMicros();
  }
}

bool JobWatcher::WaitForChange(std::int64_t due_us) {
  for (long long ms; (ms = NextWaitMs(clock_, due_us)) > 0;) {
    if (!watch_.armed()) {
      clock_.SleepUntil(due_us);
      return false;
    }
    if (watch_.Wait(ms, &finished_)) return true;
  }
  return false;
}

}  // namespace jobs
