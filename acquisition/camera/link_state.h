#pragma once
// LinkState: the state of a camera's connection as its log tells it (one
// line per change, and a reminder every 10 minutes while it stays down) and
// the pause before the next attempt after a failure (0.5 s, doubling to
// 30 s; back to 0.5 s once a frame came). A camera that refused the
// credentials (401) is tried again only after 5 minutes, doubling to 30
// minutes: many cameras, and the site's recorder with them, lock an account
// after a few wrong passwords. A Basic challenge we may not answer waits the
// same (nothing changes it but the camera or its section). Each change of
// that pause gets a line.
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
  static constexpr std::int64_t kFirstRefusedBackoffUs = 5 * 60 * platform::kMicrosPerSecond;
  static constexpr std::int64_t kMaxRefusedBackoffUs = 30 * 60 * platform::kMicrosPerSecond;

  // The pause before the next attempt, and the line the camera log gets
  // when that pause changed ("" when not).
  struct Backoff {
    std::int64_t pause_us = 0;
    std::string line;
  };

  LinkState(platform::Clock& clock, const CameraLog& log) : clock_(clock), log_(log) {}

  // A frame came: true when the connection was not known to be up (the
  // caller says "stream connected").
  bool Up();
  // A transfer failed: the line the camera log gets, or "" when the state
  // is the same and no reminder is due.
  std::string Down(const StreamLoss& loss);
  // The pause before the next attempt after the last failure; each call
  // doubles the next one of its kind.
  Backoff TakeBackoff();

 private:
  platform::Clock& clock_;
  const CameraLog& log_;  // for the camera's number
  bool up_ = false;
  bool known_ = false;
  int down_kind_ = stream_loss::kNone;
  std::int64_t down_since_wall_ms_ = 0;
  std::int64_t reminder_due_us_ = 0;
  std::int64_t backoff_us_ = kFirstBackoffUs;
  bool refused_ = false;  // the last failure was a 401
  std::int64_t refused_backoff_us_ = kFirstRefusedBackoffUs;
  std::int64_t refused_told_us_ = 0;  // the pause the last line named
};

}  // namespace acquisition
