#pragma once
// Liveness: when a camera was last seen alive, and what follows from it.
// Only images are signs of life (an indexed frame, a probe that saw one).
// The camera refreshes "CamStatus" at most every 30 s; its watchdog is due
// once the camera has not been seen alive for its time-out, counted from
// the later of its last refresh and the end of the pause after its last
// alarm (from when the watchdog was armed, before either).
//
// Every moment here is monotonic: a wall clock stepped by NTP or an operator
// changes no decision.
//
// Threads: the streaming thread refreshes; the watchdog thread asks for the
// deadline and notes its alarms; tests ask too. `mutex_` guards it all.
#include <cstdint>

#include "platform/mutex.h"

namespace acquisition {

inline constexpr int kProbeIntervalSeconds = 30;
inline constexpr std::int64_t kRefreshIntervalUs = kProbeIntervalSeconds * 1000000LL;

class Liveness {
 public:
  // True when the camera was never seen alive, or not within 30 s.
  bool RefreshDue(std::int64_t now_us) const;
  void Refreshed(std::int64_t now_us);
  bool seen() const;

  // The watchdog from `now_us`: `timeout_us` without a sign of life starts
  // an alarm, after which `pause_us` passes before the time-out runs again.
  void ArmWatchdog(std::int64_t now_us, std::int64_t timeout_us, std::int64_t pause_us);
  // When the watchdog's alarm is due unless the camera is seen alive
  // before; INT64_MAX while it is not armed.
  std::int64_t WatchdogDeadline() const;
  void AlarmStarted(std::int64_t now_us);

 private:
  mutable platform::Mutex mutex_;
  bool seen_ GUARDED_BY(mutex_) = false;
  std::int64_t last_refresh_us_ GUARDED_BY(mutex_) = 0;
  bool armed_ GUARDED_BY(mutex_) = false;
  std::int64_t timeout_us_ GUARDED_BY(mutex_) = 0;
  std::int64_t pause_us_ GUARDED_BY(mutex_) = 0;
  std::int64_t watch_from_us_ GUARDED_BY(mutex_) = 0;  // armed, or the last pause's end
};

}  // namespace acquisition
