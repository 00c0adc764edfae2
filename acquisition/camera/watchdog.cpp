#include "acquisition/camera/watchdog.h"

#include <climits>

#include "acquisition/status_file.h"
#include "core/console.h"
#include "core/report.h"
#include "platform/strings.h"

namespace acquisition {

namespace {
constexpr const char* kWatchdogStarted = "Start Watchdog Thread for camera %d";
constexpr const char* kNoWatchdog = "Camera %d: No WatchDog received -> Start alarm %d";
constexpr const char* kWatchdogCommand = "qxarun.cmd %d";
constexpr const char* kWatchdogNotStarted =
    "Camera %d: ERROR: the watchdog alarm %d could not be started: %s: %s";
constexpr const char* kTimeoutRaised =
    "WARNING: camera %d: watchdog Timeout %d is below one minute; the watchdog uses 1 minute";
// Minutes beyond this (about 24 days) are taken as this: the largest
// time-out or pause the settings can name.
constexpr int kMaxMinutes = INT_MAX / 60000;
constexpr std::int64_t kMicrosPerMinute = 60 * platform::kMicrosPerSecond;
}  // namespace

void Watchdog::Configure(int timeout, int pause, int alarm) {
  // A time-out of zero would start an alarm every second.
  if (timeout < 1) {
    core::ReportToInterfaceF(core::ReportLevel::kInfo, kTimeoutRaised, log_.camera_number(),
                             timeout);
    timeout = 1;
  }
  if (timeout > kMaxMinutes) timeout = kMaxMinutes;
  if (pause > kMaxMinutes) pause = kMaxMinutes;
  timeout_minutes_.store(timeout);
  alarm_ = alarm;
  // A pause shorter than the time-out means no pause at all.
  const int pause_minutes = pause > timeout ? pause - timeout : 0;
  liveness_.ArmWatchdog(clock_.MonotonicMicros(), timeout * kMicrosPerMinute,
                        pause_minutes * kMicrosPerMinute);
}

std::int64_t Watchdog::Check(const AlarmStarter& start) {
  const std::int64_t deadline = liveness_.WatchdogDeadline();
  const std::int64_t now = clock_.MonotonicMicros();
  if (now < deadline) return deadline;
  StartAlarm(start);
  liveness_.AlarmStarted(now);
  return liveness_.WatchdogDeadline();
}

void Watchdog::Run(const AlarmStarter& start) {
  std::string started = platform::StringPrintf(kWatchdogStarted, log_.camera_number());
  log_.Log(started, core::ReportLevel::kInfo);
  core::ConsoleLog(started, core::ConsoleLevel::kNormal);
  for (;;) clock_.SleepUntil(Check(start));
}

void Watchdog::StartAlarm(const AlarmStarter& start) {
  const int camera = log_.camera_number();
  std::string command = platform::StringPrintf(kWatchdogCommand, alarm_);
  const platform::Status started = start(command);
  if (started) {
    std::string fired = platform::StringPrintf(kNoWatchdog, camera, alarm_);
    log_.Log(fired, core::ReportLevel::kInfo);
    core::ConsoleLog(fired, core::ConsoleLevel::kError);
    WriteStatusTime(camera, kStatusLastAlarm, clock_.WallSeconds());
    return;
  }
  // No alarm reached the alarm server: nothing is announced as started and
  // "LastAlarm" keeps the last alarm that was.
  std::string failed = platform::StringPrintf(kWatchdogNotStarted, camera, alarm_, command.c_str(),
                                              started.reason().c_str());
  log_.Log(failed, core::ReportLevel::kError);
  core::ConsoleLog(failed, core::ConsoleLevel::kError);
}

}  // namespace acquisition
