#include "acquisition/camera/sessions.h"

namespace acquisition {

std::uint32_t StreamingSessions::Start(int seconds) {
  platform::MutexLock guard(mutex_);
  // A permanent camera has one session for its whole life: its frames
  // before the alarm are what a job wants.
  if (permanent_) return session_.load();
  const std::int64_t now = clock_.MonotonicMicros();
  const std::int64_t end = now + static_cast<std::int64_t>(seconds) * platform::kMicrosPerSecond;
  if (end_us_.load() > now) {
    if (end > end_us_.load()) end_us_.store(end);
    return session_.load();
  }
  end_us_.store(end);
  return session_.fetch_add(1) + 1;
}

bool StreamingSessions::Wanted() const {
  return permanent_ || end_us_.load() > clock_.MonotonicMicros();
}

int StreamingSessions::RemainingSeconds() const {
  const std::int64_t left = end_us_.load() - clock_.MonotonicMicros();
  return left > 0 ? static_cast<int>(left / platform::kMicrosPerSecond) : 0;
}

}  // namespace acquisition
