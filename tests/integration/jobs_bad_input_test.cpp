// Job files no alarm server should write: each ends in the done or error
// directory with a clear message, nothing is written outside the log
// directory, and the gateway goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/jobs_world.h"

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

std::string OneCamera(const std::string& reference, const std::string& camera_keys) {
  return "[Alarm]\nAlarmRef=" + reference + "\nNumberOfCams=1\n[Camera1]\nCameraScenario=1\n" +
         camera_keys;
}

TEST(JobsBadInput, EveryBadJobFileEndsWithAMessage) {
  // Camera 2 never answers.
  // Rescans every second: a job file still being written is seen by them.
  JobsWorld world({"--camera", "id=1,fps=10,size=20000", "--camera", "id=2,dead=1"},
                  {{1, "Cam1", 1, true}, {2, "Dead", 2, true}}, "WatchTimeout=1");
  ASSERT_TRUE(world.Started());
  ASSERT_TRUE(WaitFor([&] { return world.sim().Stat(1, "frames") >= 10; }, 60));

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
      {"no_image.job", "[Alarm]\nAlarmRef=NI\n[Camera1]\nCameraScenario=2\nDuration=0\n", "done",
       "(Camera 2): ERROR: The connection to the camera is probably not active - or wrong "
       "configured (no "
       "valid JPEG image found)"},
  };
  for (const BadJob& job : jobs) world.Drop(job.name, job.content);

  // Entries by a job's name that are no job file: never opened, said once,
  // left or filed where nothing is lost.
  mkdir(world.Data("watch/dir.job").c_str(), 0755);
  ASSERT_EQ(mkfifo(world.Data("watch/fifo.job").c_str(), 0644), 0);
  std::filesystem::create_symlink(world.Data("../work/ocelam.ini"), world.Data("watch/link.job"));

  // Written slowly, with rescans due in between and pauses both shorter and
  // longer than a second: the job runs as finally written.
  const std::string pieces[] = {"[Alarm]\nAlarmRef=SLOW\n", "NumberOfCams=1\n[Camera1]\n",
                                "CameraScenario=1\n", "Duration=0\nInterval=0.1\n"};
  const int pause_ms[] = {600, 1400, 1000};
  int fd = open(world.Data("watch/slow.job").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(write(fd, pieces[k].data(), pieces[k].size()),
              static_cast<ssize_t>(pieces[k].size()));
    if (k < 3) usleep(pause_ms[k] * 1000);
  }
  close(fd);

  for (const BadJob& job : jobs) {
    SCOPED_TRACE(job.name);
    ASSERT_TRUE(world.WaitFinished(job.name, 120));
    EXPECT_NE(world.Finished(job.name, job.where), "");
    EXPECT_NE(world.Output().find(job.message), std::string::npos);
  }
  ASSERT_TRUE(world.WaitFinished("slow.job", 60));
  EXPECT_NE(world.Finished("slow.job", "done"), "") << world.Output();
  EXPECT_TRUE(FileExists(world.Data("log/multimedia/Cam1/SLOW/Cam1_SLOW_00000.jpg")));
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
  EXPECT_TRUE(FileExists(world.Data("log/multimedia/Cam1/LE/Cam1_LE_00000.jpg")));
  EXPECT_TRUE(world.Running());
}

}  // namespace
