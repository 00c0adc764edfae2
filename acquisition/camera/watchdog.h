#pragma once
// Watchdog: starts a camera's watchdog alarm on the alarm server when the
// camera has not been seen alive for its time-out (`Liveness` decides when),
// then waits the pause after an alarm before the time-out runs again.
//
// Threads: its own thread runs `Run`, which sleeps on the camera's clock
// until the next deadline and looks again (a refresh meanwhile moves the
// deadline on). `Check` is that one look, for tests without the thread.
// The settings are written by `Configure` before the thread starts; the
// status port reads the time-out at any time, hence the atomic.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/liveness.h"
#include "platform/clock.h"
#include "platform/status.h"

namespace acquisition {

class Watchdog {
 public:
  // Starts a command line detached; the reason when it could not.
  using AlarmStarter = std::function<platform::Status(const std::string& command)>;

  Watchdog(platform::Clock& clock, Liveness& liveness, const CameraLog& log)
      : clock_(clock), liveness_(liveness), log_(log) {}

  // `timeout` and `pause` in minutes: a time-out below one minute is raised
  // to one with a warning, huge values are capped; a pause below the
  // time-out means no pause. Arms the watchdog from now.
  void Configure(int timeout, int pause, int alarm);
  int timeout_minutes() const { return timeout_minutes_.load(); }

  // Starts the alarm when it is due; the moment to look again.
  std::int64_t Check(const AlarmStarter& start);
  // The watchdog thread: looks at every deadline, forever.
  [[noreturn]] void Run(const AlarmStarter& start);

 private:
  void StartAlarm(const AlarmStarter& start);

  platform::Clock& clock_;
  Liveness& liveness_;
  const CameraLog& log_;
  std::atomic<int> timeout_minutes_{0};
  int alarm_ = 0;
};

}  // namespace acquisition
