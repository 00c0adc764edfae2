#pragma once
// Something the status port tells at most once per kStatusTellIntervalUs,
// with a count of what happened meanwhile: the first a second after it
// began, so a flood is told with its size. A plain value: its owner guards
// it (or keeps it to one thread).
#include <cstdint>
#include <string>
#include <utility>

#include "platform/clock.h"

namespace status {

inline constexpr std::int64_t kStatusTellIntervalUs = 60 * platform::kMicrosPerSecond;

struct Tally {
  int count = 0;
  std::int64_t first_us = 0;
  bool told = false;
  std::int64_t told_us = 0;
  std::string last;  // the last address, or the reason

  void Add(std::int64_t now_us, std::string what) {
    if (count == 0) first_us = now_us;
    ++count;
    last = std::move(what);
  }
  bool Due(std::int64_t now_us) const {
    return count > 0 && now_us - first_us >= platform::kMicrosPerSecond &&
           (!told || now_us - told_us >= kStatusTellIntervalUs);
  }
  // After the line is told.
  void Told(std::int64_t now_us) {
    count = 0;
    told = true;
    told_us = now_us;
  }
};

}  // namespace status
