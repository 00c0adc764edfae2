#pragma once
// The job directory watcher: notices job files the alarm server drops into
// "WatchPath", moves each into "<WatchPath>/processing", reads it into a job
// record, gives it a job slot and starts its JobAlrProc thread, keeping at
// most "MaxJobsRunnig" jobs running.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/directory_watch.h"
#include "jobs/job.h"

namespace jobs {

// A job file larger than this is no job of the alarm server's: it is refused
// rather than read key by key.
inline constexpr long long kMaxJobFileBytes = 256 * 1024;
// "Duration" and "PreRecordTime" beyond a day are no alarm's: the camera is
// refused rather than kept busy for years.
inline constexpr int kMaxJobSeconds = 86400;
// "Interval" outside this range is replaced by 1, like an interval of 0.
inline constexpr float kMinIntervalSeconds = 0.01f;
inline constexpr float kMaxIntervalSeconds = 3600.0f;
inline constexpr const char* kDefaultInterval = "1";
inline constexpr std::size_t kIntervalTextMax = 9;
// Pause of the watcher after "already %d jobs runnning".
inline constexpr std::int64_t kJobsFullPauseUs = 10000000;
// A job file that no close or move has shown finished is taken once its size
// and modification time have stood still this long; meanwhile it is looked
// at every kPendingPollUs.
inline constexpr std::int64_t kJobFileSettledUs = 1000000;
inline constexpr std::int64_t kPendingPollUs = 200000;
inline constexpr const char* kProcessingDirName = "processing";
// Other names tried for a job file whose name is still in use in the
// processing directory ("name~1.job", "name~2.job", ...).
inline constexpr int kMaxDuplicateNames = 1000;

// True when an alarm reference names files and directories only inside the
// log directory: no path separator and no "..".
bool AlarmReferenceIsSafe(std::string_view reference);

// Reads the job file at `path` into `job` (which starts empty), with the
// checks on its values; messages for every value changed or refused.
void ReadJobFile(const std::string& path, Job* job);

// True when some process still has the file open for writing. Known only
// where the gateway may take a lease on the file (its owner, or root);
// false elsewhere.
bool WriterStillHasOpen(const std::string& path);

struct ScanResult {
  bool cut_short = false;  // stopped at "MaxJobsRunnig" (after the warning and the pause)
  bool pending = false;    // a job file is still being written: look again soon
};

// The watcher of one gateway. Its thread (Run) is the only caller once it
// runs; tests call the steps themselves.
class JobWatcher {
 public:
  // Jobs are started through `runner`, which lives as long as the process.
  explicit JobWatcher(JobRunner& runner);
  JobWatcher(const JobWatcher&) = delete;
  JobWatcher& operator=(const JobWatcher&) = delete;

  // "<WatchPath>/processing".
  std::string ProcessingDirectory() const;

  // Moves "<WatchPath>/<name>" into the processing directory without ever
  // replacing a file there: a name still in use gets "~<n>" before its
  // extension. The new path, or "" (after a message) when the file could
  // not be moved and stays in the watch directory.
  std::string MoveIntoProcessing(const std::string& name);

  // The names in the watch directory matching "FileMask" (compared without
  // regard to case; entries of every kind), sorted.
  std::vector<std::string> ListJobFiles() const;

  // Job files left in the processing directory by an earlier run that ended
  // during their jobs go to "ErrorPath" as failed jobs, one warning each;
  // one that run had already filed while moving it is removed instead.
  // Nothing is done when "MoveJobToDoneOrErrorPath" is 0 or "ErrorPath"
  // empty. Called once, as the watcher starts.
  void FileJobsCutShortByAnEarlierRun();

  // One pass over the watch directory: moves, reads and starts every job
  // file whose writer is done (named in `finished`, the files closed after
  // writing or moved in since the last pass, or standing still for
  // kJobFileSettledUs), while the number of running jobs allows.
  ScanResult ScanWatchPath(const std::vector<std::string>& finished = {});

  // The thread procedure; never returns.
  [[noreturn]] void Run();

 private:
  struct SeenMoment {
    std::int64_t mono_us = 0;
    std::int64_t wall_ms = 0;
  };
  // A matching entry of the watch directory not taken yet.
  struct WaitingFile {
    SeenMoment first_seen;
    mode_t type = 0;
    off_t size = -1;
    std::int64_t mtime_ns = 0;
    std::int64_t unchanged_since_us = 0;  // monotonic
    bool writer_done = false;  // closed after writing or moved in since the last change
    bool reported = false;     // a non-file was reported once
  };

  // The names in `directory` matching "FileMask", sorted.
  std::vector<std::string> JobFileNamesIn(const std::string& directory) const;
  // Lists the waiting job files, notes the moment each new one is seen and
  // whether each has changed since the last look.
  std::vector<std::string> NoteWaitingJobFiles(const std::vector<std::string>& finished);
  // Takes one settled job file: moves, reads and starts it.
  void StartJob(const std::string& name, const SeenMoment& seen);
  void WarnJobsFull(int running);
  long long WatchTimeoutSeconds() const;
  // Arms the watch on the watch directory; a failure is said once until an
  // arming succeeds.
  void ArmWatch(DirectoryWatch& watch);
  // Waits until the next scan is due: a change, a short poll while a file
  // is `pending`, or "WatchTimeout". After a quiet "WatchTimeout" the watch
  // is armed again.
  void AwaitChange(DirectoryWatch& watch, bool pending, std::vector<std::string>* finished);
  // True when a change came before the monotonic moment `due_us`.
  bool WaitForChange(DirectoryWatch& watch, std::int64_t due_us,
                     std::vector<std::string>* finished);

  JobRunner& runner_;
  const core::Settings& settings_;
  platform::Clock& clock_;
  std::map<std::string, WaitingFile> waiting_;
  // The moment of the last burst of new files.
  SeenMoment burst_;
  // Monotonic moment of the last change or arming of the watch.
  std::int64_t quiet_since_us_ = 0;
  bool watch_failure_said_ = false;
};

}  // namespace jobs
