#include "acquisition/camera/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace acquisition {

namespace {
// How often a wait looks at the deadline and the stop condition.
constexpr std::int64_t kSliceUs = 50000;
}  // namespace

// The resolver keeps pointers into it until the lookup ends or is cancelled.
struct HostLookup::Request {
  std::string host;
  addrinfo hints{};
  gaicb block{};
  gaicb* list[1] = {&block};
};

HostLookup::HostLookup() = default;
HostLookup::~HostLookup() { Abandon(); }

void HostLookup::Abandon() {
  if (!running_) return;
  if (gai_cancel(&running_->block) == EAI_NOTCANCELED) {
    // The resolver still writes into it: it may never be freed.
    (void)running_.release();
    return;
  }
  if (running_->block.ar_result) freeaddrinfo(running_->block.ar_result);
  running_.reset();
}

HostLookup::Outcome HostLookup::Resolve(const std::string& host, platform::Clock& clock,
                                        std::int64_t deadline_us, const std::function<bool()>& stop,
                                        std::string* address, std::string* reason) {
  if (running_ && running_->host != host) Abandon();
  if (!running_) {
    auto request = std::make_unique<Request>();
    request->host = host;
    request->hints.ai_family = AF_UNSPEC;
    request->hints.ai_socktype = SOCK_STREAM;
    request->block.ar_name = request->host.c_str();
    request->block.ar_request = &request->hints;
    if (const int rc = getaddrinfo_a(GAI_NOWAIT, request->list, 1, nullptr); rc != 0) {
      *reason = gai_strerror(rc);
      return Outcome::kFailed;
    }
    running_ = std::move(request);
  }
  int rc = EAI_INPROGRESS;
  for (;;) {
    rc = gai_error(&running_->block);
    if (rc != EAI_INPROGRESS) break;
    const std::int64_t left = deadline_us - clock.MonotonicMicros();
    if (left <= 0 || stop()) {
      // Kept running: the next attempt waits for this same lookup.
      return left <= 0 ? Outcome::kTimedOut : Outcome::kStopped;
    }
    const std::int64_t slice = std::min(left, kSliceUs);
    const timespec wait{0, static_cast<long>(slice * 1000)};
    const gaicb* const list[1] = {&running_->block};
    gai_suspend(list, 1, &wait);
  }
  std::unique_ptr<Request> done = std::move(running_);
  if (rc != 0) {
    *reason = gai_strerror(rc);
    return Outcome::kFailed;
  }
  char text[INET6_ADDRSTRLEN] = {};
  const addrinfo* first = done->block.ar_result;
  if (first && first->ai_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(first->ai_addr)->sin_addr, text,
              sizeof text);
  else if (first && first->ai_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(first->ai_addr)->sin6_addr, text,
              sizeof text);
  if (done->block.ar_result) freeaddrinfo(done->block.ar_result);
  if (text[0] == '\0') {
    *reason = gai_strerror(EAI_NONAME);
    return Outcome::kFailed;
  }
  *address = text;
  return Outcome::kResolved;
}

}  // namespace acquisition
