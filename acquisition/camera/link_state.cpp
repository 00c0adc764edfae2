#include "acquisition/camera/link_state.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/log_text.h"
#include "platform/strings.h"

namespace acquisition {

namespace {
constexpr const char* kStreamLost = "Camera %d: stream lost: %s";
constexpr const char* kStreamStillDown = "Camera %d: stream still down: %s (since %s)";
constexpr const char* kRefusedBackoff =
    "Camera %d: the credentials were refused: next attempt in %lld minutes";

// "dd.mm.yyyy hh:mm:ss" of a wall-clock moment.
std::string SinceText(std::int64_t wall_ms) {
  std::time_t since = static_cast<std::time_t>(wall_ms / 1000);
  std::tm tm{};
  localtime_r(&since, &tm);
  char when[80];
  std::snprintf(when, sizeof when, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return when;
}
}  // namespace

bool LinkState::Up() {
  backoff_us_ = kFirstBackoffUs;
  refused_ = false;
  refused_backoff_us_ = kFirstRefusedBackoffUs;
  refused_told_us_ = 0;
  if (up_ && known_) return false;
  up_ = known_ = true;
  return true;
}

std::string LinkState::Down(const StreamLoss& loss) {
  const std::int64_t now = clock_.MonotonicMicros();
  const int camera = log_.camera_number();
  // A Basic challenge we do not answer will not change before the camera or
  // its section does: it waits like refused credentials.
  refused_ = loss.kind == stream_loss::kStatus + 401 || loss.kind == stream_loss::kBasicRefused;
  // The kind of failure is the state: libcurl's texts vary from one attempt
  // to the next ("after 0 ms", "after 1 ms") and must not make a new line.
  if (!known_ || up_ || loss.kind != down_kind_) {
    down_kind_ = loss.kind;
    up_ = false;
    known_ = true;
    down_since_wall_ms_ = clock_.WallMillis();
    reminder_due_us_ = now + kReminderIntervalUs;
    return platform::StringPrintf(kStreamLost, camera, core::PrintableText(loss.text).c_str());
  }
  if (now < reminder_due_us_) return "";
  reminder_due_us_ = now + kReminderIntervalUs;
  return platform::StringPrintf(kStreamStillDown, camera, core::PrintableText(loss.text).c_str(),
                                SinceText(down_since_wall_ms_).c_str());
}

LinkState::Backoff LinkState::TakeBackoff() {
  Backoff backoff;
  if (!refused_) {
    backoff.pause_us = backoff_us_;
    backoff_us_ = std::min(backoff_us_ * 2, kMaxBackoffUs);
    return backoff;
  }
  backoff.pause_us = refused_backoff_us_;
  refused_backoff_us_ = std::min(refused_backoff_us_ * 2, kMaxRefusedBackoffUs);
  if (backoff.pause_us != refused_told_us_) {
    refused_told_us_ = backoff.pause_us;
    backoff.line = platform::StringPrintf(
        kRefusedBackoff, log_.camera_number(),
        static_cast<long long>(backoff.pause_us / (60 * platform::kMicrosPerSecond)));
  }
  return backoff;
}

}  // namespace acquisition
