#pragma once
// The streams the status port's workers hand to the library's request
// reading and answer writing: one per connection, owned and used by the one
// worker serving it (no lock). Every wait is bounded by the read or write
// time-out and by the connection's deadline (kStatusConnectionMaxSeconds on
// the clock), so a client that trickles its bytes, or never ends a TLS
// handshake, holds a worker that long at most. The descriptor stays the
// worker's: a stream never closes it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include <httplib.h>

#include "platform/clock.h"

namespace status {

inline constexpr int kStatusConnectionMaxSeconds = 10;
// A silent connection waits this long for its next request, and a request
// for each of its reads and writes.
inline constexpr int kStatusKeepAliveMs = 2000;
inline constexpr int kStatusReadWriteMs = 5000;

// The numeric text of an address ("192.0.2.7", "::1").
std::string AddressText(const sockaddr_storage& address);

// What both kinds of connection share: the descriptor, the deadline and the
// bounded waits.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(int fd, platform::Clock& clock);

  // Whether another request begins within the keep-alive time.
  virtual bool NextRequest() const = 0;

  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

 protected:
  // Waits up to `ms`, and never past the connection's deadline, for `events`.
  bool Wait(short events, int ms) const;
  int fd() const { return fd_; }

 private:
  const int fd_;
  platform::Clock& clock_;
  const std::int64_t deadline_us_;
};

// A plain connection: reads through a small buffer (the library reads
// request lines byte by byte).
class ConnectionStream final : public BoundedStream {
 public:
  using BoundedStream::BoundedStream;

  bool is_readable() const override;
  bool is_writable() const override { return Wait(POLLOUT, kStatusReadWriteMs); }
  bool NextRequest() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;

 private:
  static constexpr std::size_t kReadBufferSize = 4096;
  char buffer_[kReadBufferSize];
  std::size_t filled_ = 0, consumed_ = 0;
};

}  // namespace status
