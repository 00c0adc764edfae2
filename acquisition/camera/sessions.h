#pragma once
// StreamingSessions: when a camera's stream is wanted, and which session the
// frames arriving now belong to. A permanent camera streams always and has
// one session for its whole life. An on-demand camera streams while a
// session runs: a job switching its stream on while none runs starts a new
// session; one joining a running session extends it to the later of the
// two ends, never shortens it. The end is a moment of the camera's
// monotonic clock, so a session lasts its seconds whatever the wall clock
// does and nothing has to count them down.
//
// Threads: jobs call Start; the streaming thread and readers call the rest.
// `mutex_` makes extending or starting a session one step; the end and the
// session number are atomics so the streaming thread reads them per chunk
// without the lock.
#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/mutex.h"

namespace acquisition {

class StreamingSessions {
 public:
  explicit StreamingSessions(platform::Clock& clock) : clock_(clock) {}

  // Set by the loader before the camera's threads start.
  void SetPermanent(bool permanent) { permanent_ = permanent; }
  bool permanent() const { return permanent_; }

  // Streams for at least `seconds` from now; the session the caller's
  // frames belong to (the running one, or a new one).
  std::uint32_t Start(int seconds);
  // True while the stream is wanted.
  bool Wanted() const;
  std::uint32_t current() const { return session_.load(); }
  // Whole seconds left of the running session (0 when none runs).
  int RemainingSeconds() const;

 private:
  platform::Clock& clock_;
  bool permanent_ = false;
  platform::Mutex mutex_;
  std::atomic<std::int64_t> end_us_{0};  // written under mutex_
  std::atomic<std::uint32_t> session_{1};
};

}  // namespace acquisition
