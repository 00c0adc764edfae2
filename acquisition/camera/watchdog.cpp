// The stream watchdog: a camera not seen alive for its time-out makes the
// gateway start the camera's watchdog alarm on the alarm server.
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "acquisition/camera/camera.h"
#include "acquisition/status_file.h"
#include "core/console.h"
#include "core/report.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace {
constexpr const char* kWatchdogStarted = "Start Watchdog Thread for camera %d";
constexpr const char* kNoWatchdog = "Camera %d: No WatchDog received -> Start alarm %d";
constexpr const char* kWatchdogCommand = "qxarun.cmd %d";
constexpr const char* kWatchdogNotStarted =
    "Camera %d: ERROR: the watchdog alarm %d could not be started: %s: %s";
constexpr const char* kTimeoutRaised =
    "WARNING: camera %d: watchdog Timeout %d is below one minute; the watchdog uses 1 minute";
constexpr int kMaxMinutes = INT_MAX / 60000;  // the pause in milliseconds must fit an int

}  // namespace

bool CCamera::StartWatchdog(AlarmServer& alarms, int active, int timeout, int pause, int alarm) {
  // A time-out of zero would start an alarm every second; a huge one must
  // not overflow the countdown.
  if (timeout < 1) {
    ReportToInterfaceF(ReportLevel::kInfo, kTimeoutRaised, camera_number_, timeout);
    timeout = 1;
  }
  if (timeout > kMaxMinutes) timeout = kMaxMinutes;
  if (pause > kMaxMinutes) pause = kMaxMinutes;
  watchdog_active.store(active);
  watchdog_timeout_.store(timeout);
  pause_after_alarm.store(pause);
  watchdog_alarm.store(alarm);
  watchdog_countdown_.store(timeout * 60);
  AlarmServer* starter = &alarms;
  return platform::StartThread([this, starter] { WatchdogThread(*starter); }).ok();
}

void CCamera::WatchdogThread(AlarmServer& alarms) {
  std::string started = platform::StringPrintf(kWatchdogStarted, camera_number_);
  Log(started, ReportLevel::kInfo);
  ConsoleLog(started, ConsoleLevel::kNormal);
  for (;;) {
    do {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    } while (watchdog_countdown_.fetch_sub(1) - 1 >= 0);

    std::string command = platform::StringPrintf(kWatchdogCommand, watchdog_alarm.load());
    platform::Status started = alarms.RunDetached(command);
    if (started) {
      std::string fired =
          platform::StringPrintf(kNoWatchdog, camera_number_, watchdog_alarm.load());
      Log(fired, ReportLevel::kInfo);
      ConsoleLog(fired, ConsoleLevel::kError);
      WriteStatusTime(camera_number_, kStatusLastAlarm);
    } else {
      // No alarm reached the alarm server: nothing is announced as started
      // and "LastAlarm" keeps the last alarm that was.
      std::string failed =
          platform::StringPrintf(kWatchdogNotStarted, camera_number_, watchdog_alarm.load(),
                                 command.c_str(), started.reason().c_str());
      Log(failed, ReportLevel::kError);
      ConsoleLog(failed, ConsoleLevel::kError);
    }

    // A pause shorter than the time-out means no pause at all.
    int pause_minutes = pause_after_alarm.load() - watchdog_timeout_.load();
    if (pause_minutes > 0) std::this_thread::sleep_for(std::chrono::minutes(pause_minutes));
    watchdog_countdown_.store(watchdog_timeout_.load() * 60);
  }
}
