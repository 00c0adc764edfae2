#include "status/status_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/console.h"
#include "core/report.h"
#include "platform/strings.h"

namespace status {

namespace {

constexpr const char* kCannotBind =
    "ERROR: the status port %d cannot be bound on %s (%s): the gateway tries again every 10 "
    "seconds; choose a free StatusPort and an address of this machine";
constexpr const char* kListening = "Status port listening on %s:%d (/metrics, /healthz)";
constexpr const char* kNotAllowed =
    "Status port %d: %d connections closed at once: not in StatusAllowedClients (the last from "
    "%s)";
constexpr const char* kTooMany =
    "Status port %d: %d connections closed at once: %d are waiting or being served already";
constexpr const char* kNoDescriptor =
    "ERROR: status port %d: %d connections could not be accepted (%s)";
constexpr const char* kNoAddress = "no such local address";
constexpr const char* kNoWorker = "ERROR: could not start a status port worker (%s)";

// Connections the kernel completes before the listener takes them.
constexpr int kListenBacklog = 64;
// The listener wakes this often to tell what it counted.
constexpr int kTellCheckMs = 1000;
// accept fails for lack of descriptors or memory: give the system a moment.
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(50);
// A connection serves this many requests.
constexpr int kRequestsPerConnection = 5;

// The listening socket on `host` (numeric) and `port`: its descriptor, or
// the system's reason it cannot be had.
platform::Result<int> OpenListener(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    return platform::Status::Failure(kNoAddress);
  const addrinfo& a = *found;
  int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
  int on = 1, off = 0;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            (a.ai_family != AF_INET6 ||
             setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) &&
            bind(fd, a.ai_addr, a.ai_addrlen) == 0 && listen(fd, kListenBacklog) == 0;
  const int error = errno;
  freeaddrinfo(found);
  if (ok) return fd;
  if (fd >= 0) close(fd);
  return platform::Status::FromErrno(error);
}

bool OutOfDescriptors(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

StatusListener::StatusListener(HttpHandlers& handlers, platform::Clock& clock, std::string host,
                               int port, monitor::AllowList allowed,
                               std::shared_ptr<const TlsContext> tls,
                               std::function<void(std::int64_t)> tell)
    : handlers_(handlers),
      clock_(clock),
      host_(std::move(host)),
      port_(port),
      allowed_(std::move(allowed)),
      tls_(std::move(tls)),
      tell_(std::move(tell)) {}

void StatusListener::Run() {
  for (int i = 0; i < kStatusWorkers; ++i) {
    try {
      std::thread([this] { Work(); }).detach();
    } catch (const std::system_error& failure) {
      core::ConsoleAndReport(platform::StringPrintf(kNoWorker, failure.what()),
                             core::ConsoleLevel::kError, core::ReportLevel::kError);
    }
  }
  const int listener = Bind();
  core::ConsoleAndReport(platform::StringPrintf(kListening, host_.c_str(), port_),
                         core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
  for (;;) Accept(listener);
}

int StatusListener::Bind() {
  bool told = false;
  std::int64_t told_us = 0;
  for (;;) {
    platform::Result<int> listener = OpenListener(host_, port_);
    if (listener) return *listener;
    const std::int64_t now = clock_.MonotonicMicros();
    if (!told || now - told_us >= kStatusTellIntervalUs) {
      told = true;
      told_us = now;
      core::ConsoleAndReport(platform::StringPrintf(kCannotBind, port_, host_.c_str(),
                                                    listener.status().reason().c_str()),
                             core::ConsoleLevel::kError, core::ReportLevel::kError);
    }
    clock_.SleepMicros(kStatusBindRetryUs);
  }
}

void StatusListener::Accept(int listener) {
  pollfd p{listener, POLLIN, 0};
  const int ready = poll(&p, 1, kTellCheckMs);
  Tell(clock_.MonotonicMicros());
  if (ready <= 0) return;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd >= 0) {
    Admit(fd, peer);
    return;
  }
  if (OutOfDescriptors(errno)) {
    no_descriptor_.Add(clock_.MonotonicMicros(), std::strerror(errno));
    std::this_thread::sleep_for(kAcceptFailurePause);
  }
}

bool StatusListener::Admits(const sockaddr_storage& peer) const {
  in_addr v4{};
  if (peer.ss_family == AF_INET) {
    v4 = reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr;
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
      v4.s_addr = htonl(INADDR_LOOPBACK);
    else if (IN6_IS_ADDR_V4MAPPED(&v6))
      std::memcpy(&v4.s_addr, v6.s6_addr + 12, sizeof v4.s_addr);
    else
      return false;
  } else {
    return false;
  }
  return allowed_.Allows(v4);
}

void StatusListener::Admit(int fd, const sockaddr_storage& peer) {
  const std::int64_t now = clock_.MonotonicMicros();
  if (!Admits(peer)) {
    close(fd);
    not_allowed_.Add(now, AddressText(peer));
    return;
  }
  {
    platform::MutexLock guard(lock_);
    if (connections_ < kStatusConnectionsMax) {
      ++connections_;
      waiting_.push_back(fd);
      queued_.Signal();
      return;
    }
  }
  close(fd);
  too_many_.Add(now, {});
}

void StatusListener::Tell(std::int64_t now_us) {
  auto tell = [&](Tally& tally, const std::string& line, bool error) {
    core::ConsoleAndReport(line, error ? core::ConsoleLevel::kError : core::ConsoleLevel::kNormal,
                           error ? core::ReportLevel::kError : core::ReportLevel::kInfo);
    tally.Told(now_us);
  };
  if (not_allowed_.Due(now_us))
    tell(not_allowed_,
         platform::StringPrintf(kNotAllowed, port_, not_allowed_.count, not_allowed_.last.c_str()),
         false);
  if (too_many_.Due(now_us))
    tell(too_many_,
         platform::StringPrintf(kTooMany, port_, too_many_.count, kStatusConnectionsMax), true);
  if (no_descriptor_.Due(now_us))
    tell(no_descriptor_,
         platform::StringPrintf(kNoDescriptor, port_, no_descriptor_.count,
                                no_descriptor_.last.c_str()),
         true);
  if (tell_) tell_(now_us);
}

void StatusListener::Work() {
  for (;;) {
    int fd;
    {
      platform::MutexLock guard(lock_);
      while (waiting_.empty()) queued_.Wait(lock_);
      fd = waiting_.front();
      waiting_.pop_front();
    }
    Serve(fd);
    close(fd);
    platform::MutexLock guard(lock_);
    --connections_;
  }
}

void StatusListener::Serve(int fd) {
  if (tls_ == nullptr) {
    ConnectionStream stream(fd, clock_);
    ServeRequests(stream);
    return;
  }
  TlsStream stream(fd, clock_, *tls_);
  if (stream.Handshake()) ServeRequests(stream);
}

void StatusListener::ServeRequests(BoundedStream& stream) {
  for (int left = kRequestsPerConnection; left > 0 && stream.NextRequest(); --left) {
    bool closed = false;
    if (!handlers_.Serve(stream, left == 1, closed) || closed) return;
  }
}

}  // namespace status
