#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sim {

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Fd ListenTcp(const std::string& address, int port, int* actual_port, std::string* error,
             int backlog) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
    *error = "not an IPv4 address: " + address;
    return Fd();
  }
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    *error = std::string("socket: ") + std::strerror(errno);
    return Fd();
  }
  // A device that goes dead and comes back binds its old port again.
  int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return Fd();
  }
  if (listen(fd.get(), backlog) != 0) {
    *error = std::string("listen: ") + std::strerror(errno);
    return Fd();
  }
  socklen_t len = sizeof a;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
  *actual_port = ntohs(a.sin_port);
  return fd;
}

Fd ListenBlackhole(const std::string& address, int port, std::vector<Fd>* fillers,
                   std::string* error) {
  // How many connections of our own at most, and how long each may take to
  // complete before the backlog counts as full.
  constexpr int kMaxFillers = 16;
  constexpr int kFillerWaitMs = 300;
  int actual = 0;
  Fd listener = ListenTcp(address, port, &actual, error, 1);
  if (!listener.valid()) return listener;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(actual));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (a.sin_addr.s_addr == htonl(INADDR_ANY)) a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < kMaxFillers; ++i) {
    Fd filler(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!filler.valid()) break;
    if (connect(filler.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (errno != EINPROGRESS) break;
      pollfd p{filler.get(), POLLOUT, 0};
      int error_code = 0;
      socklen_t len = sizeof error_code;
      // One that does not complete is refused room: the backlog is full.
      if (poll(&p, 1, kFillerWaitMs) != 1 ||
          getsockopt(filler.get(), SOL_SOCKET, SO_ERROR, &error_code, &len) != 0 || error_code != 0)
        return listener;
    }
    fillers->push_back(std::move(filler));
  }
  *error = "the backlog of port " + std::to_string(actual) + " did not fill";
  fillers->clear();
  return Fd();
}

bool SendAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

namespace {
long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

std::size_t ReadUntil(int fd, std::string_view terminator, std::size_t max_bytes, int timeout_ms,
                      std::string* buffer) {
  return ReadUntilEnd(
      fd,
      [terminator](std::string_view data) -> std::size_t {
        std::size_t found = data.find(terminator);
        return found == std::string_view::npos ? 0 : found + terminator.size();
      },
      max_bytes, timeout_ms, buffer);
}

std::size_t ReadUntilEnd(int fd, const std::function<std::size_t(std::string_view)>& find_end,
                         std::size_t max_bytes, int timeout_ms, std::string* buffer, bool* closed) {
  const long long deadline = NowMs() + timeout_ms;
  if (closed) *closed = false;
  while (true) {
    std::size_t end = find_end(*buffer);
    if (end != 0) return end;
    if (buffer->size() >= max_bytes) return 0;
    long long left = timeout_ms < 0 ? -1 : deadline - NowMs();
    if (timeout_ms >= 0 && left <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      if (closed) *closed = true;
      return 0;
    }
    if (r == 0) return 0;
    char chunk[4096];
    std::size_t want = std::min(sizeof chunk, max_bytes - buffer->size());
    ssize_t got = recv(fd, chunk, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (closed) *closed = true;
      return 0;
    }
    buffer->append(chunk, static_cast<std::size_t>(got));
  }
}

void SetNoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetResetOnClose(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void DrainReadable(int fd) {
  char sink[4096];
  while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
}

bool ConnectionSet::Add(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_) return false;
  fds_.insert(fd);
  return true;
}

void ConnectionSet::Remove(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  fds_.erase(fd);
}

int ConnectionSet::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(fds_.size());
}

void ConnectionSet::ShutdownAll(bool close_set) {
  std::lock_guard<std::mutex> lock(mu_);
  if (close_set) closed_ = true;
  // The owners close their descriptors only after Remove, under this lock,
  // so every member is still open here.
  for (int fd : fds_) shutdown(fd, SHUT_RDWR);
}

void ConnectionSet::Reopen() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = false;
}

bool SendPieces(int fd, std::initializer_list<std::string_view> pieces) {
  constexpr std::size_t kMaxPieces = 8;
  iovec iov[kMaxPieces];
  std::size_t count = 0;
  for (std::string_view p : pieces) {
    if (p.empty()) continue;
    if (count == kMaxPieces) return false;
    iov[count++] = {const_cast<char*>(p.data()), p.size()};
  }
  std::size_t first = 0;
  while (first < count) {
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = count - first;
    ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    auto left = static_cast<std::size_t>(sent);
    while (first < count && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (first < count) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return true;
}

}  // namespace sim
