#pragma once
// AlarmStartPacer: how many input alarms one video server may start. A
// device that floods its alarm input (a bouncing contact, a broken IO box, a
// hostile peer) must not start an alarm per line: at most one start per pin
// (IO box and pin number) in any second, and at most kServerStartsPerSecond
// starts in any second for the whole server. Starts beyond that are held
// back and counted; the count is told in one line once its second is over.
//
// Owned by the alarm-input thread of one server (or a test), which is the
// only caller: no lock. Every decision is taken on the monotonic time of the
// clock it is given. Memory stays bounded whatever the device sends: only
// pins that started within the last second are remembered, and there are at
// most kServerStartsPerSecond of those.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace camera_http {

// Starts one video server may make in any second, all its pins together.
inline constexpr int kServerStartsPerSecond = 10;
// One pin starts at most one alarm in this time.
inline constexpr std::int64_t kPinStartIntervalUs = platform::kMicrosPerSecond;

class AlarmStartPacer {
 public:
  // What was held back since the last report.
  struct HeldStarts {
    int count = 0;
    // The IO box and pin of the last start held back, as the device sent them.
    std::string iobox, pin;
  };

  explicit AlarmStartPacer(platform::Clock& clock) : clock_(clock) {}

  // True when the alarm of `pin` of `iobox` may start now, and the start is
  // counted as made; false when it is held back (and counted as such).
  bool Admit(std::string_view iobox, std::string_view pin);

  // The starts held back, once the second after the first of them is over,
  // or at once with `now_anyway`; count 0 when there is nothing to tell.
  // What it returns is told: the next report counts afresh.
  HeldStarts TakeReport(bool now_anyway);

  bool HasHeld() const { return held_.count > 0; }

 private:
  platform::Clock& clock_;
  // Moments (monotonic) of the server's last starts, a ring.
  std::array<std::int64_t, kServerStartsPerSecond> starts_{};
  int starts_next_ = 0;
  int starts_made_ = 0;  // up to kServerStartsPerSecond
  // Pins that started within the last second, and when.
  std::vector<std::pair<std::string, std::int64_t>> recent_pins_;
  HeldStarts held_;
  std::int64_t first_held_us_ = 0;
};

}  // namespace camera_http
