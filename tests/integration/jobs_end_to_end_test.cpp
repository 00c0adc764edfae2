// Alarm jobs through the whole gateway: job files in, good or bad; images,
// control, message and log files and finished job files out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "support/jobs_world.h"

namespace {

using jobs_world::IniValue;
using jobs_world::JobsWorld;
using jobs_world::SimCamera;
using jobs_world::Stamps;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;

struct BadJob {
  const char* name;
  std::string content;
  const char* where;    // "done" or "error"
  const char* message;  // in the console or the interface log
};

std::string OneCamera(const std::string& reference, const std::string& camera_keys) {
  return "[Alarm]\nAlarmRef=" + reference + "\nNumberOfCams=1\n[Camera1]\nCameraScenario=1\n" +
         camera_keys;
}

constexpr int kFps = 5;
constexpr const char* kTime = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ";

std::string CameraCounts(int p, int number, int files) {
  std::string n = std::to_string(files);
  return "\\[Camera" + std::to_string(p) + "\\]\nCameraScenario=" + std::to_string(number) +
         "\nTotalNbrOfFiles=" + n + "\nFileSuccess=" + n +
         "\nFileError=0\nCommandSuccess=0\nCommandError=0\n";
}

std::string MessageBlock(int p, int number, const std::string& ref, int count,
                         const std::string& first, bool subject) {
  return "camera " + std::to_string(number) + " - " + ref + "\n" +
         (subject ? "[multimedia]\nsubject=Camera\n" : "") + "[camera" + std::to_string(p) +
         "]\nImageCount=" + std::to_string(count) + "\nfile1=" + first + "\n";
}

// "PreRecordTime" 5, "Duration" 10, "Interval" 1: five images from 5, 4, 3,
// 2 and 1 seconds before the job was read, then ten live ones a second
// apart. A camera streaming only on demand, with "PreRecordTime" 22 and
// "Duration" 2, streams long enough for all its 24 images, every one live.
// Then job files no alarm server should write: each ends in the done or
// error directory with a clear message, nothing is written outside the log
// directory, and the gateway goes on.
TEST(JobsEndToEnd, PreRecordedAndLiveImagesThenEveryBadJobFileEndsWithAMessage) {
  std::string cam = "fps=" + std::to_string(kFps) + ",size=20000";
  // Camera 3 never answers.
  JobsWorld world({"--camera", "id=1," + cam, "--camera", "id=2," + cam, "--camera", "id=3,dead=1"},
                  {{1, "Entrance", 1, true}, {2, "Hall", 2, false}, {3, "Dead", 3, true}});
  ASSERT_TRUE(world.Started());
  // Enough stream for five seconds back, and a settled average frame rate.
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 10 * kFps; }, 90));
  std::string keys = "Duration=10\r\nInterval=1\r\nPreRecordTime=5\r\n";
  long long dropped = world.Drop(
      "pre.job", "[Alarm]\r\nAlarmRef=P1\r\nNumberOfCams=2\r\n[Camera1]\r\nCameraScenario=1\r\n" +
                     keys + "[Camera2]\r\nCameraScenario=2\r\nType=1\r\n" +
                     "Duration=2\r\nInterval=1\r\nPreRecordTime=22\r\n");
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
  ASSERT_EQ(names.size(), 24u);
  for (int i = 0; i < 24; ++i) {
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
      std::regex("\\[Alarm\\]\nNumberOfCams=2\n" + CameraCounts(1, 1, 15) + CameraCounts(2, 2, 24) +
                 "\\[MultimediaSequence\\]\n(" + line1 + line2 + "|" + line2 + line1 + ")")))
      << log;
  // Per camera its line and section, in the order of the first images.
  std::string entrance = world.Data("log/multimedia/Entrance/P1/Entrance_P1_00000.jpg");
  std::string hall = world.Data("log/multimedia/Hall/P1/Hall_P1_00000.jpg");
  std::string message = ReadFile(world.Data("log/P1.msg"));
  EXPECT_TRUE(message == MessageBlock(1, 1, "Entrance", 15, entrance, true) +
                             MessageBlock(2, 2, "Hall", 24, hall, false) ||
              message == MessageBlock(2, 2, "Hall", 24, hall, true) +
                             MessageBlock(1, 1, "Entrance", 15, entrance, false))
      << message;
  // A start and a stop control file per camera.
  std::vector<std::string> control = world.Names("stream");
  ASSERT_EQ(control.size(), 4u);
  int starts = 0;
  for (const std::string& c : control)
    starts += IniValue(world.Data("stream/" + c), "Stream", "Action") == "Start";
  EXPECT_EQ(starts, 2);

  const BadJob jobs[] = {
      {"empty.job", "", "error", "empty.job has no AlarmRef"},
      {"cams_negative.job", "[Alarm]\nAlarmRef=N3\nNumberOfCams=-3\n", "error",
       "NumberOfCams of -3 is not allowed: no camera is run"},
      {"interval_abc.job", OneCamera("IA", "Duration=0\nInterval=abc\n"), "done",
       "Camera 1: Interval \"abc\" is not a number of seconds: set it to 1"},
      {"duration_huge.job", OneCamera("DH", "Duration=2147483648\n"), "error",
       "Camera 1: ERROR: Duration of 2147483647 seconds is not allowed (0 to 86400): the camera is "
       "not run"},
      {"commands_negative.job", OneCamera("CN", "Duration=0\nType=2\nNbrOfCommands=-1\n"), "done",
       "Camera 1: NbrOfCommands of -1 is not allowed: no command is run"},
      {"ref_dotdot.job", OneCamera("../../escape", "Duration=0\n"), "error",
       "AlarmRef '../../escape' holds a path separator or \"..\": the job is refused"},
      {"no_image.job", "[Alarm]\nAlarmRef=NI\n[Camera1]\nCameraScenario=3\nDuration=0\n", "done",
       "(Camera 3): ERROR: The connection to the camera is probably not active - or wrong "
       "configured (no "
       "valid JPEG image found)"},
  };
  for (const BadJob& job : jobs) world.Drop(job.name, job.content);

  // Entries by a job's name that are no job file: never opened, said once,
  // left or filed where nothing is lost.
  mkdir(world.Data("watch/dir.job").c_str(), 0755);
  ASSERT_EQ(mkfifo(world.Data("watch/fifo.job").c_str(), 0644), 0);
  std::filesystem::create_symlink(world.Data("../work/ocelam.ini"), world.Data("watch/link.job"));

  for (const BadJob& job : jobs) {
    SCOPED_TRACE(job.name);
    ASSERT_TRUE(world.WaitFinished(job.name, 120));
    EXPECT_NE(world.Finished(job.name, job.where), "");
    EXPECT_NE(world.Output().find(job.message), std::string::npos);
  }
  ASSERT_TRUE(world.WaitFinished("link.job", 60));
  EXPECT_NE(world.Finished("link.job", "error"), "");
  EXPECT_NE(world.Output().find("link.job is a symbolic link: the job is refused"),
            std::string::npos);
  for (const std::string name : {"dir.job", "fifo.job"}) {
    EXPECT_TRUE(std::filesystem::exists(world.Data("watch/" + name))) << name;
    EXPECT_EQ(testing_support::CountOf(world.InterfaceLog(),
                                       name + " in the watch directory is no regular file"),
              1u);
  }

  // Nothing of the refused references was written anywhere.
  for (const auto& e : std::filesystem::recursive_directory_iterator(world.Root())) {
    std::string name = e.path().filename().string();
    EXPECT_EQ(name.find("escape"), std::string::npos) << e.path();
  }

  // The gateway goes on with good jobs, in UTF-16 too as a Windows alarm
  // server may write them (the other encodings are the profile reader's).
  EXPECT_TRUE(world.Running());
  std::string le = "\xFF\xFE";
  for (char c : OneCamera("LE", "Duration=0\r\n")) le += std::string{c, '\0'};
  world.Drop("le.job", le);
  ASSERT_TRUE(world.WaitFinished("le.job", 60));
  EXPECT_NE(world.Finished("le.job", "done"), "");
  EXPECT_TRUE(FileExists(world.Data("log/multimedia/Entrance/LE/Entrance_LE_00000.jpg")));
  EXPECT_TRUE(world.Running());
}

// A camera at 10 fps pausing 1.9 s while images are taken 0.2 s apart, for
// an alarm sent twice (two job files, one AlarmRef, at once): every image
// file is one whole frame, no frame fills two images, each began within
// half a second of its moment, and the moments of the pause count as
// errors.
TEST(JobsEndToEnd, APauseRepeatsNoFrameAndAnAlarmSentTwiceLeavesWholeImages) {
  JobsWorld world({"--camera", "id=1,fps=10,size=20000"}, {{1, "Entrance", 1, true}});
  ASSERT_TRUE(world.Started());
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 30; }, 90));
  const std::string job = OneCamera("R1", "Duration=6\nInterval=0.2\n");
  const long long dropped = world.Drop("first.job", job);
  world.Drop("again.job", job);
  const std::string dir = world.Data("log/multimedia/Entrance/R1");
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir + "/Entrance_R1_00005.jpg"); }, 60));
  ASSERT_NE(world.sim().Control("set camera 1 stall=1900").find("ok"), std::string::npos);
  ASSERT_TRUE(world.WaitFinished("first.job") && world.WaitFinished("again.job"));

  std::vector<std::string> names;
  std::vector<sim_test::Stamp> s = Stamps(dir, &names);
  std::set<unsigned long long> frames;
  for (std::size_t k = 0; k < names.size(); ++k) {
    SCOPED_TRACE(names[k]);
    ASSERT_TRUE(std::regex_match(names[k], std::regex("Entrance_R1_000[0-2][0-9]\\.jpg")));
    ASSERT_EQ(s[k].camera, 1);  // one whole frame of the camera
    EXPECT_TRUE(frames.insert(s[k].seq).second) << "frame " << s[k].seq << " again";
    const int i = std::stoi(names[k].substr(names[k].size() - 9, 5));
    const long long from_moment = s[k].time_us - (dropped + i * 200000LL);
    EXPECT_GE(from_moment, -500000);
    EXPECT_LE(from_moment, 1000000);
  }
  const std::string log = ReadFile(world.Data("log/R1_multimedia.log"));
  for (const char* reason : {"(no new frame)\n", "(no valid image received)\n"})
    EXPECT_NE(log.find(reason), std::string::npos) << reason << log;
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
