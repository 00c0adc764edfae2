#pragma once
// Peers on the loopback address made without the socket layer under test:
// a listener on a port the kernel picks, and a stand-in camera serving one
// connection from a thread of its own.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

namespace camera_test {

inline constexpr int kGenerousMs = 60000;

class LoopbackListener {
 public:
  LoopbackListener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_, 8) != 0) std::abort();
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackListener() { close(fd_); }
  int port() const { return port_; }
  // The next pending connection, or -1 when none comes within `wait_ms`.
  int Accept(int wait_ms = kGenerousMs) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, wait_ms) == 1 ? accept(fd_, nullptr, nullptr) : -1;
  }

 private:
  int fd_;
  int port_ = 0;
};

// Appends what `fd` receives to `into` until `done()` holds, the peer closes
// or nothing comes for a long while.
template <typename Done>
void ReadUntil(int fd, std::string& into, Done done) {
  char buf[1024];
  while (!done()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kGenerousMs) != 1) return;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    into.append(buf, static_cast<size_t>(n));
  }
}

// What the stand-in camera does once it has read a whole command (up to
// and including its NUL byte).
enum class Behaviour {
  kReply,        // sends its reply, closes its side (HTTP/1.0), waits for the client to go
  kCloseAtOnce,  // closes without a byte
  kStaySilent,   // sends nothing and waits until the client gives up
};

class CameraStub {
 public:
  explicit CameraStub(std::string reply, Behaviour behaviour = Behaviour::kReply)
      : reply_(std::move(reply)), thread_([this, behaviour] { Serve(behaviour); }) {}
  ~CameraStub() { Received(); }
  int port() const { return listener_.port(); }
  // Every byte the client sent, once the exchange is over.
  const std::string& Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve(Behaviour behaviour) {
    int fd = listener_.Accept();
    if (fd < 0) return;
    ReadUntil(fd, received_, [&] { return received_.find('\0') != std::string::npos; });
    if (behaviour == Behaviour::kReply) {
      send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      shutdown(fd, SHUT_WR);
    }
    if (behaviour != Behaviour::kCloseAtOnce) ReadUntil(fd, received_, [] { return false; });
    close(fd);
  }

  LoopbackListener listener_;
  std::string reply_;
  std::string received_;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace camera_test
