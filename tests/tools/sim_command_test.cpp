// Camera command endpoints of the device simulator: requests as the
// gateway sends them (HTTP text and one NUL byte, one per connection) on
// the camera's stream port, recorded byte for byte and answered per path.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/sim_client.h"

namespace {

using sim_test::RawConnection;
using sim_test::RecordedRequest;
using sim_test::SimProcess;
using testing_support::WaitFor;

const std::string kNul(1, '\0');

int StatusOf(const std::string& reply) {
  int status = -1;
  std::sscanf(reply.c_str(), "HTTP/%*d.%*d %d", &status);
  return status;
}

std::string BodyOf(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

// Sends `request` on a fresh connection and reads the reply to its close.
std::string Exchange(int port, const std::string& request) {
  RawConnection c(port);
  std::string reply;
  if (!c.Send(request) || !c.ReadToClose(&reply)) return "no reply";
  return reply;
}

TEST(SimCommand, RequestsAreRecordedExactlyAndAnsweredByTheirRoute) {
  testing_support::TempDir dir;
  const std::string log = dir / "requests.log";
  SimProcess sim({"--camera", "id=3,fps=20", "--request-log", log, "--route",
                  "camera=3,path=/command/io.cgi,body=\"IO done\\r\\n\"", "--route",
                  "camera=3,path=/command/preset.cgi?PresetCall=2,status=204,body=", "--route",
                  "camera=3,path=/command/preset.cgi,status=302", "--route",
                  "camera=all,path=*,status=500,body=nope"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const int port = sim.port(3);

  struct Row {
    const char* what;
    std::vector<std::string> pieces;  // sent one after the other, 50 ms apart
    int status;
    std::string body;
  };
  const Row rows[] = {
      {"command with its NUL",
       {"GET /command/io.cgi?pin=1&status=on HTTP/1.0\r\nHost: cam\r\n\r\n" + kNul},
       200,
       "IO done\r\n"},
      {"exact target before its path",
       {"GET /command/preset.cgi?PresetCall=2 HTTP/1.0\r\n\r\n" + kNul},
       204,
       ""},
      {"same path, other query",
       {"GET /command/preset.cgi?PresetCall=3 HTTP/1.0\r\n\r\n" + kNul},
       302,
       "302 Found\r\n"},
      {"body before the NUL",
       {"POST /command/io.cgi HTTP/1.0\r\nContent-Length: 5\r\n\r\npin=1" + kNul},
       200,
       "IO done\r\n"},
      {"NUL in a later segment",
       {"GET /command/io.cgi HTTP/1.0\r\n\r\n", kNul},
       200,
       "IO done\r\n"},
      {"no blank line before the NUL",
       {"GET /command/io.cgi HTTP/1.0\r\n" + kNul},
       200,
       "IO done\r\n"},
      {"any other path", {"GET /axis-cgi/io/port.cgi HTTP/1.0\r\n\r\n" + kNul}, 500, "nope"},
      {"an empty template sends only the NUL", {kNul}, 400, "400 Bad Request\r\n"},
  };
  std::vector<std::int64_t> sent_at;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sent_at.push_back(sim_test::RealtimeUs());
    RawConnection c(port);
    for (std::size_t i = 0; i < row.pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_TRUE(c.Send(row.pieces[i]));
    }
    std::string reply;
    ASSERT_TRUE(c.ReadToClose(&reply));
    EXPECT_EQ(StatusOf(reply), row.status) << reply;
    EXPECT_EQ(BodyOf(reply), row.body);
  }
  const std::int64_t done = sim_test::RealtimeUs();

  // The stream still answers on the same port.
  sim_test::HttpStream stream(port, "/mjpg");
  ASSERT_EQ(stream.ReadHead(), 200);
  sim_test::HttpStream::Part part;
  ASSERT_TRUE(stream.NextPart(&part));

  std::vector<RecordedRequest> got = sim.AwaitRequests("camera", 3, std::size(rows) + 1);
  ASSERT_EQ(got.size(), std::size(rows) + 1);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].what);
    std::string whole;
    for (const std::string& p : rows[i].pieces) whole += p;
    EXPECT_EQ(got[i].bytes, whole);
    EXPECT_EQ(got[i].action, "reply:" + std::to_string(rows[i].status));
    EXPECT_EQ(got[i].number, i + 1);
    EXPECT_EQ(got[i].connection, i + 1);
    EXPECT_GE(got[i].time_us, sent_at[i]);
    EXPECT_LE(got[i].time_us, done);
  }
  EXPECT_EQ(got.back().action, "stream");
  EXPECT_EQ(got.back().bytes.rfind("GET /mjpg HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(sim.Requests("camera", 3, 9).size(), 1u);

  // The file holds the same lines as the control port.
  std::string listed = sim.Control("requests camera 3");
  const std::size_t ok = listed.rfind("ok next=10\n");
  ASSERT_NE(ok, std::string::npos) << listed;
  listed.erase(ok);
  EXPECT_EQ(testing_support::ReadFile(log), listed);
  EXPECT_EQ(sim.Stat(3, "commands"), 7);
  EXPECT_EQ(sim.Stat(3, "streams"), 1);
}

TEST(SimCommand, SilentClosedResetDelayedAndSplitAnswers) {
  SimProcess sim({"--camera", "id=1", "--route", "camera=1,path=/hang,mode=silent", "--route",
                  "camera=1,path=/close,mode=close", "--route", "camera=1,path=/reset,mode=reset",
                  "--route", "camera=1,path=/slow,delay=700", "--route",
                  "camera=1,path=/split,split=12:800,body=abcdef"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const int port = sim.port(1);
  auto request = [](const std::string& path) { return "GET " + path + " HTTP/1.0\r\n\r\n" + kNul; };
  std::string got;
  {
    SCOPED_TRACE("silent: no answer, connection kept");
    RawConnection c(port);
    ASSERT_TRUE(c.Send(request("/hang")));
    EXPECT_EQ(c.Receive(&got, 1.0), RawConnection::Read::kTimeout);
    EXPECT_EQ(sim.Stat(1, "open"), 1);
  }
  EXPECT_TRUE(WaitFor([&] { return sim.Stat(1, "open") == 0; }));
  {
    SCOPED_TRACE("closed without a byte");
    RawConnection c(port);
    ASSERT_TRUE(c.Send(request("/close")));
    EXPECT_EQ(c.Receive(&got), RawConnection::Read::kClosed);
  }
  {
    SCOPED_TRACE("reset without a byte");
    RawConnection c(port);
    ASSERT_TRUE(c.Send(request("/reset")));
    EXPECT_EQ(c.Receive(&got), RawConnection::Read::kReset);
  }
  {
    SCOPED_TRACE("delayed answer");
    RawConnection c(port);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.Send(request("/slow")));
    ASSERT_TRUE(c.ReadToClose(&got));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(690));
    EXPECT_EQ(StatusOf(got), 200);
  }
  {
    SCOPED_TRACE("answer in two segments");
    RawConnection c(port);
    ASSERT_TRUE(c.Send(request("/split")));
    std::string first, rest;
    ASSERT_EQ(c.Receive(&first), RawConnection::Read::kData);
    EXPECT_EQ(first, "HTTP/1.0 200");
    ASSERT_TRUE(c.ReadToClose(&rest));
    EXPECT_EQ(BodyOf(first + rest), "abcdef");
  }
  std::vector<RecordedRequest> recorded = sim.Requests("camera", 1);
  std::vector<std::string> actions;
  for (const RecordedRequest& r : recorded) actions.push_back(r.action);
  EXPECT_EQ(actions,
            (std::vector<std::string>{"silent", "close", "reset", "reply:200", "reply:200"}));
  EXPECT_EQ(sim.Stat(1, "silent"), 1);
  EXPECT_EQ(sim.Stat(1, "unanswered"), 2);
}

TEST(SimCommand, RecordingHandlesCountUpAndRoutesChangeAtRunTime) {
  SimProcess sim({"--camera", "id=1", "--route",
                  "camera=1,path=/rec/start,body=\"<rec handle=\\\"{n}\\\"/>\",counter=41"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const int port = sim.port(1);
  const std::string start = "GET /rec/start?cam=2 HTTP/1.0\r\n\r\n" + kNul;
  EXPECT_EQ(BodyOf(Exchange(port, start)), "<rec handle=\"41\"/>");
  EXPECT_EQ(BodyOf(Exchange(port, start)), "<rec handle=\"42\"/>");

  EXPECT_EQ(sim.Control("route 1 path=/rec/start body=\"recording {n}, handle {n}\" counter=7"),
            "ok\n");
  EXPECT_EQ(BodyOf(Exchange(port, start)), "recording 7, handle 7");
  // A raw answer goes out as it is: here a lone status line.
  EXPECT_EQ(sim.Control("route camera 1 path=/rec/stop mode=raw body=HTTP/1.0\\ 401\\ No\\r\\n"),
            "ok\n");
  EXPECT_EQ(Exchange(port, "GET /rec/stop HTTP/1.0\r\n\r\n" + kNul), "HTTP/1.0 401 No\r\n");
  std::string routes = sim.Control("routes 1");
  EXPECT_NE(routes.find("route camera 1 path=/rec/start status=200 mode=reply"), std::string::npos)
      << routes;
  EXPECT_NE(routes.find("path=/rec/stop status=200 mode=raw"), std::string::npos) << routes;

  // A forced status still wins over every route.
  ASSERT_EQ(sim.Control("set 1 status=503"), "ok\n");
  EXPECT_EQ(StatusOf(Exchange(port, start)), 503);
  ASSERT_EQ(sim.Control("clear 1"), "ok\n");
  ASSERT_EQ(sim.Control("unroute 1 /rec/start"), "ok\n");
  EXPECT_EQ(StatusOf(Exchange(port, start)), 404);

  for (const char* refused :
       {"route 1 status=200", "route 1 path=rec", "route 1 path=/a mode=loud",
        "route 1 path=/a body=\"open", "route 1 path=/a body=\\q", "unroute 1 /none",
        "route videoserver 1 path=/a", "send 1 text", "requests 1 0"}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(sim.Control(refused).rfind("error ", 0), 0u);
  }
}

}  // namespace
