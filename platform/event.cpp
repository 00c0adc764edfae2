#include "platform/event.h"

#include <chrono>

namespace platform {

void Event::Set() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return set_;
}

bool Event::Wait(long long milliseconds) const {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] { return set_; });
}

}  // namespace platform
