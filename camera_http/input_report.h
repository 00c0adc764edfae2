#pragma once
// InputReport: what the operator's page shows of one video server's alarm
// input: whether its connection is up, the last line it sent and when, and
// when it last started an alarm; the same for each IO box its lines name
// (the first kBoxesMax of them). Lines are kept escaped (PrintableText) and
// cut to kLineMax bytes, so a device cannot grow it.
//
// Threads: the server's alarm-input thread writes; any thread reads (the
// status port's workers). Locks: `lock_` guards every field; it is a leaf,
// held for copies only. Wall times come from the clock the thread runs on
// (SetClock); 0 without one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"

namespace camera_http {

class InputReport {
 public:
  static constexpr std::size_t kLineMax = 200;
  static constexpr std::size_t kBoxesMax = 16;

  struct Source {
    std::string iobox;  // "" for the server itself
    std::string last_line;
    std::int64_t last_line_wall_ms = 0;  // 0: none yet
    std::int64_t last_alarm_wall_ms = 0;
  };
  struct View {
    bool watched = false;  // its alarm-input thread runs
    bool connected = false;
    Source server;
    std::vector<Source> boxes;
  };

  // The alarm-input thread starts with `clock` (it outlives the report).
  void SetClock(platform::Clock* clock);
  void Connected(bool up);
  // A whole line came; `iobox` is the box it names ("" when none).
  void Line(std::string_view iobox, std::string_view line);
  void AlarmStarted(std::string_view iobox);

  View Read() const;

 private:
  // The record of `iobox`, made when there is room; null otherwise.
  Source* Box(std::string_view iobox) REQUIRES(lock_);
  std::int64_t WallMs() const REQUIRES(lock_);

  mutable platform::Mutex lock_;
  platform::Clock* clock_ GUARDED_BY(lock_) = nullptr;
  bool connected_ GUARDED_BY(lock_) = false;
  Source server_ GUARDED_BY(lock_);
  std::vector<Source> boxes_ GUARDED_BY(lock_);
};

}  // namespace camera_http
