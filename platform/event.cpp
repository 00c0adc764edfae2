#include "platform/event.h"

#include <chrono>

namespace platform {

void Event::Set() {
  {
    MutexLock guard(mutex_);
    set_ = true;
  }
  changed_.SignalAll();
}

void Event::Reset() {
  MutexLock guard(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  MutexLock guard(mutex_);
  return set_;
}

bool Event::Wait(long long milliseconds) const {
  MutexLock guard(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!set_) {
    if (!changed_.WaitUntil(mutex_, deadline)) return set_;
  }
  return true;
}

}  // namespace platform
