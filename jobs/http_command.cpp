// HTTPCommand: one camera command of an alarm job, start to end.
#include "jobs/http_command.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <string>

#include "alarm/alarm_start.h"
#include "camera_http/command_records.h"
#include "core/console.h"
#include "core/report.h"
#include "jobs/clock_wait.h"
#include "platform/mutex.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace jobs {

namespace {

constexpr const char* kStartedIO =
    "Job %d: HTTPCommand thread (%d) started (Input Pin) (camera %d - alarm reference %s)";
constexpr const char* kStartedRecording =
    "Job %d: HTTPCommand thread (%d) started (Recording) (camera %d - alarm reference %s)";
constexpr const char* kStartedPTZ =
    "Job %d: HTTPCommand thread (%d) started (PTZ) (camera %d - alarm reference %s)";
constexpr const char* kUnknownType = "ERROR: this command has an unknown type";
constexpr const char* kRule = "--------------------------------";
constexpr const char* kOver = "Job %d: (camera %d) HTTPCommand thread (%d - %s) is over";
constexpr const char* kSucceeded = "Job %d: (camera %d) command (%d) succeed";
constexpr const char* kFailed = "Job %d: (camera %d) command (%d) failed";
constexpr const char* kAfterItsJob =
    "Job %d: (camera %d) command (%d) ended after its job was over: it is not counted and its "
    "table entry is left as it was";
constexpr const char* kTableSlow =
    "Job %d: (camera %d) command (%d): status %d is not yet in entry %d of the alarm table of %s "
    "after %d seconds (is the table locked?) - going on without waiting for it";
constexpr const char* kNoSuchCommand =
    "Job %d: ERROR: HTTPCommand thread %d started for camera index %d, command %d, which the job "
    "does not have";

constexpr const char* kTypeIO = "io";
constexpr const char* kTypeRecording = "rec";
constexpr const char* kTypePTZ = "ptz";

// How long a command waits for a status write to its alarm table before it
// goes on without it.
constexpr int kTableWaitSeconds = 5;

enum class Kind { kIO, kRecording, kPTZ, kUnknown };

enum class Outcome {
  kSucceeded,
  kFailed,          // counted as a command error
  kFailedUncounted  // an unknown type: failed, but neither count changes
};

Kind KindOf(const std::string& type) {
  if (strcasecmp(type.c_str(), kTypeIO) == 0) return Kind::kIO;
  if (strcasecmp(type.c_str(), kTypeRecording) == 0) return Kind::kRecording;
  if (strcasecmp(type.c_str(), kTypePTZ) == 0) return Kind::kPTZ;
  return Kind::kUnknown;
}

// What the thread keeps of its job: copied at the start, so a thread that
// outlives its job reads nothing of the record any more.
struct Order {
  const JobContext* context = nullptr;
  int camera = 0;  // camera number
  std::string alarm_reference;
  JobCommand command;
};

// The buffers of one command: what is sent first, the follow-up, the reply.
struct Buffers {
  std::array<char, camera_http::kCommandSize> first{};
  std::array<char, camera_http::kCommandSize> second{};
  std::array<char, camera_http::kHttpReplySize> reply{};
};

// The status writes of one command to its entry of the alarm's table. The
// table engine waits up to 5 s for a lock the alarm server holds on the
// record, then gives up with a line of its own; the writes therefore run in
// order on a thread of their own, and the command waits for each at most
// kTableWaitSeconds, so a locked table holds up neither the command nor its
// job. A write that is late but within the engine's wait still lands, after
// the ones before it.
class TableEntry {
 public:
  TableEntry(const JobContext& context, std::string reference, int entry)
      : clock_(context.clock), state_(std::make_shared<State>()) {
    state_->alarms = &context.alarms;
    state_->reference = std::move(reference);
    state_->entry = entry;
  }

  // Queues `status`; true when it was written within the wait.
  bool Write(int status) {
    std::shared_ptr<State> st = state_;
    bool start = false;
    {
      platform::MutexLock guard(st->mutex);
      st->pending.push_back(status);
      start = !st->writing;
      st->writing = true;
    }
    // Without a thread of its own the write is made here, however long it takes.
    if (start && !platform::StartThread([st] { Drain(*st); })) Drain(*st);
    platform::MutexLock lock(st->mutex);
    const std::int64_t deadline_us =
        clock_.MonotonicMicros() + kTableWaitSeconds * platform::kMicrosPerSecond;
    while (!st->pending.empty()) {
      const long long ms = NextWaitMs(clock_, deadline_us);
      if (ms == 0) return false;
      st->written.WaitFor(st->mutex, std::chrono::milliseconds(ms));
    }
    return true;
  }

 private:
  struct State {
    alarms::AlarmServer* alarms = nullptr;
    std::string reference;
    int entry = 0;
    platform::Mutex mutex;
    platform::CondVar written;
    std::deque<int> pending GUARDED_BY(mutex);
    bool writing GUARDED_BY(mutex) = false;  // a writer is draining `pending`
  };

  static void Drain(State& st) {
    st.mutex.Lock();
    while (!st.pending.empty()) {
      int status = st.pending.front();
      st.mutex.Unlock();
      // A missing table is normal (the alarm has no commands in a table);
      // an unreadable one is reported by the table layer.
      st.alarms->UpdateAlarmDatabase(st.reference, st.entry, status);
      st.mutex.Lock();
      st.pending.pop_front();
    }
    st.writing = false;
    st.written.SignalAll();
    st.mutex.Unlock();
  }

  const platform::Clock& clock_;
  std::shared_ptr<State> state_;
};

// Sends `command` with the kind's record: 0 accepted, -1 failed (the
// record logs why).
template <class Record>
int Send(const Record& record, const char* command, Buffers& b, int camera) {
  std::fill(b.reply.begin(), b.reply.end(), '\0');
  return record.Execute(command, b.reply, camera);
}

// The follow-up after its delay; a delay of 0 or less means there is none.
template <class Record>
Outcome SendFollowUp(const Order& o, const Record& record, int delay_seconds, Buffers& b) {
  if (delay_seconds <= 0) return Outcome::kSucceeded;
  o.context->clock.SleepMicros(delay_seconds * platform::kMicrosPerSecond);
  return Send(record, b.second.data(), b, o.camera) == 0 ? Outcome::kSucceeded : Outcome::kFailed;
}

Outcome RunIO(const Order& o, Buffers& b) {
  const camera_http::IoBoxCommand& io = o.context->commands.io[o.camera];
  const JobCommand& c = o.command;
  if (io.BuildCommand(b.first, c.pin_number, c.io_status) < 0) return Outcome::kFailed;
  if (Send(io, b.first.data(), b, o.camera) != 0) return Outcome::kFailed;
  int delay = io.BuildFollowUp(b.second, c.pin_number, c.io_status);
  // A pulse whose second half could not be built would leave the output
  // set: that is a failure, not a plain set.
  if (delay == camera_http::kFollowUpFailed) return Outcome::kFailed;
  return SendFollowUp(o, io, delay, b);
}

Outcome RunRecording(const Order& o, Buffers& b) {
  const camera_http::RecordingCommand& rec = o.context->commands.recording[o.camera];
  if (rec.BuildStart(b.first) < 0) return Outcome::kFailed;
  if (Send(rec, b.first.data(), b, o.camera) != 0) return Outcome::kFailed;
  // Built (and its handle looked up) whatever the duration, so the log
  // shows a reply the expression does not match.
  int stop_built = rec.BuildStop(b.second, b.reply.data());
  int delay = o.command.duration;
  if (delay <= 0) return Outcome::kSucceeded;
  // A stop that cannot be built would leave the recording running.
  if (stop_built < 0) return Outcome::kFailed;
  return SendFollowUp(o, rec, delay, b);
}

Outcome RunPTZ(const Order& o, Buffers& b) {
  const camera_http::PtzCommand& ptz = o.context->commands.ptz[o.camera];
  const JobCommand& c = o.command;
  if (ptz.BuildCommand(b.first, c.ptz_command_type, c.preset_position) < 0) return Outcome::kFailed;
  return Send(ptz, b.first.data(), b, o.camera) == 0 ? Outcome::kSucceeded : Outcome::kFailed;
}

// True while the job that started the thread still holds its slot. The
// thread's own reference keeps the record's address from being reused, so
// a later job in the same slot is never taken for this one.
bool JobGoesOn(const HTTPCommandArgs& args) {
  return args.runner->table().InSlot(args.job) == args.record;
}

// False (after its message) for indices JobAlrProc never hands out: without
// a valid event there is nothing to hand back.
bool IndicesValid(const HTTPCommandArgs& args) {
  const int i = args.camera_index, j = args.command_index, t = args.thread_index;
  if (i >= 1 && i <= kMaxJobCameras && j >= 1 && j <= kMaxCommandsPerCamera && t >= 0 &&
      t < kMaxJobWorkers)
    return true;
  core::ConsoleAndReport(platform::StringPrintf(kNoSuchCommand, args.job, t, i, j),
                         core::ConsoleLevel::kError, core::ReportLevel::kError);
  return false;
}

Order OrderOf(const HTTPCommandArgs& args) {
  const Job& job = *args.record;
  const JobCamera& row = job.cameras[static_cast<std::size_t>(args.camera_index)];
  Order o;
  o.context = &args.runner->context();
  o.camera = row.camera_number;
  o.alarm_reference = job.alarm_reference;
  o.command = row.commands[static_cast<std::size_t>(args.command_index)];
  return o;
}

void SayStarted(const HTTPCommandArgs& args, const Order& o, Kind kind) {
  const char* started = kind == Kind::kIO          ? kStartedIO
                        : kind == Kind::kRecording ? kStartedRecording
                        : kind == Kind::kPTZ       ? kStartedPTZ
                                                   : nullptr;
  if (started)
    core::ConsoleAndReport(platform::StringPrintf(started, args.job, args.command_index, o.camera,
                                                  o.alarm_reference.c_str()),
                           core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
}

// Writes `status` into the command's table entry; says so when the table
// did not take it within the wait.
void WriteStatus(TableEntry& table, const HTTPCommandArgs& args, const Order& o, int status) {
  if (table.Write(status)) return;
  core::ConsoleAndReport(
      platform::StringPrintf(kTableSlow, args.job, o.camera, args.command_index, status,
                             o.command.db_entry, o.alarm_reference.c_str(), kTableWaitSeconds),
      core::ConsoleLevel::kError, core::ReportLevel::kError);
}

// Builds and sends the command of its kind. JobAlrProc only starts commands
// of known, active cameras; a number outside the tables still must not
// index them.
Outcome Execute(Kind kind, const Order& o) {
  if (kind == Kind::kUnknown) {
    core::ReportToInterface(kUnknownType, core::ReportLevel::kInfo);
    return Outcome::kFailedUncounted;
  }
  if (o.camera < 0 || o.camera >= core::kCameraSlots) return Outcome::kFailed;
  Buffers buffers;
  switch (kind) {
    case Kind::kIO:
      return RunIO(o, buffers);
    case Kind::kRecording:
      return RunRecording(o, buffers);
    default:
      return RunPTZ(o, buffers);
  }
}

void SayOutcome(const HTTPCommandArgs& args, const Order& o, bool succeeded) {
  const int s = args.job, j = args.command_index;
  core::ConsoleLog(kRule, core::ConsoleLevel::kSuccess);
  core::ConsoleAndReport(
      platform::StringPrintf(kOver, s, o.camera, j, o.command.type_command.c_str()),
      core::ConsoleLevel::kSuccess, core::ReportLevel::kInfo);
  if (succeeded) {
    std::string text = platform::StringPrintf(kSucceeded, s, o.camera, j);
    core::ReportToInterface(text, core::ReportLevel::kSuccess);
    core::ConsoleLog(text, core::ConsoleLevel::kSuccess);
  } else {
    std::string text = platform::StringPrintf(kFailed, s, o.camera, j);
    core::ReportToInterface(text, core::ReportLevel::kError);
    core::ConsoleLog(text, core::ConsoleLevel::kError);
  }
}

}  // namespace

void HTTPCommand(std::shared_ptr<HTTPCommandArgs> args) {
  if (!args || !args->record || !args->runner || !IndicesValid(*args)) return;
  const Order o = OrderOf(*args);
  const Kind kind = KindOf(o.command.type_command);
  SayStarted(*args, o, kind);
  TableEntry table(*o.context, o.alarm_reference, o.command.db_entry);
  WriteStatus(table, *args, o, alarms::kCommandRunning);
  const Outcome outcome = Execute(kind, o);
  const bool succeeded = outcome == Outcome::kSucceeded;

  // A job that is over has written its counts and freed its slot: nothing
  // of it is touched any more.
  const bool counted = JobGoesOn(*args);
  if (counted && outcome != Outcome::kFailedUncounted) {
    JobCamera& row = args->record->cameras[static_cast<std::size_t>(args->camera_index)];
    (succeeded ? row.command_successes : row.command_errors).Add(1);
  }
  SayOutcome(*args, o, succeeded);
  if (!counted) {
    core::ConsoleAndReport(
        platform::StringPrintf(kAfterItsJob, args->job, o.camera, args->command_index),
        core::ConsoleLevel::kError, core::ReportLevel::kError);
    core::ConsoleLog(kRule, core::ConsoleLevel::kSuccess);
    return;
  }
  WriteStatus(table, *args, o, succeeded ? alarms::kCommandSucceeded : alarms::kCommandFailed);
  core::ConsoleLog(kRule, core::ConsoleLevel::kSuccess);
  args->record->thread_events[static_cast<std::size_t>(args->thread_index)].Set();
}

}  // namespace jobs
