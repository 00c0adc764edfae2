#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kListenBacklog = 1;
constexpr int kHighestPort = 65535;
constexpr std::int64_t kMillisecondsPerTenth = 100;

// Closes a descriptor without disturbing the errno the caller is about to
// report.
void CloseQuietly(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// A record holds at most one socket; opening a new one releases the old.
void ReleaseHeld(SockRecord& record) {
  if (record.socket != kNoSocket) CloseQuietly(record.socket);
  record.socket = kNoSocket;
}

bool ValidPort(int port) { return port >= 0 && port <= kHighestPort; }

// The failure of the call that just set errno; errno stays set for
// SockLastError().
platform::Status Failed() { return platform::Status::FromErrno(errno); }

// Waits until `fd` is readable (data, a pending client, a close or an error
// all count, as with select), for at most `timeout` tenths of a second.
// 1 ready, 0 time-out, -1 failure. poll is used rather than select because
// select must not be given a descriptor at or above FD_SETSIZE, which a busy
// gateway can reach. A signal does not cut the wait short.
int WaitReadable(int fd, int timeout) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (timeout < 0) {
    errno = EINVAL;
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout * kMillisecondsPerTenth);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    left = std::clamp<decltype(left)>(left, 0, INT_MAX);
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) {
      // Very long time-outs are waited for in pieces of INT_MAX milliseconds.
      if (Clock::now() < deadline) continue;
      return 0;
    }
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    return 1;
  }
}

// Turns a getaddrinfo failure into an errno value for the caller's message.
void SetLookupErrno(int gai_error) {
  switch (gai_error) {
    case EAI_SYSTEM:
      break;  // errno is already set
    case EAI_AGAIN:
      errno = EAGAIN;
      break;
    case EAI_MEMORY:
      errno = ENOMEM;
      break;
    default:
      errno = EHOSTUNREACH;
      break;
  }
}

// Resolves `host` to an IPv4 address: a dotted address as it is, else a
// name lookup (getaddrinfo, which is safe to call from several threads at
// once). False when the name does not resolve.
bool ResolveHost(const char* host, in_addr* out) {
  in_addr_t dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    out->s_addr = dotted;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int r = getaddrinfo(host, nullptr, &hints, &found);
  if (r != 0 || found == nullptr) {
    SetLookupErrno(r != 0 ? r : EAI_NONAME);
    return false;
  }
  *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Waits for a connect in progress on `fd` to finish, for at most `timeout`
// tenths of a second (0: without limit), and takes its outcome. A signal
// does not cut the wait short.
int FinishConnect(int fd, int timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout * kMillisecondsPerTenth);
  for (;;) {
    int wait = -1;
    if (timeout != 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) {
      if (Clock::now() < deadline) continue;
      errno = ETIMEDOUT;
      return -1;
    }
    break;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

// Sets or clears O_NONBLOCK, keeping the other flags.
int SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags);
}

}  // namespace

SockRecord::~SockRecord() { ReleaseHeld(*this); }

void SockInit() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

platform::Status SockOpen(SockRecord& record) {
  ReleaseHeld(record);
  // Close-on-exec: alarm scripts launched by the gateway must not inherit
  // its connections or its listening monitor port.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed();
  record.socket = fd;
  return {};
}

platform::Status SockOpenServer(SockRecord& record, int port) {
  ReleaseHeld(record);
  if (!ValidPort(port)) {
    errno = EINVAL;
    return Failed();
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed();
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    CloseQuietly(fd);
    return Failed();
  }
  record.address = sockaddr_in{};
  record.address.sin_family = AF_INET;
  record.address.sin_addr.s_addr = htonl(INADDR_ANY);
  record.address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&record.address), sizeof record.address) != 0) {
    CloseQuietly(fd);
    return Failed();
  }
  record.socket = fd;
  return {};
}

platform::Status SockListen(SockRecord& record, int timeout) {
  int listener = record.socket;
  if (listen(listener, kListenBacklog) != 0) return Failed();
  if (timeout != 0) {
    int ready = WaitReadable(listener, timeout);
    if (ready == 0) errno = ETIMEDOUT;
    if (ready <= 0) return Failed();
  }
  int client;
  do {
    client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (client < 0 && errno == EINTR);
  if (client < 0) return Failed();
  close(listener);
  record.socket = client;
  return {};
}

platform::Status SockOpenListener(SockRecord& record, in_addr address, int port, int backlog) {
  ReleaseHeld(record);
  if (!ValidPort(port) || backlog < 1) {
    errno = EINVAL;
    return Failed();
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed();
  int on = 1;
  record.address = sockaddr_in{};
  record.address.sin_family = AF_INET;
  record.address.sin_addr = address;
  record.address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&record.address), sizeof record.address) != 0 ||
      listen(fd, backlog) != 0) {
    CloseQuietly(fd);
    return Failed();
  }
  record.socket = fd;
  return {};
}

platform::Status SockAccept(SockRecord& listener, SockRecord& client) {
  ReleaseHeld(client);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd;
  do {
    len = sizeof peer;
    fd = accept4(listener.socket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed();
  client.socket = fd;
  client.address = peer;
  return {};
}

void SockHandOver(SockRecord& from, SockRecord& to) {
  if (&from == &to) return;
  ReleaseHeld(to);
  to.socket = from.socket;
  to.address = from.address;
  from.socket = kNoSocket;
}

platform::Status SockKeepAlive(SockRecord& record, int idle_seconds, int interval_seconds,
                               int probes) {
  int on = 1;
  // Unacknowledged data times out like silence does: without this a peer
  // that vanished while we were sending would hold on for a quarter hour.
  unsigned user_timeout = static_cast<unsigned>(idle_seconds + interval_seconds * probes) * 1000u;
  if (setsockopt(record.socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      setsockopt(record.socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds) !=
          0 ||
      setsockopt(record.socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds,
                 sizeof interval_seconds) != 0 ||
      setsockopt(record.socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0 ||
      setsockopt(record.socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout,
                 sizeof user_timeout) != 0)
    return Failed();
  return {};
}

platform::Status SockConnect(SockRecord& record, const char* host, int port, int timeout) {
  if (host == nullptr || !ValidPort(port) || timeout < 0) {
    errno = EINVAL;
    return Failed();
  }
  in_addr resolved{};
  if (!ResolveHost(host, &resolved)) return Failed();
  record.address = sockaddr_in{};
  record.address.sin_family = AF_INET;
  record.address.sin_addr = resolved;
  record.address.sin_port = htons(static_cast<std::uint16_t>(port));
  // Non-blocking only for the connect, so that the wait has our limit; the
  // rest of the layer expects a blocking socket.
  const int fd = record.socket;
  // A connect that succeeds leaves errno as it found it (not EINPROGRESS),
  // since callers put "the last error" into their messages.
  const int entry_errno = errno;
  if (SetNonBlocking(fd, true) != 0) return Failed();
  int result = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&record.address), sizeof record.address) != 0) {
    result = (errno == EINPROGRESS || errno == EINTR) ? FinishConnect(fd, timeout) : -1;
  }
  int saved = result == 0 ? entry_errno : errno;
  if (SetNonBlocking(fd, false) != 0 && result == 0) return Failed();
  errno = saved;
  if (result != 0) return Failed();
  return {};
}

platform::Status SockSendText(SockRecord& record, const char* text) {
  if (text == nullptr) {
    errno = EINVAL;
    return Failed();
  }
  const char* next = text;
  std::size_t left = std::strlen(text) + 1;  // the NUL goes on the wire too
  // A blocking send hands over everything in one call; the loop only
  // matters when a signal interrupts it part way.
  while (left > 0) {
    ssize_t sent = send(record.socket, next, left, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    next += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return {};
}

platform::Result<int> SockReceive(SockRecord& record, std::span<char> buffer, int timeout) {
  if (buffer.size() < 2) {
    // No room for a byte and its NUL; a zero-length receive would look like
    // a closed connection.
    if (!buffer.empty()) buffer[0] = '\0';
    errno = EINVAL;
    return Failed();
  }
  if (timeout != 0) {
    int ready = WaitReadable(record.socket, timeout);
    if (ready < 0) return Failed();
    if (ready == 0) return 0;
  }
  std::size_t room = std::min<std::size_t>(buffer.size() - 1, INT_MAX);
  ssize_t got;
  do {
    got = recv(record.socket, buffer.data(), room, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Failed();
  buffer[static_cast<std::size_t>(got)] = '\0';
  if (got == 0) return kSockPeerClosed;
  return static_cast<int>(got);
}

platform::Status SockClose(SockRecord& record) {
  if (record.socket == kNoSocket) {
    errno = EBADF;
    return Failed();
  }
  // The descriptor is gone after close whatever it returns, so the record
  // must never offer it again.
  int r = close(record.socket);
  record.socket = kNoSocket;
  if (r != 0) return Failed();
  return {};
}

int SockLastError() { return errno; }
