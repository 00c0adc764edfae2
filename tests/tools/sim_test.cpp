// Smoke test of the device simulator, driven from outside as the gateway's
// tests drive it: a camera streams stamped JPEGs and answers a command, a
// video server sends its lines. Every other suite exercises it further.
#include <gtest/gtest.h>

#include "support/sim_client.h"

namespace {

using sim_test::RawConnection;
using sim_test::SimProcess;

TEST(SimSmoke, StreamsFramesAnswersACommandAndSendsVideoServerLines) {
  SimProcess sim({"--camera", "id=3,fps=25,size=20000", "--route",
                  "camera=3,path=/command/io.cgi,body=done", "--videoserver",
                  "id=4,heartbeat=100,hbtext=HB,line=\"ioboxid=2 pin=4 state=on\""});
  ASSERT_TRUE(sim.ready()) << sim.Output();

  sim_test::HttpStream stream(sim.port(3), "/mjpg");
  ASSERT_EQ(stream.ReadHead(), 200) << stream.head();
  unsigned long long last_seq = 0;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    sim_test::HttpStream::Part part;
    ASSERT_TRUE(stream.NextPart(&part));
    ASSERT_TRUE(part.complete);
    EXPECT_EQ(part.body.size(), 20000u);
    sim_test::JpegInfo info;
    ASSERT_EQ(sim_test::CheckJpeg(part.body, &info), "");
    sim_test::Stamp stamp;
    ASSERT_TRUE(sim_test::ParseStamp(info, &stamp));
    EXPECT_EQ(stamp.camera, 3);
    if (i > 0) {
      EXPECT_GT(stamp.seq, last_seq);
    }
    last_seq = stamp.seq;
  }

  // A command as the gateway sends it: text and one NUL, recorded exactly.
  const std::string command = std::string("GET /command/io.cgi?pin=1 HTTP/1.0\r\n\r\n") + '\0';
  RawConnection c(sim.port(3));
  ASSERT_TRUE(c.Send(command));
  std::string reply;
  ASSERT_TRUE(c.ReadToClose(&reply));
  EXPECT_EQ(reply.rfind("HTTP/1.0 200", 0), 0u) << reply;
  EXPECT_EQ(reply.substr(reply.size() - 4), "done");
  std::vector<sim_test::RecordedRequest> got = sim.AwaitRequests("camera", 3, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].bytes, command);
  EXPECT_EQ(got[1].action, "reply:200");

  RawConnection vs(sim.port("videoserver", 4));
  ASSERT_TRUE(vs.Send(std::string("GET /inputs HTTP/1.0\r\n\r\n") + '\0'));
  EXPECT_EQ(vs.ReadLine(), "ioboxid=2 pin=4 state=on\r\n");
  EXPECT_EQ(vs.ReadLine(), "HB\r\n");
}

}  // namespace
