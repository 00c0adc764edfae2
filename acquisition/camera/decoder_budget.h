#pragma once
// DecoderBudget: how many decoders may decode at once in the process
// ("MaxDecoders"), a counting semaphore. The camera table owns one and each
// camera's DecodingService takes a place in it for a turn of its walk.
//
// Threads: any; `lock_` guards the count of places taken and the limit.
// Waits end on the monotonic time of the clock the caller hands in.
#include <cstdint>

#include "platform/clock.h"
#include "platform/mutex.h"

namespace acquisition {

class DecoderBudget {
 public:
  DecoderBudget();
  DecoderBudget(const DecoderBudget&) = delete;
  DecoderBudget& operator=(const DecoderBudget&) = delete;

  // The number of places: at least 1. Set by the loader before jobs run.
  void SetLimit(int limit);
  int limit();
  // Takes a place, waiting for one until the monotonic `deadline_us` of
  // `clock`; false when none came free in time.
  bool Acquire(platform::Clock& clock, std::int64_t deadline_us);
  void Release();
  // The places taken now.
  int taken();

  // The default: one place per core.
  static int DefaultLimit();

 private:
  platform::Mutex lock_;
  platform::CondVar freed_;  // signalled under lock_
  int limit_ GUARDED_BY(lock_) = 1;
  int taken_ GUARDED_BY(lock_) = 0;
};

}  // namespace acquisition
