#pragma once
// StatusListener: the status port's socket and connections. cpp-httplib
// reads the requests and writes the answers (HttpHandlers: its routing and
// request parsing, driven one connection at a time); the accepting is ours,
// because the library (0.11 in Debian 12) takes every connection it accepts
// into a queue without bound and cannot tell who is calling before a worker
// runs. Here every connection is judged the moment it is accepted: an
// address outside the allow-list, or one more than kStatusConnectionsMax
// waiting and being served, is closed at once, before it takes a queue
// place or a worker. So a flood of connections holds at most that many
// descriptors, and the rest come back at once.
//
// Threads: Run is the listener thread's body (one, detached, never ends):
// it binds the port (trying again every 10 s on the clock while it cannot,
// telling the port and the reason at once and then once a minute), accepts,
// and hands connections to kStatusWorkers worker threads (std::thread,
// detached: the library's routing matches std::regex, which wants more
// stack than our 0x20000 bytes). A connection is served for at most
// kStatusConnectionMaxSeconds (connection_stream.h), so a client that
// trickles its request, or its TLS handshake, holds a worker that long at
// most. With a TlsContext every connection speaks TLS (tls_stream.h).
//
// Locks: `lock_` guards the queue of accepted connections and the count of
// connections waiting and being served; it is a leaf (no other lock, no log
// line under it). What the listener thread counts for its lines is its own.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <httplib.h>

#include "monitor/monitor_access.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "status/status_server.h"
#include "status/tally.h"
#include "status/tls_stream.h"

namespace status {

// While the port cannot be bound it is tried again this often; the failure,
// like connections closed at once, is told at most once per
// kStatusTellIntervalUs.
inline constexpr std::int64_t kStatusBindRetryUs = 10 * platform::kMicrosPerSecond;

// The library's request reading, routing and answer writing, for one
// connection at a time.
class HttpHandlers : public httplib::Server {
 public:
  // One request of the connection `stream`; `last`: the answer closes it.
  // False, or `closed` set, when the connection is done.
  bool Serve(httplib::Stream& stream, bool last, bool& closed) {
    return process_request(stream, last, closed, nullptr);
  }
};

class StatusListener {
 public:
  // `host` is a numeric IPv4 or IPv6 address; `tls` null for plain HTTP;
  // `tell` is called on the listener thread about once a second with the
  // monotonic time, for others' lines told at most once a minute (may be
  // empty). Everything given must outlive the listener (it lives until the
  // process ends).
  StatusListener(HttpHandlers& handlers, platform::Clock& clock, std::string host, int port,
                 monitor::AllowList allowed, std::shared_ptr<const TlsContext> tls = nullptr,
                 std::function<void(std::int64_t)> tell = {});
  StatusListener(const StatusListener&) = delete;
  StatusListener& operator=(const StatusListener&) = delete;

  // Starts the workers, then binds and accepts for good.
  [[noreturn]] void Run();

  // Whether `peer` (an IPv4 or IPv6 address) is admitted: IPv4 addresses,
  // IPv4-mapped IPv6 ones and ::1 (as 127.0.0.1) by the allow-list; other
  // IPv6 addresses never, as the list names IPv4 only.
  bool Admits(const sockaddr_storage& peer) const;

 private:
  int Bind();
  void Accept(int listener);
  // Closes the connection at once when it may not come in; else queues it.
  void Admit(int fd, const sockaddr_storage& peer);
  void Tell(std::int64_t now_us);
  void Work();
  void Serve(int fd);
  void ServeRequests(BoundedStream& stream);

  HttpHandlers& handlers_;
  platform::Clock& clock_;
  const std::string host_;
  const int port_;
  const monitor::AllowList allowed_;
  const std::shared_ptr<const TlsContext> tls_;
  const std::function<void(std::int64_t)> tell_;

  // Listener thread only.
  Tally not_allowed_, too_many_, no_descriptor_;

  platform::Mutex lock_;
  platform::CondVar queued_;
  std::deque<int> waiting_ GUARDED_BY(lock_);
  int connections_ GUARDED_BY(lock_) = 0;  // waiting and being served
};

}  // namespace status
