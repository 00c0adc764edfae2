#pragma once
// HostLookup: a camera's host name turned into an address without ever
// holding its streaming thread longer than the caller's deadline. The
// lookup runs in the C library's resolver threads (getaddrinfo_a); the
// caller waits for it in short slices, so its deadline is one of the
// camera's clock and its stop condition is looked at while it waits. A
// lookup that outlives the wait keeps running and the next call for the
// same name waits for it again, so a camera has at most one lookup running;
// a lookup of another name cancels it (or, when the library cannot cancel
// it, leaves it to end by itself).
//
// Threads: one camera's streaming thread.
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace acquisition {

class HostLookup {
 public:
  enum class Outcome { kResolved, kFailed, kTimedOut, kStopped };

  HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;
  ~HostLookup();

  // Resolves `host` (a name) by the monotonic `deadline_us` of `clock`,
  // giving up when `stop` says so. On kResolved `*address` is its first
  // address in text; on kFailed `*reason` is the resolver's text.
  Outcome Resolve(const std::string& host, platform::Clock& clock, std::int64_t deadline_us,
                  const std::function<bool()>& stop, std::string* address, std::string* reason);

 private:
  struct Request;
  // Cancels the running lookup, or lets it go when it cannot be cancelled.
  void Abandon();

  std::unique_ptr<Request> running_;
};

}  // namespace acquisition
