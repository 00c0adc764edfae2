#pragma once
// Socket helpers of the simulator: an owning descriptor, listening sockets,
// whole-buffer sends and a registry that wakes blocked connection threads.
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Owns one file descriptor; closes it when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

// A non-blocking listening TCP socket on `address`:`port` (port 0: the
// kernel picks one). Returns an invalid Fd and fills `error` on failure;
// `actual_port` gets the bound port.
Fd ListenTcp(const std::string& address, int port, int* actual_port, std::string* error,
             int backlog = 4096);

// A listening socket on `address`:`port` that takes no connection: its
// backlog is filled by connections of our own (kept in `fillers`) and it is
// never accepted, so the kernel drops every further connection attempt and
// the client's connect hangs. Invalid Fd and `error` on failure.
Fd ListenBlackhole(const std::string& address, int port, std::vector<Fd>* fillers,
                   std::string* error);

// Sends all `n` bytes; false when the peer is gone or the socket was shut down.
bool SendAll(int fd, const char* data, std::size_t n);
inline bool SendAll(int fd, std::string_view s) { return SendAll(fd, s.data(), s.size()); }

// Sends the pieces one after the other as if they were one buffer, without
// copying them together; false as SendAll.
bool SendPieces(int fd, std::initializer_list<std::string_view> pieces);

// Reads from `fd` into `buffer` until it holds `terminator`, at most
// `max_bytes` bytes have come or `timeout_ms` has passed (negative: no
// limit). Returns the length up to and including the terminator, or 0 when
// it did not come.
std::size_t ReadUntil(int fd, std::string_view terminator, std::size_t max_bytes, int timeout_ms,
                      std::string* buffer);

// The same with the end found by `find_end`, which returns the length up to
// the end in the data so far or 0 when it has not come. `*closed` (may be
// null) tells whether the peer closed or the socket failed.
std::size_t ReadUntilEnd(int fd, const std::function<std::size_t(std::string_view)>& find_end,
                         std::size_t max_bytes, int timeout_ms, std::string* buffer,
                         bool* closed = nullptr);

// Turns Nagle's algorithm off, so that every send leaves as its own segment
// (the devices split replies and lines on purpose).
void SetNoDelay(int fd);
// Makes the close of `fd` reset the connection instead of ending it.
void SetResetOnClose(int fd);
// Reads and drops whatever is waiting on `fd` without blocking, so that a
// following close does not turn into a reset.
void DrainReadable(int fd);

// The open connections of one owner, so that another thread can end them:
// shutting a socket down wakes a thread blocked in send or recv on it.
class ConnectionSet {
 public:
  // False when the set is closed (the owner is stopping); the caller then
  // drops the connection.
  bool Add(int fd);
  void Remove(int fd);
  int count() const;
  // Shuts every member down; with `close_set` later Adds fail.
  void ShutdownAll(bool close_set);
  void Reopen();

 private:
  mutable std::mutex mu_;
  std::set<int> fds_;    // guarded by mu_
  bool closed_ = false;  // guarded by mu_
};

}  // namespace sim
