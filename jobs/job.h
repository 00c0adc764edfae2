#pragma once
// Job, the record of one running alarm job; JobTable, the slots that hold
// the running jobs; and JobRunner, which runs a job in its slot. The slot
// number is the job's handle in every message; the record itself is shared
// (std::shared_ptr) between the slot, JobAlrProc and every worker thread of
// the job, so a worker that is still running after JobAlrProc has given up
// waiting for it never touches freed memory.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/camera/camera.h"
#include "alarm/alarm_start.h"
#include "camera_http/command_records.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "jobs/job_history.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/mutex.h"

namespace jobs {

inline constexpr int kJobSlots = 1024;
// "NumberOfCams" at most; camera rows are indexed 1..19, row 0 stays empty.
inline constexpr int kMaxJobCameras = 19;
inline constexpr int kJobRows = kMaxJobCameras + 1;
// "NbrOfCommands" at most; command columns are indexed 1..4, column 0 stays empty.
inline constexpr int kMaxCommandsPerCamera = 4;
inline constexpr int kCommandColumns = kMaxCommandsPerCamera + 1;
// Image copies and commands of one job together.
inline constexpr int kMaxJobWorkers = 20;
// How long JobAlrProc waits for each worker; one whose own work lasts longer
// is awaited that long and kLongWorkMarginSeconds more.
inline constexpr long long kWorkerWaitSeconds = 3600;
inline constexpr long long kLongWorkMarginSeconds = 600;

// Text limits of the job record.
inline constexpr std::size_t kAlarmRefMax = 9;
inline constexpr std::size_t kIOStatusMax = 63;
inline constexpr std::size_t kPTZCommandTypeMax = 63;
inline constexpr std::size_t kTypeCommandMax = 255;

// A per-camera counter of a job. Workers add to it while JobAlrProc (after a
// time-out) may already read it, hence atomic; copying a job record copies
// the value.
class JobCounter {
 public:
  JobCounter() = default;
  JobCounter(const JobCounter& other) : value_(other.value_.load()) {}
  JobCounter& operator=(const JobCounter& other) {
    value_.store(other.value_.load());
    return *this;
  }
  void Add(int n) { value_.fetch_add(n); }
  int Get() const { return value_.load(); }

 private:
  std::atomic<int> value_{0};
};

// The completion event of one worker thread: manual reset, set once by the
// worker when it ends, awaited by JobAlrProc. Named ("imcopy_%d_%d",
// "http_com_%d_%d") for the messages only: it is private to this process and
// nothing outside ever waits on it. A copied record gets fresh, unset events
// (running state is not copied).
class WorkerEvent : public platform::Event {
 public:
  WorkerEvent() = default;
  WorkerEvent(const WorkerEvent&) : platform::Event() {}
  WorkerEvent& operator=(const WorkerEvent&) { return *this; }
  // Names the event and clears it, for a new worker.
  void Create(std::string name);
  std::string name() const;

 private:
  mutable platform::Mutex name_mutex_;
  std::string name_ GUARDED_BY(name_mutex_);
};

// One "Camera%dCommand%d" section of the job file.
struct JobCommand {
  int pin_number = 0;            // "PinNumber"
  int db_entry = 0;              // "DBEntry"
  int duration = 0;              // "Duration"
  std::string io_status;         // "IOStatus"
  std::string ptz_command_type;  // "PTZCommandType"
  int preset_position = 0;       // "PresetPositionIndex"
  std::string type_command;      // "TypeCommand": "io", "rec" or "ptz"
};

// One "Camera%d" section of the job file and what the job did with it.
struct JobCamera {
  std::string multimedia_directory;  // "<LogDirectory>/multimedia/<camera ref>/<alarm ref>"
  int camera_number = -1;            // "CameraScenario"
  int duration = 30;                 // "Duration", seconds
  float interval = 1;                // "Interval", seconds, never 0
  int type = 0;                      // "Type": 0 or 1 copy images
  int pre_record_time = 0;           // "PreRecordTime", seconds
  int number_of_commands = 0;        // "NbrOfCommands", 0..4
  // A value of this camera made no sense (reported when the file was read):
  // the camera is not run and the job ends in the error directory.
  bool refused = false;
  JobCounter file_successes;
  JobCounter file_errors;
  JobCounter command_successes;
  JobCounter command_errors;
  std::array<JobCommand, kCommandColumns> commands;
};

struct Job {
  std::string job_file_path;  // in the processing directory
  std::string alarm_reference;
  // The alarm moment: when the job file was first seen (monotonic clock, and
  // the wall clock for people). Every image time of the job counts from it,
  // however late a worker starts. 0: the moment the image copy starts.
  std::int64_t alarm_moment_us = 0;
  std::int64_t alarm_wall_ms = 0;
  int number_of_cameras = 1;
  // 0 success, non-zero failure. The reader presets failure when it had to
  // refuse something; JobAlrProc adds the workers' errors.
  int outcome = 0;
  std::array<JobCamera, kJobRows> cameras;
  // The whole job is refused (reported when read): nothing runs, nothing is
  // written, the file goes to the error directory.
  bool refused = false;
  // Written by JobAlrProc only, before the workers start.
  int thread_count = 0;
  std::uint64_t history_id = 0;  // its record in the runner's JobHistory
  std::array<WorkerEvent, kMaxJobWorkers> thread_events;
};

// What the threads of every job work with. app/ builds one for the gateway;
// everything it refers to lives as long as the process.
struct JobContext {
  const core::Settings& settings;
  acquisition::CameraTable& cameras;
  const camera_http::CommandRecords& commands;
  alarms::AlarmServer& alarms;
  core::Metrics& metrics;
  platform::Clock& clock;
};

// The slots of the running jobs. Any thread may call it; one lock guards the
// slots.
class JobTable {
 public:
  // Copies `job` into a new record in the lowest free slot. The slot
  // number, or -1 (after its message) when memory or slots are exhausted.
  int Allocate(const Job& job);
  // Frees the slot (its record lives on while workers still hold it).
  // Nothing happens for an empty slot.
  void Release(int slot);
  // The record in `slot`, or null.
  std::shared_ptr<Job> InSlot(int slot);
  // The number of allocated slots. Read without the lock by the watcher: it
  // only falls while the watcher waits, so a stale value only delays a job.
  int AllocatedCount() const { return allocated_.load(); }

 private:
  platform::Mutex mutex_;
  std::shared_ptr<Job> slots_[kJobSlots] GUARDED_BY(mutex_);
  std::atomic<int> allocated_{0};
};

struct HTTPCommandArgs;

// The procedure JobAlrProc runs on a thread of its own for every command of a
// job. Without one (a runner built without a command sender) commands are
// not run and count neither as successes nor as errors. The procedure must
// add to its camera's command counters and set
// record->thread_events[thread_index] when it ends, whatever the outcome.
using CommandWorker = void (*)(std::shared_ptr<HTTPCommandArgs> args);

// Runs the jobs of one gateway: holds their slots and starts, for a job in a
// slot, the thread that runs it. Built once by app/ and never destroyed, as
// job threads use it until they end.
class JobRunner {
 public:
  explicit JobRunner(const JobContext& context, CommandWorker command_worker = nullptr)
      : context_(context), command_worker_(command_worker) {}
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  const JobContext& context() const { return context_; }
  JobTable& table() { return table_; }
  CommandWorker command_worker() const { return command_worker_; }
  // The last jobs, for the status port.
  JobHistory& history() { return history_; }

  // The job thread of `slot`: starts the workers, waits for them, writes the
  // final counts, moves the job file to the done or error directory and
  // releases the slot.
  void JobAlrProc(int slot);

  // Moves a finished (or refused) job file into the done directory
  // (success) or the error directory as "<%08X time>-<name>", when
  // "MoveJobToDoneOrErrorPath" is not 0 and the directory is set. The target
  // path, or "" when the file stays where it is.
  std::string MoveFinishedJobFile(const std::string& job_file_path, bool success);

  // A job file an earlier run left in the processing directory while it
  // moved it: when "DonePath" or "ErrorPath" already holds it under a
  // finished name with the same content (FiledCopyOf), the file left behind
  // is removed, with a warning, and true returned; otherwise nothing is done.
  bool RemoveIfFiledAlready(const std::string& job_file_path);

 private:
  // The job's end: its final counts, its outcome, its file moved, its slot
  // released.
  void EndJob(int slot, Job& job);
  // The job's record in the history: its id.
  std::uint64_t Remember(const Job& job);

  const JobContext context_;
  JobTable table_;
  const CommandWorker command_worker_;
  JobHistory history_;
};

// Argument record of a command thread. The record keeps the job alive until
// the thread has ended.
struct HTTPCommandArgs {
  JobRunner* runner = nullptr;
  int job = 0;            // slot
  int camera_index = 0;   // i
  int command_index = 0;  // j
  int thread_index = 0;   // its event in the job's thread events
  std::shared_ptr<Job> record;
};

}  // namespace jobs
