// Smoke test of the device simulator, driven from outside as the gateway's
// tests drive it: a camera streams stamped JPEGs and answers a command, a
// video server sends its lines. Every other suite exercises it further.
#include <gtest/gtest.h>

#include "support/loopback_camera.h"
#include "support/sim_client.h"

namespace {

using namespace sim_test;

// Sends `request` on a new connection; what came back once `done` holds
// for it or the device closed.
template <typename Done>
std::string Exchange(int port, const std::string& request, Done done) {
  std::string got;
  int fd = Connect(port);
  if (fd >= 0 && SendText(fd, request)) camera_test::ReadUntil(fd, got, [&] { return done(got); });
  if (fd >= 0) close(fd);
  return got;
}

TEST(SimSmoke, StreamsFramesAnswersACommandAndSendsVideoServerLines) {
  SimProcess sim({"--camera", "id=3,fps=25,size=20000", "--route",
                  "camera=3,path=/command/io.cgi,body=done", "--videoserver",
                  "id=4,heartbeat=100,hbtext=HB,line=\"ioboxid=2 pin=4 state=on\""});
  ASSERT_TRUE(sim.ready()) << sim.Output();

  // Three whole parts (a fourth has begun): each body as long as announced,
  // a valid JPEG stamped by camera 3, in sequence.
  const std::string stream =
      Exchange(sim.port(3), "GET /mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
               [](auto& s) { return testing_support::CountOf(s, "Content-Length: ") >= 4; });
  ASSERT_EQ(stream.compare(0, 12, "HTTP/1.0 200"), 0) << stream.substr(0, 200);
  std::size_t at = stream.find("Content-Length: ");
  unsigned long long last_seq = 0;
  for (int i = 0; i < 3; ++i, at = stream.find("Content-Length: ", at + 1)) {
    SCOPED_TRACE(i);
    ASSERT_NE(at, std::string::npos);
    const std::size_t body = stream.find("\r\n\r\n", at) + 4;
    ASSERT_EQ(std::atoll(stream.c_str() + at + 16), 20000);
    ASSERT_EQ(stream.compare(body + 20000, 2, "\r\n"), 0);
    Stamp stamp;
    ASSERT_EQ(StampOf(stream.substr(body, 20000), &stamp), "");
    EXPECT_EQ(stamp.camera, 3);
    EXPECT_TRUE(i == 0 || stamp.seq > last_seq);
    last_seq = stamp.seq;
  }

  // A command as the gateway sends it: text and one NUL, recorded exactly.
  const std::string command = std::string("GET /command/io.cgi?pin=1 HTTP/1.0\r\n\r\n") + '\0';
  const std::string reply = Exchange(sim.port(3), command, [](auto&) { return false; });
  EXPECT_EQ(reply.rfind("HTTP/1.0 200", 0), 0u) << reply;
  EXPECT_TRUE(reply.ends_with("done")) << reply;
  std::vector<RecordedRequest> got = sim.AwaitRequests("camera", 3, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].bytes + got[1].action, command + "reply:200");

  const std::string lines =
      Exchange(sim.port("videoserver", 4), std::string("GET /inputs HTTP/1.0\r\n\r\n") + '\0',
               [](auto& s) { return testing_support::CountOf(s, "\r\n") >= 2; });
  EXPECT_EQ(lines.substr(0, 30), "ioboxid=2 pin=4 state=on\r\nHB\r\n");
}

}  // namespace
