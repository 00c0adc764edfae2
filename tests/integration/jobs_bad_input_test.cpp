// Job files no alarm server should write: each ends in the done or error
// directory with a clear message, nothing is written outside the log
// directory, and the gateway goes on.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "jobs_world.h"

namespace {

using jobs_world::JobsWorld;
using testing_support::FileExists;
using testing_support::WaitFor;

struct BadJob {
  const char* name;
  std::string content;
  const char* where;    // "done" or "error"
  const char* message;  // in the console or the interface log
};

std::string Garbage() {
  std::mt19937 rng(11);
  std::string s(50000, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 256);
  return s;
}

std::string OneCamera(const std::string& reference, const std::string& camera_keys) {
  return "[Alarm]\nAlarmRef=" + reference + "\nNumberOfCams=1\n[Camera1]\nCameraScenario=1\n" + camera_keys;
}

TEST(JobsBadInput, EveryBadJobFileEndsWithAMessage) {
  // Camera 2 never answers.
  JobsWorld world({"--camera", "id=1,fps=10,size=20000", "--camera", "id=2,dead=1"},
                  {{1, "Cam1", 1, true}, {2, "Dead", 2, true}});
  ASSERT_TRUE(world.Started());
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 10; }, 60));

  const BadJob jobs[] = {
      {"empty.job", "", "done", "holds no key of a job: it runs with the defaults"},
      {"garbage.job", Garbage(), "done", "holds no key of a job"},
      {"cams_negative.job", "[Alarm]\nAlarmRef=N3\nNumberOfCams=-3\n", "error",
       "NumberOfCams of -3 is not allowed: no camera is run"},
      {"cams_thousand.job", "[Alarm]\nAlarmRef=N1000\nNumberOfCams=1000\n", "done",
       "NumberOfCams of 1000 is more than 19: only the first 19 cameras are run"},
      {"interval_abc.job", OneCamera("IA", "Duration=0\nInterval=abc\n"), "done",
       "Camera 1: Interval \"abc\" is not a number of seconds: set it to 1"},
      {"interval_negative.job", OneCamera("IN", "Duration=0\nInterval=-1\n"), "done",
       "Camera 1: Interval of -1 seconds is not allowed"},
      {"duration_huge.job", OneCamera("DH", "Duration=2147483648\n"), "error",
       "Camera 1: ERROR: Duration of 2147483647 seconds is not allowed (0 to 3600): the camera is not run"},
      {"commands_negative.job", OneCamera("CN", "Duration=0\nType=2\nNbrOfCommands=-1\n"), "done",
       "Camera 1: NbrOfCommands of -1 is not allowed: no command is run"},
      {"ref_dotdot.job", OneCamera("../../escape", "Duration=0\n"), "error",
       "AlarmRef '../../escape' holds a path separator or \"..\": the job is refused"},
      {"ref_slash.job", OneCamera("a/escape", "Duration=0\n"), "error",
       "AlarmRef 'a/escape' holds a path separator"},
      {"no_image.job", "[Alarm]\nAlarmRef=NI\n[Camera1]\nCameraScenario=2\nDuration=0\n", "done",
       "(Camera 2): ERROR: The connection to the camera is probably not active - or wrong configured (no "
       "valid JPEG image found)"},
  };
  for (const BadJob& job : jobs) world.Drop(job.name, job.content);

  // Cut off while written: the writer still has the file open when the
  // gateway takes it, and finishes writing into the moved file.
  std::string cut = OneCamera("CUT", "Duration=0\nInterval=0.1\n");
  int fd = open(world.Data("watch/cut.job").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, cut.data(), 30), 30);
  world.Drop("trigger.job", "[Alarm]\nAlarmRef=TR\nNumberOfCams=0\n");
  ASSERT_TRUE(WaitFor([&] { return !FileExists(world.Data("watch/cut.job")); }, 60)) << world.Output();
  ASSERT_EQ(write(fd, cut.data() + 30, cut.size() - 30), static_cast<ssize_t>(cut.size() - 30));
  close(fd);

  for (const BadJob& job : jobs) {
    SCOPED_TRACE(job.name);
    ASSERT_TRUE(world.WaitFinished(job.name, 120));
    EXPECT_NE(world.Finished(job.name, job.where), "");
    EXPECT_NE(world.Output().find(job.message), std::string::npos);
  }
  ASSERT_TRUE(world.WaitFinished("cut.job", 60));
  ASSERT_TRUE(world.WaitFinished("trigger.job", 60));

  // Nothing of the refused references was written anywhere.
  for (const auto& e : std::filesystem::recursive_directory_iterator(world.Root())) {
    std::string name = e.path().filename().string();
    EXPECT_EQ(name.find("escape"), std::string::npos) << e.path();
  }

  // The gateway goes on with good jobs.
  EXPECT_TRUE(world.Running());
  world.Drop("good.job", OneCamera("GOOD", "Duration=0\nInterval=0.1\n"));
  ASSERT_TRUE(world.WaitFinished("good.job", 60));
  EXPECT_NE(world.Finished("good.job", "done"), "");
  EXPECT_TRUE(FileExists(world.Data("log/multimedia/Cam1/GOOD/Cam1_GOOD_00000.jpg")));
  EXPECT_TRUE(world.Running());
}

}  // namespace
