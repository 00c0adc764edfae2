#include "acquisition/camera/liveness.h"

#include <algorithm>
#include <climits>

namespace acquisition {

bool Liveness::RefreshDue(std::int64_t now_us) const {
  platform::MutexLock guard(mutex_);
  return !seen_ || now_us - last_refresh_us_ >= kRefreshIntervalUs;
}

void Liveness::Refreshed(std::int64_t now_us) {
  platform::MutexLock guard(mutex_);
  seen_ = true;
  last_refresh_us_ = now_us;
}

bool Liveness::seen() const {
  platform::MutexLock guard(mutex_);
  return seen_;
}

void Liveness::ArmWatchdog(std::int64_t now_us, std::int64_t timeout_us, std::int64_t pause_us) {
  platform::MutexLock guard(mutex_);
  armed_ = true;
  timeout_us_ = timeout_us;
  pause_us_ = pause_us;
  watch_from_us_ = now_us;
}

std::int64_t Liveness::WatchdogDeadline() const {
  platform::MutexLock guard(mutex_);
  if (!armed_) return INT64_MAX;
  const std::int64_t from = seen_ ? std::max(watch_from_us_, last_refresh_us_) : watch_from_us_;
  return from + timeout_us_;
}

void Liveness::AlarmStarted(std::int64_t now_us) {
  platform::MutexLock guard(mutex_);
  watch_from_us_ = now_us + pause_us_;
}

}  // namespace acquisition
