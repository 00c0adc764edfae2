#pragma once
// LinkState: the state of a camera's connection as its log tells it (one
// line per change, and a reminder every 10 minutes while it stays down) and
// the pause before the next attempt after a failure (0.5 s, doubling to
// 30 s; back to 0.5 s once a frame came).
//
// Threads: the streaming thread alone.
#include <cstdint>
#include <string>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/stream_loss.h"
#include "platform/clock.h"

namespace acquisition {

class LinkState {
 public:
  static constexpr std::int64_t kFirstBackoffUs = 500000;
  static constexpr std::int64_t kMaxBackoffUs = 30 * platform::kMicrosPerSecond;
  static constexpr std::int64_t kReminderIntervalUs = 10 * 60 * platform::kMicrosPerSecond;

  LinkState(platform::Clock& clock, const CameraLog& log) : clock_(clock), log_(log) {}

  // A frame came: true when the connection was not known to be up (the
  // caller says "stream connected").
  bool Up();
  // A transfer failed: the line the camera log gets, or "" when the state
  // is the same and no reminder is due.
  std::string Down(const StreamLoss& loss);
  // The pause before the next attempt; each call doubles the next one.
  std::int64_t TakeBackoffUs();

 private:
  platform::Clock& clock_;
  const CameraLog& log_;  // for the camera's number
  bool up_ = false;
  bool known_ = false;
  int down_kind_ = stream_loss::kNone;
  std::int64_t down_since_wall_ms_ = 0;
  std::int64_t reminder_due_us_ = 0;
  std::int64_t backoff_us_ = kFirstBackoffUs;
};

}  // namespace acquisition
