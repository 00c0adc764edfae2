// The job slot table and JobAlrProc, the thread that runs one job.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <vector>

#include "acquisition/camera/camera.h"
#include "core/console.h"
#include "core/report.h"
#include "jobs/image_copy.h"
#include "jobs/job.h"
#include "jobs/multimedia.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

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
constexpr const char* kImageCopyEventFormat = "imcopy_%d_%d";
constexpr const char* kCommandEventFormat = "http_com_%d_%d";
constexpr const char* kMultimediaDirName = "multimedia";
constexpr const char* kFinishedNameFormat = "%08X-%s";
constexpr const char* kImageCopyName = "ImageCopy";
constexpr const char* kCommandName = "HTTPCommand";
constexpr int kStreamingExtraSeconds = 20;
// A worker whose work lasts longer than the hour it is awaited gets its own
// time and this much more.
constexpr long long kLongWorkMarginSeconds = 600;

// A camera reference names one directory below "<LogDirectory>/multimedia".
bool ReferenceNamesOneDirectory(const std::string& reference) {
  return platform::IsPathComponent(reference, {});
}

// rename(), or a copy and delete when the target lies on another file system
// (the done directory may be a mount of its own). 0 or -1.
int MoveFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EXDEV) return -1;
  platform::UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return -1;
  platform::UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return -1;
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0 || !platform::WriteAll(out.get(), buf, static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  in.reset();
  if (!out.Close()) ok = false;
  if (!ok) {
    unlink(to.c_str());
    return -1;
  }
  return unlink(from.c_str()) == 0 ? 0 : -1;
}

std::string FileNameOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

int JobTable::Allocate(const CJob& job) {
  std::shared_ptr<CJob> record(new (std::nothrow) CJob(job));
  if (!record) {
    ReportToInterface(kOutOfMemory, ReportLevel::kError);
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
    ReportToInterfaceF(ReportLevel::kError, kOverflow, kJobSlots);
    return -1;
  }
  ReportToInterfaceF(ReportLevel::kInfo, kAllocated, slot);
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
  ReportToInterface(text, ReportLevel::kInfo);
  std::printf("\n%s\n", text.c_str());
  std::printf(kWaitingInQueue, slot);
  std::fflush(stdout);
}

std::shared_ptr<CJob> JobTable::InSlot(int slot) {
  if (slot < 0 || slot >= kJobSlots) return nullptr;
  platform::MutexLock guard(mutex_);
  return slots_[slot];
}

std::string JobRunner::MoveFinishedJobFile(const std::string& job_file_path, bool success) {
  const ConfigSettings& config = context_.settings;
  if (config.move_job_to_done_or_error_path == 0) return "";
  const std::string& directory = success ? config.done_path : config.error_path;
  if (directory.empty()) return "";
  unsigned now = static_cast<unsigned>(context_.clock.WallSeconds());
  std::string target = platform::JoinPath(
      directory,
      platform::StringPrintf(kFinishedNameFormat, now, FileNameOf(job_file_path).c_str()));
  unlink(target.c_str());  // a file of that name is replaced
  if (MoveFile(job_file_path, target) != 0) {
    ReportToInterfaceF(ReportLevel::kError, kCouldNotMove, job_file_path.c_str(), target.c_str());
    return "";
  }
  return target;
}

void JobRunner::JobAlrProc(int s) {
  std::shared_ptr<CJob> record = table_.InSlot(s);
  if (!record) return;
  CJob& job = *record;

  ConsoleAndReport(platform::StringPrintf(kThreadStarted, s, job.alarm_reference.c_str()),
                   ConsoleLevel::kNormal, ReportLevel::kInfo);
  job.thread_count = 0;
  // A refused job has an alarm reference that must not name a file.
  if (!job.refused) MultimediaFiles(context_.settings.log_directory, job).WriteCounts();

  // Kept until the waits are over; each worker holds its own reference too.
  std::vector<std::shared_ptr<ImageCopyArgs>> copy_args;
  std::vector<std::shared_ptr<HTTPCommandArgs>> command_args;
  int wanted_workers = 0;
  CommandWorker command_worker = command_worker_;

  // How long each worker's own work lasts, so a job longer than the wait
  // is not given up while it still runs as asked.
  std::array<long long, kMaxJobWorkers> work_seconds{};
  auto start_worker = [&](const char* event_format, const char* kind, long long seconds,
                          auto make_args, auto body) {
    ++wanted_workers;
    if (job.thread_count >= kMaxJobWorkers) return;
    int t = job.thread_count;
    work_seconds[static_cast<std::size_t>(t)] = seconds;
    WorkerEvent& event = job.thread_events[static_cast<std::size_t>(t)];
    event.Create(platform::StringPrintf(event_format, s, t));
    event.Reset();
    auto args = make_args(t);
    if (!platform::StartThread([args, body] { body(args); })) {
      ConsoleAndReport(platform::StringPrintf(kWorkerNotStarted, s, kind, t), ConsoleLevel::kError,
                       ReportLevel::kError);
      job.outcome = 1;
      return;
    }
    ++job.thread_count;
  };

  for (int i = 1; i <= job.number_of_cameras && i <= kMaxJobCameras && !job.refused; ++i) {
    JobCamera& row = job.cameras[static_cast<std::size_t>(i)];
    int n = row.camera_number;
    if (row.refused) {
      ReportToInterfaceF(ReportLevel::kError, kCameraRefused, s, i);
      continue;
    }
    if (n < 0 || n >= kCameraSlots) {
      std::string text = platform::StringPrintf(kCameraUnknown, s, n);
      ConsoleAndReport(text, ConsoleLevel::kError, ReportLevel::kError);
      continue;
    }
    const CCamera& base = context_.cameras[n];
    if (!base.IsActive()) {
      ConsoleAndReport(platform::StringPrintf(kCameraInactive, s, n), ConsoleLevel::kError,
                       ReportLevel::kInfo);
      continue;
    }
    if (row.type == 0 || row.type == 1) {
      if (!ReferenceNamesOneDirectory(base.reference)) {
        // The configuration already reported it; images of this camera would
        // land outside the log directory.
        ConsoleAndReport(platform::StringPrintf(kUnsafeReference, s, n, base.reference.c_str()),
                         ConsoleLevel::kError, ReportLevel::kError);
        job.outcome = 1;
      } else {
        // An empty "LogDirectory" is the working directory, as for the
        // job's message and log files.
        row.multimedia_directory = platform::JoinPath(
            platform::JoinPath(platform::JoinPath(context_.settings.log_directory, kMultimediaDirName),
                               base.reference),
            job.alarm_reference);
        CCamera& camera = context_.cameras[n];
        std::uint32_t session = camera.IsPermanent()
                                    ? camera.CurrentSession()
                                    : camera.StartStreaming(row.duration + kStreamingExtraSeconds);
        start_worker(
            kImageCopyEventFormat, kImageCopyName, row.duration,
            [&](int t) {
              auto args = std::make_shared<ImageCopyArgs>();
              args->runner = this;
              args->alarm_reference = job.alarm_reference;
              args->job = s;
              args->camera_index = i;
              args->thread_index = t;
              args->session = session;
              args->record = record;
              copy_args.push_back(args);
              return args;
            },
            ImageCopy);
      }
    }
    if (!command_worker) {
      // Commands of any camera type run once the gateway has a command
      // sender; until then they count neither as done nor as failed.
      if (row.number_of_commands > 0)
        ReportToInterfaceF(ReportLevel::kInfo, kCommandsNotRun, s, n, row.number_of_commands);
      continue;
    }
    for (int j = 1; j <= row.number_of_commands; ++j) {
      start_worker(
          kCommandEventFormat, kCommandName, row.commands[static_cast<std::size_t>(j)].duration,
          [&](int t) {
            auto args = std::make_shared<HTTPCommandArgs>();
            args->runner = this;
            args->job = s;
            args->camera_index = i;
            args->command_index = j;
            args->thread_index = t;
            args->record = record;
            command_args.push_back(args);
            return args;
          },
          command_worker);
    }
  }
  if (wanted_workers > kMaxJobWorkers) {
    ConsoleAndReport(
        platform::StringPrintf(kTooManyWorkers, s, wanted_workers, kMaxJobWorkers, kMaxJobWorkers),
        ConsoleLevel::kError, ReportLevel::kError);
  }

  ReportToInterfaceF(ReportLevel::kInfo, kWaitOn, s, job.thread_count);
  for (int t = 0; t < job.thread_count; ++t) {
    long long wait_ms = worker_wait_ms_;
    long long work_s = work_seconds[static_cast<std::size_t>(t)];
    if (work_s * 1000 > wait_ms) wait_ms = (work_s + kLongWorkMarginSeconds) * 1000;
    if (!job.thread_events[static_cast<std::size_t>(t)].Wait(wait_ms))
      ReportToInterfaceF(ReportLevel::kError, kTimeout, s, t, static_cast<int>(wait_ms / 1000));
  }

  if (!job.refused) MultimediaFiles(context_.settings.log_directory, job).WriteCounts();
  bool failed = job.outcome != 0 || job.refused;
  for (int i = 1; i <= job.number_of_cameras && i <= kMaxJobCameras; ++i) {
    const JobCamera& row = job.cameras[static_cast<std::size_t>(i)];
    if (row.file_errors.Get() > 0 || row.command_errors.Get() > 0) failed = true;
  }
  job.outcome = failed ? 1 : 0;
  context_.metrics.Add(failed ? metrics::Count::kJobsError : metrics::Count::kJobsDone);
  MoveFinishedJobFile(job.job_file_path, !failed);
  table_.Release(s);
}
