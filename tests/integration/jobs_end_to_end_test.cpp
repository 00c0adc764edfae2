// Alarm jobs through the whole gateway: job files in; images, control,
// message and log files and finished job files out.
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::IniValue;
using jobs_world::JobsWorld;
using jobs_world::SimCamera;
using jobs_world::Stamps;
using testing_support::ReadFile;
using testing_support::WaitFor;

constexpr int kFps = 5;
constexpr const char* kTime = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ";

std::string CameraCounts(int p, int number, int files) {
  std::string n = std::to_string(files);
  return "\\[Camera" + std::to_string(p) + "\\]\nCameraScenario=" + std::to_string(number) +
         "\nTotalNbrOfFiles=" + n + "\nFileSuccess=" + n +
         "\nFileError=0\nCommandSuccess=0\nCommandError=0\n";
}

std::string MessageBlock(int p, int number, const std::string& ref, const std::string& first,
                         bool subject) {
  return "camera " + std::to_string(number) + " - " + ref + "\n" +
         (subject ? "[multimedia]\nsubject=Camera\n" : "") + "[camera" + std::to_string(p) +
         "]\nImageCount=15\nfile1=" + first + "\n";
}

// "PreRecordTime" 5, "Duration" 10, "Interval" 1: five images from 5, 4, 3,
// 2 and 1 seconds before the job was read, then ten live ones a second
// apart. A camera streaming only on demand gives fifteen live images.
TEST(JobsEndToEnd, PreRecordedAndLiveImagesOfPermanentAndOnDemandCameras) {
  std::string cam = "fps=" + std::to_string(kFps) + ",size=20000";
  JobsWorld world({"--camera", "id=1," + cam, "--camera", "id=2," + cam},
                  {{1, "Entrance", 1, true}, {2, "Hall", 2, false}});
  ASSERT_TRUE(world.Started());
  // Enough stream for five seconds back, and a settled average frame rate.
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 10 * kFps; }, 90));
  std::string keys = "Duration=10\r\nInterval=1\r\nPreRecordTime=5\r\n";
  long long dropped = world.Drop(
      "pre.job", "[Alarm]\r\nAlarmRef=P1\r\nNumberOfCams=2\r\n[Camera1]\r\nCameraScenario=1\r\n" +
                     keys + "[Camera2]\r\nCameraScenario=2\r\nType=1\r\n" + keys);
  ASSERT_TRUE(world.WaitFinished("pre.job", 120)) << world.Output();
  EXPECT_NE(world.Finished("pre.job", "done"), "");

  std::vector<std::string> names;
  std::vector<sim_test::Stamp> s = Stamps(world.Data("log/multimedia/Entrance/P1"), &names);
  ASSERT_EQ(names.size(), 15u);
  EXPECT_EQ(names[14], "Entrance_P1_00014.jpg");
  for (const sim_test::Stamp& stamp : s) ASSERT_EQ(stamp.camera, 1);
  // Image 5 is the newest when the job was read; 0 to 4 lie 5 to 1 s before it.
  for (int i = 0; i < 5; ++i) {
    long long back = static_cast<long long>(s[5].seq - s[i].seq);
    EXPECT_LE(std::llabs(back - kFps * (5 - i)), 2) << i << ": " << back << " frames back";
    EXPECT_LT(s[i].time_us, dropped);
  }
  for (int i = 6; i < 15; ++i) {
    EXPECT_GE(s[i].seq - s[i - 1].seq, kFps - 1u) << i;
    EXPECT_LE(s[i].seq - s[i - 1].seq, kFps + 2u) << i;
    EXPECT_GT(s[i].time_us, dropped);
  }

  s = Stamps(world.Data("log/multimedia/Hall/P1"), &names);
  ASSERT_EQ(names.size(), 15u);
  for (int i = 0; i < 15; ++i) {
    ASSERT_EQ(s[i].camera, 2);
    EXPECT_GT(s[i].time_us, dropped) << "image " << i << " is live";
    if (i > 0) {
      EXPECT_GE(s[i].seq - s[i - 1].seq, kFps - 1u) << i;
    }
  }
  std::string output = world.Output();
  EXPECT_TRUE(
      std::regex_search(output, std::regex("Job 0: Camera \\(2\\): the permanent recording is not "
                                           "active! Unable to get pre-recorded images")));
  EXPECT_EQ(output.find("Camera (1): the permanent"), std::string::npos);
  EXPECT_NE(output.find("Job 0: wait on 2 threads"), std::string::npos);

  // Both cameras' counts, the empty sequence section, one line per camera.
  std::string log = ReadFile(world.Data("log/P1_multimedia.log"));
  std::string line1 = std::string(kTime) + "camera 1: first image saved\n";
  std::string line2 = std::string(kTime) + "camera 2: first image saved\n";
  EXPECT_TRUE(std::regex_match(
      log,
      std::regex("\\[Alarm\\]\nNumberOfCams=2\n" + CameraCounts(1, 1, 15) + CameraCounts(2, 2, 15) +
                 "\\[MultimediaSequence\\]\n(" + line1 + line2 + "|" + line2 + line1 + ")")))
      << log;
  // Per camera its line and section, in the order of the first images.
  std::string entrance = world.Data("log/multimedia/Entrance/P1/Entrance_P1_00000.jpg");
  std::string hall = world.Data("log/multimedia/Hall/P1/Hall_P1_00000.jpg");
  std::string message = ReadFile(world.Data("log/P1.msg"));
  EXPECT_TRUE(message == MessageBlock(1, 1, "Entrance", entrance, true) +
                             MessageBlock(2, 2, "Hall", hall, false) ||
              message == MessageBlock(2, 2, "Hall", hall, true) +
                             MessageBlock(1, 1, "Entrance", entrance, false))
      << message;
  // A start and a stop control file per camera.
  std::vector<std::string> control = world.Names("stream");
  ASSERT_EQ(control.size(), 4u);
  int starts = 0;
  for (const std::string& c : control)
    starts += IniValue(world.Data("stream/" + c), "Stream", "Action") == "Start";
  EXPECT_EQ(starts, 2);
}

// Twenty jobs at once on five cameras: all finish, every image is counted,
// no job file is lost.
TEST(JobsEndToEnd, TwentyJobsOnFiveCamerasAllFinish) {
  std::vector<SimCamera> cameras;
  for (int c = 1; c <= 5; ++c) cameras.push_back({c, "Cam" + std::to_string(c), c});
  JobsWorld world({"--cameras", "count=5,fps=10,size=20000"}, cameras);
  ASSERT_TRUE(world.Started());
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(5, "frames") >= 30; }, 90));
  auto cameras_of = [](int k) {
    return k % 2 ? std::vector<int>{k % 5 + 1, (k + 2) % 5 + 1} : std::vector<int>{k % 5 + 1};
  };
  for (int k = 10; k < 30; ++k) {
    std::vector<int> list = cameras_of(k);
    std::string job = "[Alarm]\nAlarmRef=T" + std::to_string(k) +
                      "\nNumberOfCams=" + std::to_string(list.size()) + "\n";
    for (std::size_t p = 0; p < list.size(); ++p)
      job += "[Camera" + std::to_string(p + 1) + "]\nCameraScenario=" + std::to_string(list[p]) +
             "\nDuration=2\nInterval=0.5\nPreRecordTime=1\n";
    world.Drop("job" + std::to_string(k) + ".job", job);
  }
  for (int k = 10; k < 30; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(world.WaitFinished("job" + std::to_string(k) + ".job", 180)) << world.Output();
    std::string log = world.Data("log/T" + std::to_string(k) + "_multimedia.log");
    std::vector<int> list = cameras_of(k);
    bool failed = false;
    for (std::size_t p = 0; p < list.size(); ++p) {
      std::string section = "Camera" + std::to_string(p + 1);
      int success = std::stoi(IniValue(log, section, "FileSuccess")),
          error = std::stoi(IniValue(log, section, "FileError"));
      EXPECT_EQ(std::stoi(IniValue(log, section, "TotalNbrOfFiles")), success + error);
      EXPECT_EQ(success + error, 6);  // (2 + 1) / 0.5
      std::vector<std::string> names;
      Stamps(world.Data("log/multimedia/Cam" + std::to_string(list[p]) + "/T" + std::to_string(k)),
             &names);
      EXPECT_EQ(static_cast<int>(names.size()), success);
      failed |= error > 0;
    }
    EXPECT_NE(world.Finished("job" + std::to_string(k) + ".job", failed ? "error" : "done"), "");
  }
  EXPECT_EQ(world.Names("done").size() + world.Names("error").size(), 20u);
  EXPECT_EQ(world.Names("watch"), std::vector<std::string>{"processing"});
  EXPECT_TRUE(world.Names("watch/processing").empty());
}

}  // namespace
