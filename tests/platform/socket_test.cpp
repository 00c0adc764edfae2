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
    if (!SockOpen(client) || !SockConnect(client, "127.0.0.1", listener.port())) return;
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
    ASSERT_TRUE(SockOpen(record));
    ASSERT_TRUE(SockConnect(record, host, listener.port()));
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
    ASSERT_TRUE(SockOpen(record));
    errno = 0;
    EXPECT_EQ(SockConnect(record, host, port).error(), EINVAL);
    EXPECT_EQ(SockLastError(), EINVAL);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    EXPECT_NE(getpeername(record.socket, reinterpret_cast<sockaddr*>(&peer), &len), 0);
  }
}

// SockInit ignores SIGPIPE for the whole process, but a send to a peer gone
// is an error, not a dead process, even without it.
TEST(SockSendText, PeerGoneIsAnErrorNotADeadProcess) {
  SignalGuard guard(SIGPIPE);
  signal(SIGPIPE, SIG_DFL);  // only MSG_NOSIGNAL stands between us and death
  Connection conn;
  ASSERT_TRUE(conn.ok());
  conn.peer.Reset();
  // The first send after the peer's close may still be accepted; the reset
  // it provokes fails a later one.
  platform::Status sent;
  EXPECT_TRUE(WaitFor([&] { return !(sent = SockSendText(conn.client, "ping")).ok(); }));
  EXPECT_TRUE(sent.error() == EPIPE || sent.error() == ECONNRESET) << sent.reason();
  EXPECT_FALSE(SockSendText(conn.client, nullptr));
  SockInit();
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

// At most size - 1 bytes, terminated; silence, a close and a failure are
// distinct results.
TEST(SockReceive, FillsAtMostSizeMinusOneAndTellsWhyNot) {
  Connection conn;
  ASSERT_TRUE(conn.ok());
  std::vector<char> buffer(2048, '#');
  EXPECT_EQ(SockReceive(conn.client, buffer, 1).value_or(-1), 0) << "silence within the time-out";
  SendAll(conn.peer.get(), std::string(3000, 'x'));
  ASSERT_EQ(SockReceive(conn.client, buffer, 100).value_or(-1), 2047);
  EXPECT_EQ(std::string(buffer.data(), 2048), std::string(2047, 'x') + '\0');
  // A buffer of one byte has no room for data and its NUL: refused rather
  // than mistaken for a closed connection.
  char one[1] = {'x'};
  EXPECT_FALSE(SockReceive(conn.client, std::span<char>(one, 1), 100));
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(SockReceive(conn.client, buffer, -5).status().error(), EINVAL) << "negative time-out";
  EXPECT_EQ(SockReceive(conn.client, buffer, 100).value_or(-1), 953) << "the rest is still there";
  // Without a time-out it waits for data (the pause only makes an immediate
  // return visible).
  std::atomic<int> result{-100};
  char late[32] = {};
  std::thread reader([&] { result = SockReceive(conn.client, late, 0).value_or(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SendAll(conn.peer.get(), "late");
  reader.join();
  EXPECT_EQ(result.load(), 4);
  EXPECT_STREQ(late, "late");

  conn.peer.Reset();
  EXPECT_EQ(SockReceive(conn.client, buffer, 100).value_or(-1), kSockPeerClosed);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(SockReceive(conn.client, buffer, 0).value_or(-1), kSockPeerClosed)
      << "without a time-out too";
  ASSERT_TRUE(SockClose(conn.client));
  EXPECT_EQ(SockReceive(conn.client, buffer, 1).status().error(), EBADF)
      << "no socket, with a wait";
  EXPECT_EQ(SockReceive(conn.client, buffer, 0).status().error(), EBADF) << "without a wait";
  EXPECT_EQ(SockClose(conn.client).error(), EBADF)
      << "a second close must not hit a reused descriptor";
  EXPECT_EQ(SockLastError(), EBADF);
}

}  // namespace
