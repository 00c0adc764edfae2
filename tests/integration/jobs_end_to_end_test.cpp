// Alarm jobs through the whole gateway: job files in, images, control,
// message and log files and finished job files out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "jobs_world.h"

namespace {

using jobs_world::CameraSpec;
using jobs_world::IniValue;
using jobs_world::JobsWorld;
using jobs_world::Stamps;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;

constexpr int kFps = 5;
constexpr const char* kTimeLine = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ";

std::string CameraSection(int p, int number, int files) {
  std::string n = std::to_string(files);
  return "\\[Camera" + std::to_string(p) + "\\]\nCameraScenario=" + std::to_string(number) +
         "\nTotalNbrOfFiles=" + n + "\nFileSuccess=" + n +
         "\nFileError=0\nCommandSuccess=0\nCommandError=0\n";
}

// PreRecordTime 5, Duration 10, Interval 1: five pre-recorded images from 5,
// 4, 3, 2 and 1 seconds before the job was read, then ten live images one
// second apart; a camera that streams only on demand has no pre-record and
// gives fifteen live images.
TEST(JobsEndToEnd, PreRecordedAndLiveImagesOfPermanentAndOnDemandCameras) {
  std::string cam = "fps=" + std::to_string(kFps) + ",size=20000";
  JobsWorld world({"--camera", "id=1," + cam, "--camera", "id=2," + cam},
                  {{1, "Entrance", 1, true}, {2, "Hall", 2, false}});
  ASSERT_TRUE(world.Started()) << world.Output();
  // Ten seconds of stream: the pre-record reaches five seconds back, and the
  // average frame rate that turns seconds into images has settled.
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 10 * kFps; }, 90));

  long long dropped = world.Drop(
      "pre.job",
      "[Alarm]\r\nAlarmRef=P1\r\nNumberOfCams=2\r\n"
      "[Camera1]\r\nCameraScenario=1\r\nType=0\r\nDuration=10\r\nInterval=1\r\nPreRecordTime=5\r\n"
      "[Camera2]\r\nCameraScenario=2\r\nType=1\r\nDuration=10\r\nInterval=1\r\nPreRecordTime=5\r\n");
  ASSERT_TRUE(world.WaitFinished("pre.job", 120)) << world.Output();
  EXPECT_NE(world.Finished("pre.job", "done"), "");

  std::vector<std::string> names;
  std::vector<sim_test::Stamp> permanent = Stamps(world.Data("log/multimedia/Entrance/P1"), &names);
  ASSERT_EQ(permanent.size(), 15u);
  for (int i = 0; i < 15; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Entrance_P1_%05d.jpg", i);
    EXPECT_EQ(names[i], name);
    ASSERT_EQ(permanent[i].camera, 1) << names[i];
  }
  // The sixth image is the newest when the job was read; the first five lie
  // 5, 4, 3, 2 and 1 seconds before it, within two frames.
  const long long at_read = static_cast<long long>(permanent[5].seq);
  for (int i = 0; i < 5; ++i) {
    long long back = at_read - static_cast<long long>(permanent[i].seq);
    EXPECT_LE(std::llabs(back - kFps * (5 - i)), 2) << "image " << i << " is " << back << " frames back";
    EXPECT_LT(permanent[i].time_us, dropped) << i;
  }
  // Then one image a second.
  for (int i = 6; i < 15; ++i) {
    long long step = static_cast<long long>(permanent[i].seq - permanent[i - 1].seq);
    EXPECT_GE(step, kFps - 1) << i;
    EXPECT_LE(step, kFps + 2) << i;
    EXPECT_GT(permanent[i].time_us, dropped) << i;
  }
  long long live_span = static_cast<long long>(permanent[14].seq - permanent[5].seq);
  EXPECT_GE(live_span, 9 * kFps - 2);
  EXPECT_LE(live_span, 9 * kFps + 6);

  std::vector<sim_test::Stamp> on_demand = Stamps(world.Data("log/multimedia/Hall/P1"), &names);
  ASSERT_EQ(on_demand.size(), 15u);
  EXPECT_EQ(names.back(), "Hall_P1_00014.jpg");
  for (int i = 0; i < 15; ++i) {
    ASSERT_EQ(on_demand[i].camera, 2);
    EXPECT_GT(on_demand[i].time_us, dropped) << "image " << i << " must be live";
    if (i > 0) {
      long long step = static_cast<long long>(on_demand[i].seq - on_demand[i - 1].seq);
      EXPECT_GE(step, kFps - 1) << i;
      EXPECT_LE(step, kFps + 2) << i;
    }
  }
  std::regex warning("Job [0-9]+: Camera \\(2\\): the permanent recording is not active! Unable to get "
                     "pre-recorded images");
  EXPECT_TRUE(std::regex_search(world.Output(), warning)) << world.Output();
  EXPECT_FALSE(std::regex_search(world.Output(), std::regex("Camera \\(1\\): the permanent")));

  // The multimedia log: counts of both cameras, the empty sequence section
  // and one plain line per camera.
  std::string log = ReadFile(world.Data("log/P1_multimedia.log"));
  std::string counts = "\\[Alarm\\]\nNumberOfCams=2\n" + CameraSection(1, 1, 15) +
                       CameraSection(2, 2, 15) + "\\[MultimediaSequence\\]\n";
  std::string line1 = std::string(kTimeLine) + "camera 1: first image saved\n";
  std::string line2 = std::string(kTimeLine) + "camera 2: first image saved\n";
  EXPECT_TRUE(std::regex_match(log, std::regex(counts + "(" + line1 + line2 + "|" + line2 + line1 + ")")))
      << log;

  // The message file: per camera its line and its section, in the order the
  // cameras had their first image.
  std::string entrance = world.Data("log/multimedia/Entrance/P1/Entrance_P1_00000.jpg");
  std::string hall = world.Data("log/multimedia/Hall/P1/Hall_P1_00000.jpg");
  std::string first = "camera 1 - Entrance\n[multimedia]\nsubject=Camera\n[camera1]\nImageCount=15\nfile1=" +
                      entrance + "\ncamera 2 - Hall\n[camera2]\nImageCount=15\nfile1=" + hall + "\n";
  std::string second = "camera 2 - Hall\n[multimedia]\nsubject=Camera\n[camera2]\nImageCount=15\nfile1=" +
                       hall + "\ncamera 1 - Entrance\n[camera1]\nImageCount=15\nfile1=" + entrance + "\n";
  std::string message = ReadFile(world.Data("log/P1.msg"));
  EXPECT_TRUE(message == first || message == second) << message;

  // Start and stop for each camera, all complete.
  std::vector<std::string> control = world.Names("stream");
  ASSERT_EQ(control.size(), 4u);
  int starts = 0;
  for (const std::string& c : control) {
    EXPECT_TRUE(std::regex_match(c, std::regex("[0-9a-f]+_[0-9]+\\.job"))) << c;
    starts += IniValue(world.Data("stream/" + c), "Stream", "Action") == "Start";
  }
  EXPECT_EQ(starts, 2);
  EXPECT_TRUE(std::regex_search(world.InterfaceLog(), std::regex("Job [0-9]+: wait on 2 threads")));
}

// Many jobs at once on few cameras: every job finishes, every image is
// counted, no job file is lost.
TEST(JobsEndToEnd, TwentyJobsOnFiveCamerasAllFinish) {
  std::vector<CameraSpec> cameras;
  for (int c = 1; c <= 5; ++c) cameras.push_back({c, "Cam" + std::to_string(c), c, true});
  JobsWorld world({"--cameras", "count=5,fps=10,size=20000"}, cameras);
  ASSERT_TRUE(world.Started()) << world.Output();
  ASSERT_TRUE(WaitFor([&] {
    for (int c = 1; c <= 5; ++c)
      if (world.sim().Stat(c, "frames") < 30) return false;
    return true;
  }, 90));

  constexpr int kJobs = 20;
  auto alarm = [](int k) { return "T" + std::to_string(100 + k); };
  auto cameras_of = [](int k) {
    std::vector<int> list = {k % 5 + 1};
    if (k % 2) list.push_back((k + 2) % 5 + 1);
    return list;
  };
  for (int k = 0; k < kJobs; ++k) {
    std::vector<int> list = cameras_of(k);
    std::string job = "[Alarm]\nAlarmRef=" + alarm(k) + "\nNumberOfCams=" + std::to_string(list.size()) + "\n";
    for (std::size_t p = 0; p < list.size(); ++p)
      job += "[Camera" + std::to_string(p + 1) + "]\nCameraScenario=" + std::to_string(list[p]) +
             "\nDuration=2\nInterval=0.5\nPreRecordTime=1\n";
    world.Drop("job" + std::to_string(100 + k) + ".job", job);
  }
  for (int k = 0; k < kJobs; ++k)
    ASSERT_TRUE(world.WaitFinished("job" + std::to_string(100 + k) + ".job", 180)) << k << world.Output();

  EXPECT_EQ(world.Names("done").size() + world.Names("error").size(), static_cast<std::size_t>(kJobs));
  EXPECT_EQ(world.Names("watch"), std::vector<std::string>{"processing"});
  EXPECT_TRUE(world.Names("watch/processing").empty());
  for (int k = 0; k < kJobs; ++k) {
    SCOPED_TRACE(alarm(k));
    std::string log = world.Data("log/" + alarm(k) + "_multimedia.log");
    std::vector<int> list = cameras_of(k);
    EXPECT_EQ(IniValue(log, "Alarm", "NumberOfCams"), std::to_string(list.size()));
    bool failed = false;
    for (std::size_t p = 0; p < list.size(); ++p) {
      std::string section = "Camera" + std::to_string(p + 1);
      int success = std::atoi(IniValue(log, section, "FileSuccess").c_str());
      int error = std::atoi(IniValue(log, section, "FileError").c_str());
      EXPECT_EQ(std::atoi(IniValue(log, section, "TotalNbrOfFiles").c_str()), success + error);
      EXPECT_EQ(success + error, 6);  // (2 + 1) / 0.5
      failed |= error > 0;
      std::vector<std::string> names;
      Stamps(world.Data("log/multimedia/Cam" + std::to_string(list[p]) + "/" + alarm(k)), &names);
      EXPECT_EQ(static_cast<int>(names.size()), success);
    }
    EXPECT_NE(world.Finished("job" + std::to_string(100 + k) + ".job", failed ? "error" : "done"), "");
  }

  // A job of one camera leaves exactly this log and message.
  std::string log = ReadFile(world.Data("log/T100_multimedia.log"));
  EXPECT_TRUE(std::regex_match(log, std::regex("\\[Alarm\\]\nNumberOfCams=1\n" + CameraSection(1, 1, 6) +
                                               "\\[MultimediaSequence\\]\n" + kTimeLine +
                                               "camera 1: first image saved\n")))
      << log;
  EXPECT_EQ(ReadFile(world.Data("log/T100.msg")),
            "camera 1 - Cam1\n[multimedia]\nsubject=Camera\n[camera1]\nImageCount=6\nfile1=" +
                world.Data("log/multimedia/Cam1/T100/Cam1_T100_00000.jpg") + "\n");
}

}  // namespace
