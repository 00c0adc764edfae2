#pragma once
// A monitoring client for the tests: plain loopback socket, messages split at
// their NUL bytes, every byte kept for framing checks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

class MonitorTestClient {
 public:
  MonitorTestClient() = default;
  ~MonitorTestClient() { Close(); }
  MonitorTestClient(const MonitorTestClient&) = delete;
  MonitorTestClient& operator=(const MonitorTestClient&) = delete;

  // One connect attempt to 127.0.0.1:port, from the loopback address
  // `from` (such as "127.0.0.2") when one is given.
  bool TryConnect(int port, const char* from = nullptr) {
    Close();
    peer_closed_ = false;
    raw_.clear(), partial_.clear(), messages_.clear();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {}, {}};
    if (from != nullptr && (inet_pton(AF_INET, from, &a.sin_addr) != 1 ||
                            bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0))
      return Close(), false;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Close(), false;
    return true;
  }

  // Connects, retrying until the server listens or `seconds` pass, and
  // waits for the first message (the server answers every new client). A
  // connection the kernel completed in the backlog of a listener that was
  // then closed is reset: that counts as refused, and is retried.
  bool Connect(int port, double seconds = 60, const char* from = nullptr) {
    auto deadline = Clock::now() + Seconds(seconds);
    while (Clock::now() < deadline) {
      if (TryConnect(port, from)) {
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (WaitMessages(1, left)) return true;
        if (!peer_closed_) return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  bool Send(std::string_view bytes) {
    for (ssize_t n; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
      if ((n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }

  // The next message (without its NUL), waiting up to `seconds`.
  bool Next(std::string* out, double seconds = 60) {
    WaitMessages(1, seconds);
    if (messages_.empty()) return false;
    *out = std::move(messages_.front());
    messages_.pop_front();
    return true;
  }

  // The next `count` messages; fewer when they do not come in time.
  std::vector<std::string> Take(std::size_t count, double seconds = 60) {
    WaitMessages(count, seconds);
    std::vector<std::string> out;
    for (; out.size() < count && !messages_.empty(); messages_.pop_front())
      out.push_back(messages_.front());
    return out;
  }

  // Messages up to and including the first one that starts with `prefix`;
  // empty when none comes in time.
  std::vector<std::string> Until(std::string_view prefix, double seconds = 60) {
    std::vector<std::string> out;
    std::string m;
    while (Next(&m, seconds)) {
      out.push_back(m);
      if (m.starts_with(prefix)) return out;
    }
    return {};
  }

  void Close() {
    if (fd_ >= 0) close(std::exchange(fd_, -1));
  }
  // Connects once and waits for the server to close the connection; true
  // when it did so without sending a byte.
  bool RefusedWithoutAWord(int port, const char* from = nullptr, double seconds = 60) {
    auto deadline = Clock::now() + Seconds(seconds);
    while (!TryConnect(port, from)) {  // the server may not listen yet
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    WaitMessages(1, std::chrono::duration<double>(deadline - Clock::now()).count());
    return peer_closed_ && raw_.empty();
  }
  // Every byte received so far.
  const std::string& raw() const { return raw_; }
  int fd() const { return fd_; }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  }

  // Reads until at least `count` messages are waiting (false on time-out
  // or close).
  bool WaitMessages(std::size_t count, double seconds) {
    auto deadline = Clock::now() + Seconds(seconds);
    char buf[65536];
    while (messages_.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (fd_ < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return false;
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return !(peer_closed_ = true);
      raw_.append(buf, static_cast<std::size_t>(n));
      for (ssize_t i = 0; i < n; ++i)
        if (buf[i] != '\0')
          partial_ += buf[i];
        else
          messages_.push_back(std::exchange(partial_, {}));
    }
    return true;
  }

  int fd_ = -1;
  bool peer_closed_ = false;
  std::string raw_, partial_;
  std::deque<std::string> messages_;
};

}  // namespace testing_support
