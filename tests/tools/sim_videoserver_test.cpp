// Video servers of the device simulator: one request per connection (text
// and a NUL byte), then lines ended by CR LF from the script, the heartbeat
// and the control port.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "support/sim_client.h"

namespace {

using sim_test::RawConnection;
using sim_test::RecordedRequest;
using sim_test::SimProcess;
using testing_support::WaitFor;

const std::string kNul(1, '\0');
const std::string kRequest = "GET /alarminput.cgi HTTP/1.0\r\nHost: vs\r\n\r\n" + kNul;

TEST(SimVideoServer, RecordsTheRequestThenSendsHeadScriptAndHeartbeats) {
  SimProcess sim({"--videoserver",
                  "id=4,heartbeat=100,hbtext=HB,head=\"HTTP/1.0 200 OK\\r\\n\\r\\n\","
                  "line=\"ioboxid=2 pin=4 state=on\",line=done"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  RawConnection c(sim.port("videoserver", 4));
  const std::int64_t sent = sim_test::RealtimeUs();
  ASSERT_TRUE(c.Send(kRequest));
  for (const char* expected :
       {"HTTP/1.0 200 OK\r\n", "\r\n", "ioboxid=2 pin=4 state=on\r\n", "done\r\n"})
    EXPECT_EQ(c.ReadLine(), expected);
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE("heartbeat " + std::to_string(k));
    std::int64_t at = 0;
    EXPECT_EQ(c.ReadLine(&at), "HB\r\n");
    // Never before it is due.
    EXPECT_GE(at - sent, k * 100000);
  }

  std::vector<RecordedRequest> got = sim.AwaitRequests("videoserver", 4, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, kRequest);
  EXPECT_EQ(got[0].action, "lines");
  EXPECT_EQ(got[0].connection, 1u);
  EXPECT_GE(got[0].time_us, sent);

  // The gateway asks once per connection; a second request is recorded too.
  ASSERT_TRUE(c.Send("again" + kNul));
  got = sim.AwaitRequests("videoserver", 4, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].bytes, "again" + kNul);
  EXPECT_EQ(got[1].action, "extra");
  EXPECT_EQ(got[1].connection, 1u);
  EXPECT_EQ(sim.Stat("videoserver", 4, "requests"), 1);
  EXPECT_EQ(sim.Stat("videoserver", 4, "extra"), 1);
  EXPECT_GE(sim.Stat("videoserver", 4, "heartbeats"), 3);
}

TEST(SimVideoServer, InjectedLinesSplitsSilenceAndClose) {
  SimProcess sim({"--videoserver", "id=5"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const int port = sim.port("videoserver", 5);
  RawConnection c(port);
  ASSERT_TRUE(c.Send(kRequest));
  ASSERT_EQ(sim.AwaitRequests("videoserver", 5, 1).size(), 1u);

  EXPECT_EQ(sim.Control("sendline videoserver 5 ioboxid=2 pin=4 state=on"), "ok connections=1\n");
  EXPECT_EQ(c.ReadLine(), "ioboxid=2 pin=4 state=on\r\n");
  EXPECT_EQ(sim.Control("send 5 a\\tb\\x01\\xff\\r\\n"), "ok connections=1\n");
  EXPECT_EQ(c.ReadLine(), "a\tb\x01\xff\r\n");

  {
    SCOPED_TRACE("a line in two segments");
    auto reply = std::async(std::launch::async, [&] {
      return sim.Control("split 5 9 800 ioboxid=3 pin=1 state=off\\r\\n");
    });
    std::string first, second;
    ASSERT_EQ(c.Receive(&first), RawConnection::Read::kData);
    auto between = std::chrono::steady_clock::now();
    ASSERT_EQ(c.Receive(&second), RawConnection::Read::kData);
    EXPECT_GE(std::chrono::steady_clock::now() - between, std::chrono::milliseconds(700));
    EXPECT_EQ(first, "ioboxid=3");
    EXPECT_EQ(second, " pin=1 state=off\r\n");
    EXPECT_EQ(reply.get(), "ok connections=1\n");
  }
  {
    SCOPED_TRACE("silence among heartbeats");
    ASSERT_EQ(sim.Control("set videoserver 5 heartbeat=100"), "ok\n");
    EXPECT_EQ(c.ReadLine(), "heartbeat\r\n");
    auto last = std::chrono::steady_clock::now();
    ASSERT_EQ(sim.Control("silence 5 1500"), "ok connections=1\n");
    // Heartbeats already on their way may still come first; then the gap,
    // then the heartbeats again.
    std::chrono::steady_clock::duration longest{};
    for (int lines = 0; lines < 50 && longest < std::chrono::milliseconds(1400); ++lines) {
      ASSERT_EQ(c.ReadLine(), "heartbeat\r\n");
      auto now = std::chrono::steady_clock::now();
      longest = std::max(longest, now - last);
      last = now;
    }
    EXPECT_GE(longest, std::chrono::milliseconds(1400));
    EXPECT_EQ(sim.Stat("videoserver", 5, "silences"), 1);
  }
  EXPECT_EQ(sim.Control("close videoserver 5"), "ok connections=1\n");
  std::string rest;
  EXPECT_TRUE(c.ReadToClose(&rest));
  EXPECT_EQ(sim.Stat("videoserver", 5, "closes"), 1);
  EXPECT_EQ(sim.Control("send 5 x"), "ok connections=0\n");

  ASSERT_EQ(sim.Control("set videoserver 5 dead=1"), "ok\n");
  EXPECT_EQ(sim_test::Connect(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(SimVideoServer, ScriptFromFileRunsOnEveryConnectionAndLoops) {
  testing_support::TempDir dir;
  const std::string script = dir / "inputs.txt";
  testing_support::WriteFile(script,
                             "# one event, one split event, raw bytes, the end\n"
                             "line ioboxid=1 pin=2 state=on\n"
                             "split 6 300 ioboxid=1 pin=2 state=off\\r\\n\n"
                             "wait 100\n"
                             "send raw\\x00bytes\\r\\n\n"
                             "close\n");
  SimProcess sim({"--videoserver", "id=6,script=" + script, "--videoserver",
                  "id=7,line=tick,wait=100,loop=1"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const std::string expected =
      "ioboxid=1 pin=2 state=on\r\nioboxid=1 pin=2 state=off\r\nraw" + kNul + "bytes\r\n";
  for (int connection = 1; connection <= 2; ++connection) {
    SCOPED_TRACE("connection " + std::to_string(connection));
    RawConnection c(sim.port("videoserver", 6));
    ASSERT_TRUE(c.Send(kRequest));
    std::string all;
    ASSERT_TRUE(c.ReadToClose(&all));
    EXPECT_EQ(all, expected);
  }
  std::vector<RecordedRequest> got = sim.AwaitRequests("videoserver", 6, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].connection, 1u);
  EXPECT_EQ(got[1].connection, 2u);
  EXPECT_EQ(sim.Stat("videoserver", 6, "splits"), 2);

  RawConnection ticks(sim.port("videoserver", 7));
  ASSERT_TRUE(ticks.Send(kRequest));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ticks.ReadLine(), "tick\r\n");
}

TEST(SimVideoServer, RefusesBadRoutesAndServers) {
  const std::vector<std::vector<std::string>> rows = {
      {"--camera", "id=1", "--route", "camera=2,path=/a"},
      {"--camera", "id=1", "--route", "path=/a"},
      {"--camera", "id=1", "--route", "camera=1,path=/a,mode=loud"},
      {"--camera", "id=1", "--route", "camera=1,path=/a,split=0:100"},
      {"--videoserver", "port=0"},
      {"--videoserver", "id=1,split=5:100:abc"},
      {"--videoserver", "id=1,line=tick,loop=1"},
      {"--videoserver", "id=1,line=\"open"},
      {"--videoserver", "id=1,line=bad\\q"},
      {"--videoserver", "id=1,script=/nonexistent/script"},
      {"--videoserver", "id=1", "--videoserver", "id=1"},
      {"--videoserver", "id=1,port=4000", "--camera", "id=1,port=4000"},
  };
  for (const auto& args : rows) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    SimProcess sim(args);
    ASSERT_TRUE(sim.child().WaitExit());
    EXPECT_EQ(sim.child().exit_code(), 2);
    EXPECT_NE(sim.Output().find("ocelam-sim: "), std::string::npos) << sim.Output();
  }
}

}  // namespace
