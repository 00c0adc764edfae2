// The status port of a whole gateway: its metrics follow the streams and the
// jobs, and its health check turns when a permanent camera falls silent.
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::JobsWorld;
using testing_support::WaitFor;

// One HTTP/1.0 request on loopback: the status code and the body ("" and 0
// when nothing answers).
int Get(int port, const std::string& path, std::string* body) {
  body->clear();
  int fd = sim_test::Connect(port);
  if (fd < 0) return 0;
  std::string reply;
  if (sim_test::SendText(fd, "GET " + path + " HTTP/1.0\r\n\r\n")) {
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  std::size_t end = reply.find("\r\n\r\n");
  if (reply.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return 0;
  *body = reply.substr(end + 4);
  return std::atoi(reply.c_str() + 9);
}

// The value of the sample `series` (name and labels) in a metrics text, or -1.
double Sample(const std::string& text, const std::string& series) {
  std::size_t at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + series.size() + 2);
}

TEST(StatusPort, MetricsFollowStreamAndJobsHealthTurnsWhenCameraDies) {
  int port = testing_support::FreeLoopbackPort();
  JobsWorld world({"--camera", "id=1,fps=10,size=5000"}, {{1, "Entrance", 1, true}},
                  "StatusPort=" + std::to_string(port));
  ASSERT_TRUE(world.Started());
  const std::string frames = "ocelam_camera_frames_total{camera=\"1\",ref=\"Entrance\"}";
  std::string body;
  ASSERT_TRUE(
      WaitFor([&] { return Get(port, "/metrics", &body) == 200 && Sample(body, frames) > 0; }, 60))
      << body << world.Output();
  double first = Sample(body, frames);
  ASSERT_TRUE(WaitFor(
      [&] { return Get(port, "/metrics", &body) == 200 && Sample(body, frames) > first; }, 60));
  EXPECT_GT(Sample(body, "ocelam_camera_received_bytes_total{camera=\"1\",ref=\"Entrance\"}"),
            first * 5000);
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"done\"}"), 0);
  EXPECT_NE(body.find("# TYPE ocelam_camera_frames_total counter\n"), std::string::npos) << body;
  EXPECT_EQ(Get(port, "/healthz", &body), 200);
  EXPECT_EQ(body, "ok\n");

  world.Drop("s.job",
             "[Alarm]\r\nAlarmRef=S1\r\nNumberOfCams=1\r\n[Camera1]\r\nCameraScenario=1\r\n"
             "Duration=2\r\nInterval=1\r\n");
  ASSERT_TRUE(world.WaitFinished("s.job", 120)) << world.Output();
  ASSERT_EQ(Get(port, "/metrics", &body), 200);
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"done\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"error\"}"), 0);
  EXPECT_GE(Sample(body, "ocelam_images_saved_total"), 2);

  // A camera without its watchdog is allowed 60 s without a frame.
  ASSERT_NE(world.sim().Control("set camera 1 dead=1").find("ok"), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return Get(port, "/healthz", &body) == 503; }, 150)) << body;
  EXPECT_NE(body.find("camera 1 (Entrance): no frame for"), std::string::npos) << body;
  ASSERT_EQ(Get(port, "/metrics", &body), 200);
  EXPECT_GT(Sample(body, "ocelam_camera_reconnects_total{camera=\"1\",ref=\"Entrance\"}"), 0)
      << body;
  EXPECT_EQ(Sample(body, "ocelam_camera_streaming{camera=\"1\",ref=\"Entrance\"}"), 0);
  EXPECT_TRUE(world.Running());
}

}  // namespace
