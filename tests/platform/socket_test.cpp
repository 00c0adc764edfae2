// The socket layer on the loopback address: connecting, a peer gone while
// sending, the kinds of receive result, and misuse that must not hurt.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback_camera.h"
#include "support/sandbox.h"

namespace {

using camera_test::LoopbackListener;
using testing_support::WaitFor;

// A plain descriptor of the test's side of a connection.
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() { Reset(); }
  int get() const { return fd; }
  void Reset() {
    if (fd >= 0) close(std::exchange(fd, -1));
  }
};

void SendAll(int fd, const std::string& bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// The layer's client connected to a raw peer.
struct Connection {
  LoopbackListener listener;
  SockRecord client;
  Fd peer;

  Connection() {
    if (SockOpen(client) != 0 || SockConnect(client, "127.0.0.1", listener.port()) != 0) return;
    peer.fd = listener.Accept();
  }
  bool ok() const { return client.socket != kNoSocket && peer.get() >= 0; }
};

// Restores a signal disposition the test changed.
class SignalGuard {
 public:
  explicit SignalGuard(int sig) : sig_(sig) { sigaction(sig_, nullptr, &saved_); }
  ~SignalGuard() { sigaction(sig_, &saved_, nullptr); }

 private:
  int sig_;
  struct sigaction saved_ {};
};

TEST(SockConnect, UsesDottedAddressesAndLooksUpNames) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    LoopbackListener listener;
    SockRecord record;
    ASSERT_EQ(SockOpen(record), 0);
    ASSERT_EQ(SockConnect(record, host, listener.port()), 0);
    Fd peer(listener.Accept());
    EXPECT_GE(peer.get(), 0);
  }
}

// Refused and unresolvable hosts are in the HTTP client's tests.
TEST(SockConnect, BadArgumentsLeaveTheSocketUnconnected) {
  // Out of range, negative, no host.
  for (auto [host, port] : {std::pair{"127.0.0.1", 70000}, {"127.0.0.1", -1}, {nullptr, 80}}) {
    SCOPED_TRACE(port);
    SockRecord record;
    ASSERT_EQ(SockOpen(record), 0);
    errno = 0;
    EXPECT_EQ(SockConnect(record, host, port), -1);
    EXPECT_EQ(SockLastError(), EINVAL);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    EXPECT_NE(getpeername(record.socket, reinterpret_cast<sockaddr*>(&peer), &len), 0);
  }
}

TEST(SockSendText, PeerGoneIsAnErrorNotADeadProcess) {
  SignalGuard guard(SIGPIPE);
  signal(SIGPIPE, SIG_DFL);  // only MSG_NOSIGNAL stands between us and death
  Connection conn;
  ASSERT_TRUE(conn.ok());
  conn.peer.Reset();
  // The first send after the peer's close may still be accepted; the reset
  // it provokes fails a later one.
  int result = 0;
  EXPECT_TRUE(WaitFor([&] { return (result = SockSendText(conn.client, "ping")) == -1; }));
  EXPECT_TRUE(SockLastError() == EPIPE || SockLastError() == ECONNRESET) << SockLastError();
  EXPECT_EQ(SockSendText(conn.client, nullptr), -1);
}

TEST(SockInit, IgnoresSigpipeForTheWholeProcess) {
  SignalGuard guard(SIGPIPE);
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(SockInit(), 0);
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

TEST(SockReceive, ClosedTimedOutAndFailedAreDistinct) {
  Connection conn;
  ASSERT_TRUE(conn.ok());
  char buffer[64];

  EXPECT_EQ(SockReceive(conn.client, buffer, 1), 0) << "silence within the time-out";

  conn.peer.Reset();
  EXPECT_EQ(SockReceive(conn.client, buffer, 100), kSockPeerClosed);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(SockReceive(conn.client, buffer, 0), kSockPeerClosed) << "without a time-out too";

  ASSERT_EQ(SockClose(conn.client), 0);
  EXPECT_EQ(SockReceive(conn.client, buffer, 1), -1) << "no socket, with a wait";
  EXPECT_EQ(SockReceive(conn.client, buffer, 0), -1) << "no socket, without a wait";
}

TEST(SockReceive, FillsAtMostSizeMinusOneAndTerminates) {
  Connection conn;
  ASSERT_TRUE(conn.ok());
  SendAll(conn.peer.get(), std::string(3000, 'x'));
  std::vector<char> buffer(2048, '#');
  int n = SockReceive(conn.client, buffer, 100);
  ASSERT_EQ(n, 2047);
  EXPECT_EQ(std::string(buffer.data(), 2047), std::string(2047, 'x'));
  EXPECT_EQ(buffer[2047], '\0');

  // A buffer of one byte has no room for data and its NUL: refused rather
  // than mistaken for a closed connection.
  char one[1] = {'x'};
  EXPECT_EQ(SockReceive(conn.client, std::span<char>(one, 1), 100), -1);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(SockReceive(conn.client, buffer, -5), -1) << "negative time-out";
  EXPECT_EQ(SockReceive(conn.client, buffer, 100), 953) << "the rest is still there";
}

TEST(SockReceive, WithoutTimeOutWaitsForData) {
  Connection conn;
  ASSERT_TRUE(conn.ok());
  std::atomic<int> result{-100};
  std::atomic<bool> started{false};
  char buffer[32] = {};
  std::thread reader([&] {
    started = true;
    result = SockReceive(conn.client, buffer, 0);
  });
  ASSERT_TRUE(WaitFor([&] { return started.load(); }));
  // Only makes an immediate return more visible; correctness does not hang
  // on this pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SendAll(conn.peer.get(), "late");
  reader.join();
  EXPECT_EQ(result.load(), 4);
  EXPECT_STREQ(buffer, "late");
}

// The gateway has no server socket of this layer (the monitor keeps its own);
// only the documented failure handling is checked.
TEST(SockOpenServer, FailuresLeaveNoSocket) {
  LoopbackListener taken;
  for (int port : {taken.port(), -1, 65536}) {
    SCOPED_TRACE(port);
    SockRecord server;
    EXPECT_EQ(SockOpenServer(server, port), -1);
    EXPECT_EQ(server.socket, kNoSocket);
    EXPECT_EQ(SockClose(server), -1) << "closing the empty record fails harmlessly";
  }
  SockRecord record;
  ASSERT_EQ(SockOpen(record), 0);
  EXPECT_EQ(SockClose(record), 0);
  EXPECT_EQ(SockClose(record), -1) << "a second close must not hit a reused descriptor";
  EXPECT_EQ(SockLastError(), EBADF);
}

}  // namespace
