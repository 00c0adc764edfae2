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
#include "jobs/watched_folder.h"
#include "platform/status.h"

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
// Pause of the watcher after "already %d jobs runnning"; the folder is
// still looked at meanwhile, so waiting files keep the moment they came.
inline constexpr std::int64_t kJobsFullPauseUs = 10000000;
// In a folder whose writers the kernel sees, a job file that no close or
// move has shown finished is taken once its size and modification time have
// stood still this long (and no writer holds it open); meanwhile it is
// looked at every kPendingPollUs.
inline constexpr std::int64_t kJobFileSettledUs = 1000000;
inline constexpr std::int64_t kPendingPollUs = 200000;
// In a folder where only standing still tells ("JobSettleTime"): listed this
// often while a file waits to stand still, and this often otherwise.
inline constexpr std::int64_t kSettlePollUs = 250000;
inline constexpr std::int64_t kSettleListUs = 1000000;
// A job file waiting this long for its writer gets one line saying why.
inline constexpr std::int64_t kLongWaitUs = 10000000;
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

// True when some process of this machine still has the file open for
// writing, false when none has (or the file cannot be opened); a failure
// when no lease can be taken for another reason (not the file's owner nor
// root, or a file system without leases): then the lease cannot tell.
platform::Result<bool> WriterStillHasOpen(const std::string& path);

struct ScanResult {
  bool cut_short = false;  // stopped at "MaxJobsRunnig" (after the warning and the pause)
  bool pending = false;    // a job file is still being written: look again soon
};

// The watcher of one gateway. Its thread (Run) is the only caller once it
// runs; tests call the steps themselves. It owns the inotify watch and what
// it knows of the watch folder and of the files waiting there; no lock.
class JobWatcher {
 public:
  // Jobs are started through `runner`, which lives as long as the process.
  explicit JobWatcher(JobRunner& runner);
  JobWatcher(const JobWatcher&) = delete;
  JobWatcher& operator=(const JobWatcher&) = delete;

  // "<WatchPath>/processing".
  std::string ProcessingDirectory() const;

  // True when the processing directory is a directory (not a link) owned by
  // the gateway's effective user; otherwise one line, said again only after
  // it has been ours in between.
  bool ProcessingIsOurs();

  // Moves "<WatchPath>/<name>" into the processing directory without ever
  // replacing a file there: a name still in use gets "~<n>" before its
  // extension. The new path, or "" (after a message) when the file could
  // not be moved (or the processing directory is not ours) and stays in the
  // watch directory.
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
  // kJobFileSettledUs, or "JobSettleTime" where only that tells), while the
  // number of running jobs allows. At the limit it pauses, noting the files
  // that come meanwhile.
  ScanResult ScanWatchPath(const std::vector<std::string>& finished = {});

  // Before the first turn: the files an earlier run left, the watch folder's
  // file system and what is trusted there (one line), the watch armed.
  void Begin();
  // One turn of the watcher's loop: waits for the next look (unless a scan
  // is owed), pauses while every job slot is taken, scans.
  void Turn();

  // The thread procedure: Begin, then turns; never returns.
  [[noreturn]] void Run();

 private:
  struct SeenMoment {
    std::int64_t mono_us = 0;
    std::int64_t wall_ms = 0;
  };
  // A matching entry of the watch directory not taken yet.
  struct WaitingFile {
    SeenMoment first_seen;
    dev_t device = 0;  // of the folder it was seen in: kept while another device is mounted there
    mode_t type = 0;
    off_t size = -1;
    std::int64_t mtime_ns = 0;
    std::int64_t unchanged_since_us = 0;  // monotonic
    bool writer_done = false;             // closed after writing or moved in since the last change
    bool reported = false;                // a non-file was reported once
    bool long_wait_said = false;
  };
  // Why a regular job file is not taken yet.
  enum class NotYet { kTake, kChanging, kWriterOpen };

  // The names in `directory` matching "FileMask", sorted; false (errno
  // set) when it cannot be listed.
  bool JobFileNamesIn(const std::string& directory, std::vector<std::string>* names) const;
  // Looks at the watch folder: says when it cannot be looked at, when it is
  // back, and what is trusted on a new file system. False while it is gone.
  bool LookAtFolder();
  // Lists the waiting job files, notes the moment each new one is seen and
  // whether each has changed since the last look. A folder that cannot be
  // listed changes nothing: the files keep their moments.
  std::vector<std::string> NoteWaitingJobFiles(const std::vector<std::string>& finished);
  void NoteFile(const std::string& name, const SeenMoment& moment, std::int64_t now_us);
  // Whether the regular file `name` may be taken now.
  NotYet CheckWriterDone(const std::string& name, const WaitingFile& w);
  // One line for a file waiting kLongWaitUs and more for its writer.
  void SayLongWait(const std::string& name, WaitingFile& w, NotYet why);
  // Takes one settled job file: moves, reads and starts it.
  void StartJob(const std::string& name, const SeenMoment& seen);
  // The warning, then the pause, looking at the folder meanwhile.
  void PauseWhileFull(int running);
  long long WatchTimeoutSeconds() const;
  std::int64_t SettleUs() const;
  // How long until the next look: `pending` when a file waits for its writer.
  std::int64_t LookIntervalUs(bool pending) const;
  // Arms the watch on the watch directory; a failure is said once until an
  // arming succeeds.
  void ArmWatch();
  // Waits until the next scan is due: a change, a short poll while a file
  // is `pending`, or the folder's rescan. After a quiet "WatchTimeout" the
  // watch is armed again.
  void AwaitChange(bool pending);
  // True when a change came before the monotonic moment `due_us`; the files
  // closed after writing or moved in are added to finished_.
  bool WaitForChange(std::int64_t due_us);

  JobRunner& runner_;
  const core::Settings& settings_;
  platform::Clock& clock_;
  DirectoryWatch watch_;
  WatchedFolder folder_;
  std::map<std::string, WaitingFile> waiting_;
  // Names closed after writing or moved in, not yet noted.
  std::vector<std::string> finished_;
  bool scan_owed_ = true;
  bool pending_ = false;
  bool folder_gone_said_ = false;
  // The moment of the last burst of new files.
  SeenMoment burst_;
  // Monotonic moment of the last change or arming of the watch.
  std::int64_t quiet_since_us_ = 0;
  bool watch_failure_said_ = false;
  bool processing_refused_said_ = false;
};

}  // namespace jobs
