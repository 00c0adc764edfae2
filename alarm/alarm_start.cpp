#include "alarm/alarm_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "alarm/alarm_table.h"
#include "alarm/launcher.h"
#include "core/console.h"
#include "core/report.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/unique_fd.h"

namespace alarms {

namespace {

constexpr const char* kReferenceFormat = "%08X";
constexpr const char* kReferenceFileSuffix = ".L1";
constexpr const char* kTableSuffix = ".dbf";
constexpr const char* kTimeFormat = "%02d%02d%02d";
constexpr const char* kBatchLineFormat = "%.*s %d %.*s %.*s %d %.*s";
constexpr const char* kToolLineFormat = "qxe qxarun 1 -i4%d -s3%.*s -s8%.*s -s9alr";

constexpr const char* kL1Failed = "failed to create .L1 file";
constexpr const char* kBufferTooSmall = "a reference needs a buffer of 9 bytes";
constexpr const char* kReferenceFailed =
    "ERROR: unable to create an alarm reference file in '%s' (%d names tried, the last '%s.L1': "
    "error %d, %s)";
constexpr const char* kUnsafeReference =
    "ERROR: the alarm reference '%.*s' cannot name a file in the log directory";
constexpr const char* kStart = "start '%s'";
constexpr const char* kStartFailed = "ERROR: unable to start '%s' (%s)";

constexpr const char* kStatusField = "STATUS";
constexpr const char* kTimeField = "TIME";
constexpr const char* kStatusCopyField = "TO1";
constexpr const char* kTimeCopyField = "TI1";

constexpr std::size_t kCommandLineSize = 1024;
constexpr std::size_t kMessageSize = 1280;

int Len(std::string_view text) { return static_cast<int>(text.size()); }

void FormatReference(std::time_t when, char (&out)[kAlarmReferenceSize]) {
  // Eight hex digits hold the seconds up to the year 2106.
  std::snprintf(out, sizeof out, kReferenceFormat, static_cast<unsigned>(when));
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void ReportError(const char* text) {
  core::ReportToInterface(text, core::ReportLevel::kError);
  core::ConsoleLog(text, core::ConsoleLevel::kError);
}

// A table's trouble: its line at level 3.
void ReportTable(const platform::Status& result) {
  if (!result) core::ReportToInterface(result.reason(), core::ReportLevel::kError);
}

}  // namespace

AlarmServer::AlarmServer(std::string log_directory, core::Metrics& metrics, platform::Clock& clock)
    : log_directory_(std::move(log_directory)), metrics_(metrics), clock_(clock) {}

bool IsSafeAlarmReference(std::string_view reference) {
  // It names files ("<reference>.L1"), never a directory: "." and ".." do no harm.
  return platform::IsPathComponent(reference, {.allow_dot_names = true});
}

platform::Status AlarmServer::CreateReference(std::span<char> reference_out) {
  if (reference_out.size() < kAlarmReferenceSize)
    return platform::Status::Failure(kBufferTooSmall, EINVAL);
  char first[kAlarmReferenceSize];
  char reference[kAlarmReferenceSize];
  const std::time_t now = clock_.WallSeconds();
  FormatReference(now, first);
  int error = 0;
  int tried = 0;
  while (tried < kAlarmReferenceAttempts) {
    int k = tried++;
    FormatReference(now + k, reference);
    std::string path =
        platform::JoinPath(log_directory_, std::string(reference) + kReferenceFileSuffix);
    // Exclusive creation is what keeps two alarms of the same second apart,
    // across threads and processes alike.
    // O_EXCL also refuses a link planted under the name, wherever it points.
    if (platform::UniqueFd fd(
            open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        fd.valid()) {
      fd.reset();
      // The alarm server expects an empty text file; opening it once more
      // as one proves it can be written. The reference stands either way
      // (its file exists), so this is a note of its own, not a failure. The
      // folder is shared: the name may have been replaced meanwhile, so the
      // second open follows no link and takes only a regular file.
      if (!platform::OpenRegularFile(path, O_WRONLY | O_TRUNC))
        core::ReportToInterface(kL1Failed, core::ReportLevel::kInfo);
      std::memcpy(reference_out.data(), reference, kAlarmReferenceSize);
      return {};
    }
    error = errno;
    // Only a taken name is worth another try; a missing or read-only
    // directory stays so for every name.
    if (error != EEXIST) break;
  }
  char message[kMessageSize];
  std::snprintf(message, sizeof message, kReferenceFailed, log_directory_.c_str(), tried, reference,
                error, std::strerror(error));
  std::memcpy(reference_out.data(), first, kAlarmReferenceSize);
  return platform::Status::Failure(message, error);
}

platform::Status AlarmServer::LaunchAlarm(std::string_view script, int alarm,
                                          std::string_view text_a, std::string_view reference,
                                          int number_b, std::string_view name) {
  char line[kCommandLineSize];
  char message[kMessageSize];
  auto start = [&]() -> platform::Status {
    std::snprintf(message, sizeof message, kStart, line);
    core::ReportToInterface(message, core::ReportLevel::kInfo);
    platform::Status started = RunDetached(line);
    if (started) return {};
    std::snprintf(message, sizeof message, kStartFailed, line, started.reason().c_str());
    return platform::Status::Failure(message, started.error());
  };
  if (IsRegularFile(std::string(script))) {
    std::snprintf(line, sizeof line, kBatchLineFormat, Len(script), script.data(), alarm,
                  Len(text_a), text_a.data(), Len(reference), reference.data(), number_b, Len(name),
                  name.data());
    platform::Status started = start();
    if (started) return {};
    // An alarm lost matters more than a batch file that cannot run: this
    // failure is told here, and the alarm goes to the tool as it would
    // without the batch file.
    ReportError(started.reason().c_str());
  }
  std::snprintf(line, sizeof line, kToolLineFormat, alarm, Len(reference), reference.data(),
                Len(name), name.data());
  return start();
}

platform::Status AlarmServer::RunDetached(const std::string& command_line) {
  Launcher launcher(command_line.c_str());
  if (platform::Status started = launcher.Start(1, 1); !started) {
    metrics_.Add(core::Counter::kLaunchFailures);
    return started;
  }
  metrics_.Add(core::Counter::kLaunches);
  launcher.Detach();  // never waited for; its exit code is never read
  return {};
}

void AlarmServer::UpdateAlarmDatabase(std::string_view reference, int entry, int status) {
  if (!IsSafeAlarmReference(reference)) {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kUnsafeReference, Len(reference), reference.data());
    ReportError(message);
    return;
  }
  std::time_t now = clock_.WallSeconds();
  std::tm tm{};
  localtime_r(&now, &tm);
  char time_text[16];
  std::snprintf(time_text, sizeof time_text, kTimeFormat, tm.tm_hour, tm.tm_min, tm.tm_sec);

  std::string path = platform::JoinPath(log_directory_, std::string(reference) + kTableSuffix);
  AlarmTable table;
  if (platform::Status opened = table.Open(path.c_str()); !opened) {
    // A missing table is normal for alarms without commands: no message.
    if (!table.FileUnavailable()) ReportTable(opened);
    return;
  }
  // The four fields go down together when the table is closed: one locked
  // write of the record, and one line when it cannot be made (a table we
  // may only read, a lock that outlasts the wait, a full disk).
  table.SetFlush(0);
  // Nothing is written to a record that does not exist.
  if (platform::Status there = table.Go(static_cast<long>(entry) + 1); !there) {
    ReportTable(there);
    ReportTable(table.Close());
    return;
  }
  // A field the table lacks is left out quietly; one that cannot take its
  // value keeps the others from being held up.
  auto assign = [&table](const char* field, const auto& value) {
    if (table.IsField(field)) ReportTable(table.Replace(field, value));
  };
  assign(kStatusField, status);
  assign(kTimeField, time_text);
  assign(kStatusCopyField, status);
  assign(kTimeCopyField, time_text);
  ReportTable(table.Close());
}

}  // namespace alarms
