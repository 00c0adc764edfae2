// HTTPCommand: one camera command of an alarm job, start to end.
#include "jobs/http_command.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "alarm/alarm_start.h"
#include "camera_http/command_records.h"
#include "core/console.h"
#include "core/report.h"
#include "platform/mutex.h"
#include "platform/strings.h"
#include "platform/thread.h"

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
  std::array<char, kCommandSize> first{};
  std::array<char, kCommandSize> second{};
  std::array<char, kHttpReplySize> reply{};
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
  TableEntry(AlarmServer& alarms, std::string reference, int entry)
      : state_(std::make_shared<State>()) {
    state_->alarms = &alarms;
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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kTableWaitSeconds);
    while (!st->pending.empty()) {
      if (!st->written.WaitUntil(st->mutex, deadline)) return st->pending.empty();
    }
    return true;
  }

 private:
  struct State {
    AlarmServer* alarms = nullptr;
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
  const CIOBoxCommand& io = o.context->commands.io[o.camera];
  const JobCommand& c = o.command;
  if (io.BuildCommand(b.first, c.pin_number, c.io_status) < 0) return Outcome::kFailed;
  if (Send(io, b.first.data(), b, o.camera) != 0) return Outcome::kFailed;
  int delay = io.BuildFollowUp(b.second, c.pin_number, c.io_status);
  // A pulse whose second half could not be built would leave the output
  // set: that is a failure, not a plain set.
  if (delay == kFollowUpFailed) return Outcome::kFailed;
  return SendFollowUp(o, io, delay, b);
}

Outcome RunRecording(const Order& o, Buffers& b) {
  const CRecordingCommand& rec = o.context->commands.recording[o.camera];
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
  const CPTZCommand& ptz = o.context->commands.ptz[o.camera];
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

}  // namespace

void HTTPCommand(std::shared_ptr<HTTPCommandArgs> args) {
  if (!args || !args->record || !args->runner) return;
  const int s = args->job;
  const int i = args->camera_index;
  const int j = args->command_index;
  const int t = args->thread_index;
  if (i < 1 || i > kMaxJobCameras || j < 1 || j > kMaxCommandsPerCamera || t < 0 ||
      t >= kMaxJobWorkers) {
    // JobAlrProc never starts such a thread; without a valid event there is
    // nothing to hand back.
    ConsoleAndReport(platform::StringPrintf(kNoSuchCommand, s, t, i, j), ConsoleLevel::kError,
                     ReportLevel::kError);
    return;
  }

  Order o;
  o.context = &args->runner->context();
  {
    const CJob& job = *args->record;
    const JobCamera& row = job.cameras[static_cast<std::size_t>(i)];
    o.camera = row.camera_number;
    o.alarm_reference = job.alarm_reference;
    o.command = row.commands[static_cast<std::size_t>(j)];
  }

  Kind kind = KindOf(o.command.type_command);
  const char* started = kind == Kind::kIO          ? kStartedIO
                        : kind == Kind::kRecording ? kStartedRecording
                        : kind == Kind::kPTZ       ? kStartedPTZ
                                                   : nullptr;
  if (started)
    ConsoleAndReport(platform::StringPrintf(started, s, j, o.camera, o.alarm_reference.c_str()),
                     ConsoleLevel::kNormal, ReportLevel::kInfo);
  TableEntry table(o.context->alarms, o.alarm_reference, o.command.db_entry);
  auto write_status = [&](int status) {
    if (!table.Write(status))
      ConsoleAndReport(
          platform::StringPrintf(kTableSlow, s, o.camera, j, status, o.command.db_entry,
                                 o.alarm_reference.c_str(), kTableWaitSeconds),
          ConsoleLevel::kError, ReportLevel::kError);
  };
  write_status(kCommandRunning);

  // JobAlrProc only starts commands of known, active cameras; a number
  // outside the tables still must not index them.
  bool camera_known = o.camera >= 0 && o.camera < kCameraSlots;
  Buffers buffers;
  Outcome outcome = Outcome::kFailed;
  switch (kind) {
    case Kind::kIO:
      if (camera_known) outcome = RunIO(o, buffers);
      break;
    case Kind::kRecording:
      if (camera_known) outcome = RunRecording(o, buffers);
      break;
    case Kind::kPTZ:
      if (camera_known) outcome = RunPTZ(o, buffers);
      break;
    case Kind::kUnknown:
      ReportToInterface(kUnknownType, ReportLevel::kInfo);
      outcome = Outcome::kFailedUncounted;
      break;
  }
  bool succeeded = outcome == Outcome::kSucceeded;

  // A job that is over has written its counts and freed its slot: nothing
  // of it is touched any more.
  bool counted = JobGoesOn(*args);
  if (counted && outcome != Outcome::kFailedUncounted) {
    JobCamera& row = args->record->cameras[static_cast<std::size_t>(i)];
    (succeeded ? row.command_successes : row.command_errors).Add(1);
  }

  ConsoleLog(kRule, ConsoleLevel::kSuccess);
  ConsoleAndReport(platform::StringPrintf(kOver, s, o.camera, j, o.command.type_command.c_str()),
                   ConsoleLevel::kSuccess, ReportLevel::kInfo);
  if (succeeded) {
    std::string text = platform::StringPrintf(kSucceeded, s, o.camera, j);
    ReportToInterface(text, ReportLevel::kSuccess);
    ConsoleLog(text, ConsoleLevel::kSuccess);
  } else {
    std::string text = platform::StringPrintf(kFailed, s, o.camera, j);
    ReportToInterface(text, ReportLevel::kError);
    ConsoleLog(text, ConsoleLevel::kError);
  }
  if (!counted) {
    ConsoleAndReport(platform::StringPrintf(kAfterItsJob, s, o.camera, j), ConsoleLevel::kError,
                     ReportLevel::kError);
    ConsoleLog(kRule, ConsoleLevel::kSuccess);
    return;
  }
  write_status(succeeded ? kCommandSucceeded : kCommandFailed);
  ConsoleLog(kRule, ConsoleLevel::kSuccess);
  args->record->thread_events[static_cast<std::size_t>(t)].Set();
}
