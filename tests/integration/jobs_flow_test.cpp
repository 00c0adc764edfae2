// How job files travel through the gateway's directories, and the status
// port that follows them.
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::JobsWorld;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;

constexpr const char* kUnknownCameras =
    "[Alarm]\nAlarmRef=U1\nNumberOfCams=3\n[Camera1]\nCameraScenario=-1\n"
    "[Camera2]\nCameraScenario=200\n[Camera3]\nCameraScenario=150\n";

// Seconds of the day of each interface log line holding `text`.
std::vector<int> LineTimes(const std::string& log, const std::string& text) {
  std::vector<int> times;
  std::size_t at = 0;
  while ((at = log.find(text, at)) != std::string::npos) {
    std::size_t start = log.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    int day = 0, month = 0, h = 0, m = 0, s = 0;
    if (std::sscanf(log.c_str() + start, "%d.%d %d:%d:%d", &day, &month, &h, &m, &s) == 5)
      times.push_back(h * 3600 + m * 60 + s);
    at += text.size();
  }
  return times;
}

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

// Jobs dropped or written in place are found by the change notification
// alone (the rescan time-out is long). Without moving, job files stay in
// processing: a new one once run, and one a crash left there.
TEST(JobsFlow, DroppedOrWrittenInPlaceJobsEndDoneAndACrashLeftOneEndsInError) {
  struct Case {
    const char* move;
    bool filed;  // moved to "error" with the warning, or left alone
  };
  for (const Case& c : {Case{"1", true}, Case{"0", false}}) {
    SCOPED_TRACE(c.move);
    JobsWorld world({}, {}, std::string("WatchTimeout=600\nMoveJobToDoneOrErrorPath=") + c.move);
    ASSERT_TRUE(world.Started());
    if (c.filed) {
      world.Drop("moved.job", kUnknownCameras);
      ASSERT_TRUE(world.WaitFinished("moved.job", 60));
      EXPECT_EQ(ReadFile(world.Finished("moved.job", "done")), kUnknownCameras);
      for (const char* line :
           {"Job 0: wait on 0 threads", "Job 0: ERROR: Camera (-1) unknown",
            "Job 0: ERROR: Camera (200) unknown",
            "Job 0: Camera 150 is not active anymore - please check your configuration",
            "** free_alarm ** job 0 freed"})
        EXPECT_NE(world.InterfaceLog().find(line), std::string::npos) << line;

      // Written in place: seen when the writer closes it.
      testing_support::WriteFile(world.Data("watch/inplace.job"), kUnknownCameras);
      ASSERT_TRUE(world.WaitFinished("inplace.job", 60));
      EXPECT_EQ(ReadFile(world.Finished("inplace.job", "done")), kUnknownCameras);
    }
    mkdir(world.Data("watch/processing").c_str(), 0755);
    testing_support::WriteFile(world.Data("watch/processing/cut.job"), kUnknownCameras);
    world.Restart();
    ASSERT_TRUE(world.Started());
    // The first scan follows the look into processing: once a job dropped
    // now has run, the left file has been dealt with.
    world.Drop("after.job", kUnknownCameras);
    auto freed = [&] {
      return world.InterfaceLog().find("** free_alarm ** job 0 freed") != std::string::npos;
    };
    ASSERT_TRUE(c.filed ? world.WaitFinished("after.job", 60) : WaitFor(freed, 60))
        << world.Output();
    const std::string warning =
        "WARNING: job file " + world.Data("watch/processing/cut.job") +
        " was left in processing by an earlier run that ended during its job: moved to "
        "ErrorPath (its images would now be of the wrong time)";
    EXPECT_EQ(testing_support::CountOf(world.Console(), warning) +
                  testing_support::CountOf(world.InterfaceLog(), warning),
              c.filed ? 2u : 0u)
        << world.Output();
    std::string filed = world.Finished("cut.job", "error");
    EXPECT_EQ(filed != "", c.filed);
    EXPECT_EQ(FileExists(world.Data("watch/processing/cut.job")), !c.filed);
    EXPECT_EQ(ReadFile(c.filed ? filed : world.Data("watch/processing/cut.job")), kUnknownCameras);
    EXPECT_EQ(world.Finished("cut.job", "done"), "");
    EXPECT_EQ(world.Finished("after.job", "done") != "", c.filed);
    EXPECT_EQ(FileExists(world.Data("watch/processing/after.job")), !c.filed);
  }
}

// With one job at a time the second job waits (the watcher sleeps 10 s
// after each warning). The status port's metrics follow the stream and the
// jobs, and its health check turns when the permanent camera falls silent.
TEST(JobsFlow, MaxJobsRunnigOneKeepsTheSecondJobWaitingAndTheStatusPortFollows) {
  const int port = testing_support::FreeLoopbackPort();
  JobsWorld world({"--camera", "id=1,fps=10,size=5000"}, {{1, "Entrance", 1, true}},
                  "MaxJobsRunnig=1\nStatusPort=" + std::to_string(port));
  ASSERT_TRUE(world.Started());
  const std::string frames = "ocelam_camera_frames_total{camera=\"1\",ref=\"Entrance\"}";
  std::string body;
  ASSERT_TRUE(
      WaitFor([&] { return Get(port, "/metrics", &body) == 200 && Sample(body, frames) > 5; }, 60))
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

  // Two images six seconds apart keep the first job running for 12 s.
  world.Drop("first.job",
             "[Alarm]\nAlarmRef=F1\n[Camera1]\nCameraScenario=1\nDuration=12\nInterval=6\n");
  ASSERT_TRUE(WaitFor([&] { return FileExists(world.Data("watch/processing/first.job")); }, 30));
  world.Drop("second.job", kUnknownCameras);
  const std::string warning = "WARNING: already 1 jobs runnning - max is 1";
  ASSERT_TRUE(WaitFor([&] { return LineTimes(world.InterfaceLog(), warning).size() >= 2; }, 60))
      << world.InterfaceLog();
  EXPECT_TRUE(FileExists(world.Data("watch/second.job")));
  ASSERT_TRUE(world.WaitFinished("first.job", 60)) << world.Output();
  ASSERT_TRUE(world.WaitFinished("second.job", 60)) << world.Output();
  std::vector<int> times = LineTimes(world.InterfaceLog(), warning);
  for (std::size_t i = 1; i < times.size(); ++i) {
    int gap = (times[i] - times[i - 1] + 86400) % 86400;
    EXPECT_TRUE(gap >= 9 && gap <= 12) << i << ": " << gap;
  }
  EXPECT_EQ(world.Names("done").size(), 2u);
  ASSERT_EQ(Get(port, "/metrics", &body), 200);
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"done\"}"), 2) << body;
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
