#pragma once
// A manual-reset event inside the process: once set it stays set until
// Reset, so a request that arrives while its consumer works is kept for the
// next round, and a waiter that comes after the fact sees it at once.
// A copy starts unset: the state belongs to the running threads, not to the
// record that holds the event.
#include "platform/mutex.h"

namespace platform {

class Event {
 public:
  Event() = default;
  Event(const Event&) {}
  Event& operator=(const Event&) { return *this; }

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event is set, at once or within `milliseconds`.
  bool Wait(long long milliseconds) const;

 private:
  mutable Mutex mutex_;
  mutable CondVar changed_;
  bool set_ GUARDED_BY(mutex_) = false;
};

}  // namespace platform
