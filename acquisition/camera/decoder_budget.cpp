#include "acquisition/camera/decoder_budget.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace acquisition {

namespace {
// A wait on the condition variable lasts at most this long; then the clock
// says whether the deadline has passed (a clock the tests step is seen).
constexpr std::int64_t kWaitSliceUs = 1000000;
}  // namespace

DecoderBudget::DecoderBudget() { SetLimit(DefaultLimit()); }

int DecoderBudget::DefaultLimit() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void DecoderBudget::SetLimit(int limit) {
  platform::MutexLock guard(lock_);
  limit_ = std::max(1, limit);
  freed_.SignalAll();
}

int DecoderBudget::limit() {
  platform::MutexLock guard(lock_);
  return limit_;
}

int DecoderBudget::taken() {
  platform::MutexLock guard(lock_);
  return taken_;
}

bool DecoderBudget::Acquire(platform::Clock& clock, std::int64_t deadline_us) {
  platform::MutexLock guard(lock_);
  while (taken_ >= limit_) {
    const std::int64_t left = deadline_us - clock.MonotonicMicros();
    if (left <= 0) return false;
    freed_.WaitFor(lock_, std::chrono::microseconds(std::min(left, kWaitSliceUs)));
  }
  ++taken_;
  return true;
}

void DecoderBudget::Release() {
  platform::MutexLock guard(lock_);
  if (taken_ > 0) --taken_;
  freed_.Signal();
}

}  // namespace acquisition
