#include "status/connection_stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace status {

namespace {

void Address(int fd, int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t len = sizeof address;
  port = 0;
  if (get(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) return;
  ip = AddressText(address);
  if (address.ss_family == AF_INET)
    port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  else if (address.ss_family == AF_INET6)
    port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

}  // namespace

std::string AddressText(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "";
  (void)getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host,
                    nullptr, 0, NI_NUMERICHOST);
  return host;
}

BoundedStream::BoundedStream(int fd, platform::Clock& clock)
    : fd_(fd),
      clock_(clock),
      deadline_us_(clock.MonotonicMicros() +
                   kStatusConnectionMaxSeconds * platform::kMicrosPerSecond) {}

void BoundedStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  Address(fd_, getpeername, ip, port);
}

void BoundedStream::get_local_ip_and_port(std::string& ip, int& port) const {
  Address(fd_, getsockname, ip, port);
}

bool BoundedStream::Wait(short events, int ms) const {
  const std::int64_t left_ms =
      (deadline_us_ - clock_.MonotonicMicros()) / platform::kMicrosPerMilli;
  if (left_ms <= 0) return false;
  pollfd p{fd_, events, 0};
  int ready;
  do ready = poll(&p, 1, static_cast<int>(std::min<std::int64_t>(ms, left_ms)));
  while (ready < 0 && errno == EINTR);
  return ready > 0 && (p.revents & events) != 0;
}

bool ConnectionStream::is_readable() const {
  return consumed_ < filled_ || Wait(POLLIN, kStatusReadWriteMs);
}

bool ConnectionStream::NextRequest() const {
  return consumed_ < filled_ || Wait(POLLIN, kStatusKeepAliveMs);
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  if (consumed_ == filled_) {
    if (!Wait(POLLIN, kStatusReadWriteMs)) return -1;
    ssize_t got;
    do got = recv(fd(), buffer_, sizeof buffer_, 0);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return got;
    filled_ = static_cast<std::size_t>(got);
    consumed_ = 0;
  }
  const std::size_t n = std::min(size, filled_ - consumed_);
  std::memcpy(ptr, buffer_ + consumed_, n);
  consumed_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  if (!is_writable()) return -1;
  ssize_t sent;
  do sent = send(fd(), ptr, size, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  return sent;
}

}  // namespace status
