// The job slot table and JobAlrProc, the thread that runs one job.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <new>

#include "acquisition/camera/camera.h"
#include "core/console.h"
#include "core/log_text.h"
#include "core/report.h"
#include "jobs/clock_wait.h"
#include "jobs/finished_move.h"
#include "jobs/image_copy.h"
#include "jobs/job.h"
#include "jobs/multimedia.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace jobs {

namespace {

constexpr const char* kOutOfMemory = "** new_alarm ** ERROR: Out of memory";
constexpr const char* kOverflow = "** new_alarm ** ERROR: jobs overflow (>%d)";
constexpr const char* kAllocated = "Allocated job %d";
constexpr const char* kFreed = "** free_alarm ** job %d freed";
constexpr const char* kWaitingInQueue = "\nWaiting for jobs in queue %d....\n";
constexpr const char* kThreadStarted = "Job %d: JobAlrProc thread started (alarm reference: %s)";
constexpr const char* kCameraUnknown = "Job %d: ERROR: Camera (%d) unknown";
constexpr const char* kCameraInactive =
    "Job %d: Camera %d is not active anymore - please check your configuration";
constexpr const char* kUnsafeReference =
    "Job %d: ERROR: camera %d: the reference '%s' cannot name a directory below LogDirectory";
constexpr const char* kCameraRefused =
    "Job %d: camera index %d is not run (its values were refused)";
constexpr const char* kWorkerNotStarted = "Job %d: ERROR: could not start the %s thread %d";
constexpr const char* kTooManyWorkers =
    "Job %d: WARNING: the job asks for %d worker threads, at most %d run: the first %d were "
    "started";
constexpr const char* kCommandsNotRun =
    "Job %d: camera %d: %d HTTP commands not run (no command sender in this gateway)";
constexpr const char* kWaitOn = "Job %d: wait on %d threads";
constexpr const char* kTimeout = "Job %d: ERROR: Thread %d (%d seconds) timeout reaches";
constexpr const char* kCouldNotMove = "ERROR: could not move %s to %s";
constexpr const char* kFiledAlready =
    "WARNING: job file %s was left in processing by an earlier run that ended while moving it: "
    "it is already in %s, the copy left in processing is removed";
constexpr const char* kImageCopyEventFormat = "imcopy_%d_%d";
constexpr const char* kCommandEventFormat = "http_com_%d_%d";
constexpr const char* kMultimediaDirName = "multimedia";
constexpr const char* kFinishedNameFormat = "%08X-%s";
constexpr const char* kImageCopyName = "ImageCopy";
constexpr const char* kCommandName = "HTTPCommand";

// A camera reference names one directory below "<LogDirectory>/multimedia".
bool ReferenceNamesOneDirectory(const std::string& reference) {
  return platform::IsPathComponent(reference, {});
}

std::string FileNameOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The worker threads of one job: started camera row by camera row, then
// awaited one after the other.
class JobWorkers {
 public:
  JobWorkers(JobRunner& runner, int slot, std::shared_ptr<Job> record)
      : runner_(runner),
        context_(runner.context()),
        slot_(slot),
        record_(std::move(record)),
        job_(*record_) {}

  // Starts the image copy and the commands of camera row `i`, once its
  // camera may run.
  void StartCameraRow(int i);
  // Says when the job asked for more workers than run, then waits for each
  // one that was started.
  void AwaitAll();

 private:
  // False (after its message) when row `i` is not run at all.
  bool CameraMayRun(int i, const JobCamera& row) const;
  void StartImageCopy(int i, JobCamera& row);
  void StartCommands(int i, const JobCamera& row);
  // Names and clears the next worker event and runs `body(args)` on a
  // thread of its own; a worker past kMaxJobWorkers is only counted.
  template <class Args>
  void StartWorker(const char* event_format, const char* kind, long long work_seconds,
                   std::shared_ptr<Args> args, void (*body)(std::shared_ptr<Args>));
  // Waits for worker `t` from the monotonic moment `from_us`, and says so
  // when its time runs out.
  void AwaitWorker(int t, std::int64_t from_us) const;

  JobRunner& runner_;
  const JobContext& context_;
  const int slot_;
  const std::shared_ptr<Job> record_;
  Job& job_;
  int wanted_ = 0;
  // How long each worker's own work lasts, so a job longer than the wait is
  // not given up while it still runs as asked.
  std::array<long long, kMaxJobWorkers> work_seconds_{};
};

bool JobWorkers::CameraMayRun(int i, const JobCamera& row) const {
  const int s = slot_, n = row.camera_number;
  if (row.refused) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kCameraRefused, s, i);
    return false;
  }
  if (n < 0 || n >= core::kCameraSlots) {
    core::ConsoleAndReport(platform::StringPrintf(kCameraUnknown, s, n), core::ConsoleLevel::kError,
                           core::ReportLevel::kError);
    return false;
  }
  if (!context_.cameras[n].IsActive()) {
    core::ConsoleAndReport(platform::StringPrintf(kCameraInactive, s, n),
                           core::ConsoleLevel::kError, core::ReportLevel::kInfo);
    return false;
  }
  return true;
}

void JobWorkers::StartCameraRow(int i) {
  JobCamera& row = job_.cameras[static_cast<std::size_t>(i)];
  if (!CameraMayRun(i, row)) return;
  if (row.type == 0 || row.type == 1) StartImageCopy(i, row);
  if (runner_.command_worker() == nullptr) {
    // Commands of any camera type run once the gateway has a command
    // sender; until then they count neither as done nor as failed.
    if (row.number_of_commands > 0)
      core::ReportToInterfaceF(core::ReportLevel::kInfo, kCommandsNotRun, slot_, row.camera_number,
                               row.number_of_commands);
    return;
  }
  StartCommands(i, row);
}

void JobWorkers::StartImageCopy(int i, JobCamera& row) {
  const int n = row.camera_number;
  acquisition::Camera& camera = context_.cameras[n];
  if (!ReferenceNamesOneDirectory(camera.reference)) {
    // The configuration already reported it; images of this camera would
    // land outside the log directory.
    core::ConsoleAndReport(
        platform::StringPrintf(kUnsafeReference, slot_, n, camera.reference.c_str()),
        core::ConsoleLevel::kError, core::ReportLevel::kError);
    job_.outcome = 1;
    return;
  }
  // An empty "LogDirectory" is the working directory, as for the job's
  // message and log files.
  row.multimedia_directory = platform::JoinPath(
      platform::JoinPath(platform::JoinPath(context_.settings.log_directory, kMultimediaDirName),
                         camera.reference),
      job_.alarm_reference);
  auto args = std::make_shared<ImageCopyArgs>();
  args->runner = &runner_;
  args->alarm_reference = job_.alarm_reference;
  args->job = slot_;
  args->camera_index = i;
  // An on-demand camera films the pre-record seconds live, after the
  // alarm: its copy works that much longer.
  const bool permanent = camera.IsPermanent();
  args->session =
      permanent ? camera.CurrentSession()
                : camera.StartStreaming(ImageCopyStreamingSeconds(row.duration, row.pre_record_time));
  args->record = record_;
  StartWorker(kImageCopyEventFormat, kImageCopyName,
              permanent ? row.duration : row.duration + row.pre_record_time, args, ImageCopy);
}

void JobWorkers::StartCommands(int i, const JobCamera& row) {
  for (int j = 1; j <= row.number_of_commands; ++j) {
    auto args = std::make_shared<HTTPCommandArgs>();
    args->runner = &runner_;
    args->job = slot_;
    args->camera_index = i;
    args->command_index = j;
    args->record = record_;
    StartWorker(kCommandEventFormat, kCommandName,
                row.commands[static_cast<std::size_t>(j)].duration, args, runner_.command_worker());
  }
}

template <class Args>
void JobWorkers::StartWorker(const char* event_format, const char* kind, long long work_seconds,
                             std::shared_ptr<Args> args, void (*body)(std::shared_ptr<Args>)) {
  ++wanted_;
  if (job_.thread_count >= kMaxJobWorkers) return;
  const int t = job_.thread_count;
  work_seconds_[static_cast<std::size_t>(t)] = work_seconds;
  job_.thread_events[static_cast<std::size_t>(t)].Create(
      platform::StringPrintf(event_format, slot_, t));
  args->thread_index = t;
  if (!platform::StartThread([args, body] { body(args); })) {
    core::ConsoleAndReport(platform::StringPrintf(kWorkerNotStarted, slot_, kind, t),
                           core::ConsoleLevel::kError, core::ReportLevel::kError);
    job_.outcome = 1;
    return;
  }
  ++job_.thread_count;
}

void JobWorkers::AwaitAll() {
  if (wanted_ > kMaxJobWorkers) {
    core::ConsoleAndReport(
        platform::StringPrintf(kTooManyWorkers, slot_, wanted_, kMaxJobWorkers, kMaxJobWorkers),
        core::ConsoleLevel::kError, core::ReportLevel::kError);
  }
  // The first wait starts before it is announced: whoever reads the
  // announcement knows its deadline is set.
  std::int64_t from_us = context_.clock.MonotonicMicros();
  core::ReportToInterfaceF(core::ReportLevel::kInfo, kWaitOn, slot_, job_.thread_count);
  for (int t = 0; t < job_.thread_count; ++t) {
    AwaitWorker(t, from_us);
    from_us = context_.clock.MonotonicMicros();
  }
}

void JobWorkers::AwaitWorker(int t, std::int64_t from_us) const {
  const long long work_s = work_seconds_[static_cast<std::size_t>(t)];
  const long long wait_s =
      work_s > kWorkerWaitSeconds ? work_s + kLongWorkMarginSeconds : kWorkerWaitSeconds;
  const std::int64_t deadline_us = from_us + wait_s * platform::kMicrosPerSecond;
  const WorkerEvent& event = job_.thread_events[static_cast<std::size_t>(t)];
  for (long long ms; (ms = NextWaitMs(context_.clock, deadline_us)) > 0;)
    if (event.Wait(ms)) return;
  if (!event.IsSet())
    core::ReportToInterfaceF(core::ReportLevel::kError, kTimeout, slot_, t,
                             static_cast<int>(wait_s));
}

}  // namespace

void WorkerEvent::Create(std::string name) {
  Reset();
  platform::MutexLock guard(name_mutex_);
  name_ = std::move(name);
}

std::string WorkerEvent::name() const {
  platform::MutexLock guard(name_mutex_);
  return name_;
}

int JobTable::Allocate(const Job& job) {
  std::shared_ptr<Job> record(new (std::nothrow) Job(job));
  if (!record) {
    core::ReportToInterface(kOutOfMemory, core::ReportLevel::kError);
    return -1;
  }
  int slot = -1;
  {
    platform::MutexLock guard(mutex_);
    for (int s = 0; s < kJobSlots; ++s) {
      if (!slots_[s]) {
        slot = s;
        slots_[s] = std::move(record);
        allocated_.fetch_add(1);
        break;
      }
    }
  }
  if (slot < 0) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kOverflow, kJobSlots);
    return -1;
  }
  core::ReportToInterfaceF(core::ReportLevel::kInfo, kAllocated, slot);
  return slot;
}

void JobTable::Release(int slot) {
  if (slot < 0 || slot >= kJobSlots) return;
  {
    platform::MutexLock guard(mutex_);
    if (!slots_[slot]) return;
    // Workers still running hold their own reference; the record ends with
    // the last of them.
    slots_[slot].reset();
    allocated_.fetch_sub(1);
  }
  std::string text = platform::StringPrintf(kFreed, slot);
  core::ReportToInterface(text, core::ReportLevel::kInfo);
  std::printf("\n%s\n", text.c_str());
  std::printf(kWaitingInQueue, slot);
  std::fflush(stdout);
}

std::shared_ptr<Job> JobTable::InSlot(int slot) {
  if (slot < 0 || slot >= kJobSlots) return nullptr;
  platform::MutexLock guard(mutex_);
  return slots_[slot];
}

std::string JobRunner::MoveFinishedJobFile(const std::string& job_file_path, bool success) {
  const core::Settings& config = context_.settings;
  if (config.move_job_to_done_or_error_path == 0) return "";
  const std::string& directory = success ? config.done_path : config.error_path;
  if (directory.empty()) return "";
  unsigned now = static_cast<unsigned>(context_.clock.WallSeconds());
  std::string target = platform::JoinPath(
      directory,
      platform::StringPrintf(kFinishedNameFormat, now, FileNameOf(job_file_path).c_str()));
  unlink(target.c_str());  // a file of that name is replaced
  if (!MoveFinishedFile(job_file_path, target)) {
    core::ReportToInterfaceF(core::ReportLevel::kError, kCouldNotMove,
                             core::PrintableText(job_file_path).c_str(),
                             core::PrintableText(target).c_str());
    return "";
  }
  return target;
}

bool JobRunner::RemoveIfFiledAlready(const std::string& job_file_path) {
  const core::Settings& config = context_.settings;
  if (config.move_job_to_done_or_error_path == 0) return false;
  for (const std::string* directory : {&config.done_path, &config.error_path}) {
    if (directory->empty()) continue;
    std::string filed = FiledCopyOf(job_file_path, *directory);
    if (filed.empty()) continue;
    if (unlink(job_file_path.c_str()) != 0) return false;  // filed again below, as a failed job
    core::ConsoleAndReport(
        platform::StringPrintf(kFiledAlready, job_file_path.c_str(), filed.c_str()),
        core::ConsoleLevel::kError, core::ReportLevel::kError);
    return true;
  }
  return false;
}

void JobRunner::JobAlrProc(int s) {
  std::shared_ptr<Job> record = table_.InSlot(s);
  if (!record) return;
  Job& job = *record;
  core::ConsoleAndReport(platform::StringPrintf(kThreadStarted, s, job.alarm_reference.c_str()),
                         core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
  job.thread_count = 0;
  job.history_id = Remember(job);
  // A refused job has an alarm reference that must not name a file.
  if (!job.refused) MultimediaFiles(context_, job).WriteCounts();
  JobWorkers workers(*this, s, record);
  for (int i = 1; i <= job.number_of_cameras && i <= kMaxJobCameras && !job.refused; ++i)
    workers.StartCameraRow(i);
  workers.AwaitAll();
  EndJob(s, job);
}

std::uint64_t JobRunner::Remember(const Job& job) {
  std::vector<JobHistory::Camera> rows;
  for (int i = 1; i <= job.number_of_cameras && i <= kMaxJobCameras && !job.refused; ++i) {
    const int c = job.cameras[static_cast<std::size_t>(i)].camera_number;
    const bool known = c > 0 && c < core::kCameraSlots;
    rows.push_back({.row = i, .number = c, .reference = known ? context_.cameras[c].reference : ""});
  }
  // A job without an alarm moment counts from its start.
  const std::int64_t wall_ms = job.alarm_wall_ms != 0 ? job.alarm_wall_ms : context_.clock.WallMillis();
  return history_.Begin(job.alarm_reference, wall_ms, std::move(rows));
}

void JobRunner::EndJob(int s, Job& job) {
  if (!job.refused) MultimediaFiles(context_, job).WriteCounts();
  bool failed = job.outcome != 0 || job.refused;
  for (int i = 1; i <= job.number_of_cameras && i <= kMaxJobCameras; ++i) {
    const JobCamera& row = job.cameras[static_cast<std::size_t>(i)];
    if (row.file_errors.Get() > 0 || row.command_errors.Get() > 0) failed = true;
  }
  job.outcome = failed ? 1 : 0;
  context_.metrics.Add(failed ? core::Counter::kJobsError : core::Counter::kJobsDone);
  MoveFinishedJobFile(job.job_file_path, !failed);
  history_.End(job.history_id, !failed);
  table_.Release(s);
}

}  // namespace jobs
