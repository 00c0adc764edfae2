// How job files travel through the gateway's directories, and the status
// port that follows them.
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::JobsWorld;
using sim_test::HttpGet;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;

constexpr const char* kUnknownCameras =
    "[Alarm]\nAlarmRef=U1\nNumberOfCams=3\n[Camera1]\nCameraScenario=-1\n"
    "[Camera2]\nCameraScenario=200\n[Camera3]\nCameraScenario=150\n";

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

// With one job at a time the second job waits while the first runs. The
// status port's metrics follow the stream, the jobs and a camera that falls
// silent (when /healthz turns is tested in tests/status).
TEST(JobsFlow, MaxJobsRunnigOneKeepsTheSecondJobWaitingAndTheStatusPortFollows) {
  const int port = testing_support::FreeLoopbackPort();
  JobsWorld world({"--camera", "id=1,fps=10,size=5000"}, {{1, "Entrance", 1, true}},
                  "MaxJobsRunnig=1\nStatusPort=" + std::to_string(port));
  ASSERT_TRUE(world.Started());
  const std::string frames = "ocelam_camera_frames_total{camera=\"1\",ref=\"Entrance\"}";
  std::string body;
  ASSERT_TRUE(WaitFor(
      [&] { return HttpGet(port, "/metrics", &body) == 200 && Sample(body, frames) > 5; }, 60))
      << body << world.Output();
  double first = Sample(body, frames);
  ASSERT_TRUE(WaitFor(
      [&] { return HttpGet(port, "/metrics", &body) == 200 && Sample(body, frames) > first; }, 60));
  EXPECT_GT(Sample(body, "ocelam_camera_received_bytes_total{camera=\"1\",ref=\"Entrance\"}"),
            first * 5000);
  EXPECT_EQ(Sample(body, "ocelam_camera_streaming{camera=\"1\",ref=\"Entrance\"}"), 1);
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"done\"}"), 0);
  EXPECT_NE(body.find("# TYPE ocelam_camera_frames_total counter\n"), std::string::npos) << body;
  EXPECT_EQ(HttpGet(port, "/healthz", &body), 200);
  EXPECT_EQ(body, "ok\n");

  // The snapshot is the newest frame as the simulator sent it, taken within
  // the last second; a path that names no camera is refused.
  std::string head;
  ASSERT_EQ(HttpGet(port, "/cameras/1/snapshot.jpg?t=17", &body, &head), 200) << body;
  const long long asked_us = sim_test::RealtimeUs();
  sim_test::Stamp stamp;
  EXPECT_EQ(sim_test::StampOf(body, &stamp), "");
  EXPECT_EQ(stamp.camera, 1);
  EXPECT_EQ(body.size(), 5000u);
  EXPECT_LT(asked_us - stamp.time_us, 1000000);
  for (const char* line : {"Content-Type: image/jpeg\r\n", "Cache-Control: no-store\r\n"})
    EXPECT_NE(head.find(line), std::string::npos) << head;
  const std::pair<const char*, int> refused[] = {{"/cameras/01/snapshot.jpg", 400},
                                                 {"/cameras/../snapshot.jpg", 400},
                                                 {"/cameras/%31/snapshot.jpg", 200},
                                                 {"/cameras/2/snapshot.jpg", 404}};
  for (const auto& [path, code] : refused) EXPECT_EQ(HttpGet(port, path, &body), code) << path;

  // Two images three seconds apart keep the first job running for 6 s.
  world.Drop("first.job",
             "[Alarm]\nAlarmRef=F1\n[Camera1]\nCameraScenario=1\nDuration=6\nInterval=3\n");
  ASSERT_TRUE(WaitFor([&] { return FileExists(world.Data("watch/processing/first.job")); }, 30));
  world.Drop("second.job", kUnknownCameras);
  const std::string warning = "WARNING: already 1 jobs runnning - max is 1";
  ASSERT_TRUE(WaitFor([&] { return world.InterfaceLog().find(warning) != std::string::npos; }, 60))
      << world.InterfaceLog();
  EXPECT_TRUE(FileExists(world.Data("watch/second.job")));
  ASSERT_TRUE(world.WaitFinished("first.job", 60)) << world.Output();
  ASSERT_TRUE(world.WaitFinished("second.job", 60)) << world.Output();
  EXPECT_EQ(world.Names("done").size(), 2u);
  ASSERT_EQ(HttpGet(port, "/metrics", &body), 200);
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"done\"}"), 2) << body;
  EXPECT_EQ(Sample(body, "ocelam_jobs_total{outcome=\"error\"}"), 0);
  EXPECT_GE(Sample(body, "ocelam_images_saved_total"), 2);

  // A dead camera: its transfer ends and is made anew, in vain.
  ASSERT_NE(world.sim().Control("set camera 1 dead=1").find("ok"), std::string::npos);
  const std::string streaming = "ocelam_camera_streaming{camera=\"1\",ref=\"Entrance\"}";
  const std::string reconnects = "ocelam_camera_reconnects_total{camera=\"1\",ref=\"Entrance\"}";
  auto gone = [&] { return Sample(body, streaming) == 0 && Sample(body, reconnects) > 0; };
  EXPECT_TRUE(WaitFor([&] { return HttpGet(port, "/metrics", &body) == 200 && gone(); }, 120))
      << body;
  EXPECT_TRUE(world.Running());
}

}  // namespace
