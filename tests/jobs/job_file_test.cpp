// Reading job files and taking them out of the watch directory.
#include <gtest/gtest.h>

#include <functional>

#include "jobs/job_watcher.h"
#include "support/jobs_fixture.h"

namespace {

using namespace jobs_test;
using namespace testing_support;

// The gateway's bad-input test runs many more refused files through the
// whole watcher; here the values a file gives a job.
TEST_F(JobsTest, ReadJobFileValuesDefaultsAndChecks) {
  struct Case {
    std::string content;
    std::function<void(const CJob&)> check;
    std::string console;  // shown on the console; "" = no message at all
  };
  const auto kRefused = [](const CJob& j) { EXPECT_TRUE(j.refused); };
  const Case cases[] = {
      {"[Alarm]\nAlarmRef=R\n",
       [](const CJob& j) {
         EXPECT_EQ(j.alarm_reference, "R");
         EXPECT_EQ(j.number_of_cameras, 1);
         const JobCamera& c = j.cameras[1];
         EXPECT_EQ(
             std::tie(c.camera_number, c.type, c.duration, c.pre_record_time, c.number_of_commands),
             std::make_tuple(-1, 0, 30, 0, 0));
         EXPECT_FLOAT_EQ(c.interval, 1.0f);
         EXPECT_FALSE(j.refused);
       },
       ""},
      {"[Alarm]\nAlarmRef=\n[Camera1]\nCameraScenario=2\n", kRefused, "has no AlarmRef"},
      // Longer than the hour a worker is awaited, but an alarm's length.
      {"[Alarm]\nAlarmRef=L\n[Camera1]\nCameraScenario=4\nDuration=7200\nPreRecordTime=5400\n",
       [](const CJob& j) { EXPECT_TRUE(!j.cameras[1].refused && j.cameras[1].duration == 7200); },
       ""},
      {"[Alarm]\r\nAlarmRef=ABCDEFGHIJK\r\nNumberOfCams=2\r\n[Camera1]\r\nCameraScenario=3\r\nType="
       "1\r\n"
       "Duration=10\r\nInterval=0.5\r\nPreRecordTime=5\r\nNbrOfCommands=4\r\n"
       "[Camera1Command2]\r\nPinNumber=2\r\nDBEntry=4\r\nDuration=7\r\nIOStatus=on\r\n"
       "PTZCommandType=preset\r\nPresetPositionIndex=9\r\nTypeCommand=IO\r\n[Camera2]"
       "\r\nCameraScenario=5\r\n",
       [](const CJob& j) {
         EXPECT_EQ(j.alarm_reference, "ABCDEFGHI");
         const JobCamera& c = j.cameras[1];
         EXPECT_EQ(
             std::tie(c.camera_number, c.type, c.duration, c.pre_record_time, c.number_of_commands),
             std::make_tuple(3, 1, 10, 5, 4));
         EXPECT_FLOAT_EQ(c.interval, 0.5f);
         const JobCommand& k = c.commands[2];
         EXPECT_EQ(std::tie(k.pin_number, k.db_entry, k.duration, k.preset_position),
                   std::make_tuple(2, 4, 7, 9));
         EXPECT_EQ(k.io_status + k.ptz_command_type + k.type_command, "onpresetIO");
         EXPECT_EQ(j.cameras[2].camera_number, 5);
       },
       ""},
      {"[Alarm]\nAlarmRef=T\n[Camera1]\nCameraScenario=4\nInterval=0\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       "Camera 4: Interval of 0 is not allowed: set it to 1"},
      {"[Alarm]\nAlarmRef=T\n[Camera1]\nCameraScenario=4\nNbrOfCommands=6\n",
       [](const CJob& j) { EXPECT_EQ(j.cameras[1].number_of_commands, 4); },
       "Camera 4: Only 4 simultaneously HTTP commands are allowed...."},
      {"[Alarm]\nAlarmRef=T\n[Camera1]\nCameraScenario=4\nInterval=0.001\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       "Camera 4: Interval of 0.001 seconds is not allowed (0.01 to 3600): set it to 1"},
      {"[Alarm]\nAlarmRef=T\nNumberOfCams=2\n[Camera1]\nCameraScenario=4\nPreRecordTime=-2\n["
       "Camera2]\nCameraScenario=6\n",
       [](const CJob& j) {
         EXPECT_TRUE(j.cameras[1].refused && !j.cameras[2].refused && j.outcome == 1);
       },
       "Camera 4: ERROR: PreRecordTime of -2 seconds is not allowed (0 to 86400): the camera is "
       "not run"},
      // Refused for what the file says, not for what survives the cut.
      {"[Alarm]\nAlarmRef=ABCDEFGHI/../../x\n", kRefused,
       "holds a path separator or \"..\": the job is refused"},
      {"[Alarm]\nAlarmRef=a\\b\n", kRefused, "the job is refused"},
      {"[Alarm]\nAlarmRef=.x.y\n", [](const CJob& j) { EXPECT_EQ(j.alarm_reference, ".x.y"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60));
    std::string path = ProcessingFile("case.job", c.content);
    CJob job;
    job.thread_count = 9;  // the reader starts from an empty record
    testing::internal::CaptureStdout();
    ReadJobFile(path, &job);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(job.job_file_path == path && job.thread_count == 0);
    c.check(job);
    EXPECT_TRUE(c.console.empty() ? console.empty() : console.find(c.console) != console.npos)
        << console;
  }
}

TEST_F(JobsTest, TakingJobFilesFromTheWatchDirectory) {
  for (const char* name : {"b.job", "A.JOB", "c.txt", "c.job.tmp"})
    WriteFile(Path("watch/") + name, name);
  mkdir(Path("watch/dir.job").c_str(), 0755);
  ASSERT_EQ(ListJobFiles(), (std::vector<std::string>{"A.JOB", "b.job", "dir.job"}));
  // A name still in use in processing is never replaced: the newer file
  // runs under a name of its own.
  WriteFile(Path("watch/processing/b.job"), "older");
  testing::internal::CaptureStdout();
  EXPECT_EQ(MoveIntoProcessing("b.job"), Path("watch/processing/b~1.job"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(Path("watch/processing/b.job")) + ReadFile(Path("watch/processing/b~1.job")),
            "olderb.job");
  EXPECT_EQ(Reports::Get().Count("is still in the processing directory: the new one runs as",
                                 ReportLevel::kError),
            1);
  // Nowhere to move it: it stays where it is, with a message.
  std::filesystem::remove_all(Path("watch/processing"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(MoveIntoProcessing("A.JOB"), "");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("it stays in the watch directory"),
            std::string::npos);
  EXPECT_EQ(ReadFile(Path("watch/A.JOB")), "A.JOB");
}

}  // namespace
