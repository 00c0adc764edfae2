#include "camera_http/alarm_start_pacer.h"

#include <algorithm>

namespace camera_http {

namespace {

// The pin's key: IO box and pin number, apart (neither holds a NUL: they are
// C text the expression engine gave).
std::string PinKey(std::string_view iobox, std::string_view pin) {
  std::string key(iobox);
  key += '\0';
  key += pin;
  return key;
}

}  // namespace

bool AlarmStartPacer::Admit(std::string_view iobox, std::string_view pin) {
  const std::int64_t now = clock_.MonotonicMicros();
  std::erase_if(recent_pins_,
                [&](const auto& entry) { return now - entry.second >= kPinStartIntervalUs; });
  const std::string key = PinKey(iobox, pin);
  const bool pin_free = std::none_of(recent_pins_.begin(), recent_pins_.end(),
                                     [&](const auto& entry) { return entry.first == key; });
  // The oldest of the last kServerStartsPerSecond starts must be a second
  // old: then no second ever holds more than that many.
  const bool server_free = starts_made_ < kServerStartsPerSecond ||
                           now - starts_[starts_next_] >= platform::kMicrosPerSecond;
  if (pin_free && server_free) {
    starts_[starts_next_] = now;
    starts_next_ = (starts_next_ + 1) % kServerStartsPerSecond;
    starts_made_ = std::min(starts_made_ + 1, kServerStartsPerSecond);
    recent_pins_.emplace_back(key, now);
    return true;
  }
  if (held_.count == 0) first_held_us_ = now;
  ++held_.count;
  held_.iobox = iobox;
  held_.pin = pin;
  return false;
}

AlarmStartPacer::HeldStarts AlarmStartPacer::TakeReport(bool now_anyway) {
  if (held_.count == 0) return {};
  if (!now_anyway && clock_.MonotonicMicros() - first_held_us_ < platform::kMicrosPerSecond)
    return {};
  return std::exchange(held_, HeldStarts{});
}

}  // namespace camera_http
