// Reading job files, and taking them from the watch directory.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "jobs/job_watcher.h"
#include "jobs_fixture.h"

namespace {

using jobs_test::JobsTest;
using jobs_test::Reports;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

struct ReadCase {
  const char* name;
  std::string content;
  std::function<void(const CJob&)> check;
  std::vector<std::string> console;  // texts the console must show
  std::vector<std::string> quiet;    // texts it must not show
};

std::string Garbage(std::size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 256);
  // Bytes that could open a section are left out, so nothing reads as a key.
  for (char& c : s)
    if (c == '[') c = ']';
  return s;
}

const std::string kTwoCameras =
    "[Alarm]\r\nAlarmRef=A17\r\nNumberOfCams=2\r\n"
    "[Camera1]\r\nCameraScenario=3\r\nType=1\r\nDuration=10\r\nInterval=0.5\r\nPreRecordTime=5\r\n"
    "NbrOfCommands=2\r\n"
    "[Camera1Command1]\r\nPinNumber=2\r\nDBEntry=4\r\nDuration=7\r\nIOStatus=on\r\n"
    "PTZCommandType=preset\r\nPresetPositionIndex=9\r\nTypeCommand=IO\r\n"
    "[Camera1Command2]\r\nTypeCommand=ptz\r\n"
    "[Camera2]\r\nCameraScenario=5\r\nType=2\r\n";

TEST_F(JobsTest, ReadJobFileValuesDefaultsAndChecks) {
  const ReadCase cases[] = {
      {"no keys give the defaults", "",
       [](const CJob& j) {
         EXPECT_EQ(j.alarm_reference, "");
         EXPECT_EQ(j.number_of_cameras, 1);
         EXPECT_EQ(j.cameras[1].camera_number, -1);
         EXPECT_EQ(j.cameras[1].type, 0);
         EXPECT_EQ(j.cameras[1].duration, 30);
         EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f);
         EXPECT_EQ(j.cameras[1].pre_record_time, 0);
         EXPECT_EQ(j.cameras[1].number_of_commands, 0);
         EXPECT_FALSE(j.refused);
         EXPECT_EQ(j.outcome, 0);
       },
       {"holds no key of a job: it runs with the defaults"}, {}},
      {"binary garbage reads like an empty file", Garbage(20000),
       [](const CJob& j) {
         EXPECT_EQ(j.number_of_cameras, 1);
         EXPECT_EQ(j.cameras[1].camera_number, -1);
         EXPECT_FALSE(j.refused);
       },
       {"holds no key of a job"}, {}},
      {"every key of cameras and commands", kTwoCameras,
       [](const CJob& j) {
         EXPECT_EQ(j.alarm_reference, "A17");
         EXPECT_EQ(j.number_of_cameras, 2);
         const JobCamera& c = j.cameras[1];
         EXPECT_EQ(c.camera_number, 3);
         EXPECT_EQ(c.type, 1);
         EXPECT_EQ(c.duration, 10);
         EXPECT_FLOAT_EQ(c.interval, 0.5f);
         EXPECT_EQ(c.pre_record_time, 5);
         EXPECT_EQ(c.number_of_commands, 2);
         EXPECT_EQ(c.commands[1].pin_number, 2);
         EXPECT_EQ(c.commands[1].db_entry, 4);
         EXPECT_EQ(c.commands[1].duration, 7);
         EXPECT_EQ(c.commands[1].io_status, "on");
         EXPECT_EQ(c.commands[1].ptz_command_type, "preset");
         EXPECT_EQ(c.commands[1].preset_position, 9);
         EXPECT_EQ(c.commands[1].type_command, "IO");
         EXPECT_EQ(c.commands[2].type_command, "ptz");
         EXPECT_EQ(c.commands[2].pin_number, 0);
         EXPECT_EQ(j.cameras[2].camera_number, 5);
         EXPECT_EQ(j.cameras[2].type, 2);
         EXPECT_EQ(j.cameras[2].duration, 30);
       },
       {}, {"Camera 3", "Camera 5", "WARNING", "ERROR"}},
      {"a long alarm reference is cut to nine characters",
       "[Alarm]\nAlarmRef=ABCDEFGHIJKLMN\nNumberOfCams=0\n",
       [](const CJob& j) { EXPECT_EQ(j.alarm_reference, "ABCDEFGHI"); }, {}, {}},
      {"an interval of 0 becomes 1", "[Camera1]\nCameraScenario=4\nInterval=0\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       {"Camera 4: Interval of 0 is not allowed: set it to 1"}, {}},
      {"an empty interval reads as 0", "[Camera1]\nCameraScenario=4\nInterval=\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       {"Camera 4: Interval of 0 is not allowed: set it to 1"}, {}},
      {"an interval that is no number becomes 1", "[Camera1]\nCameraScenario=4\nInterval=abc\n",
       [](const CJob& j) {
         EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f);
         EXPECT_EQ(j.outcome, 0);
       },
       {"Camera 4: Interval \"abc\" is not a number of seconds: set it to 1"}, {}},
      {"a negative interval becomes 1", "[Camera1]\nCameraScenario=4\nInterval=-1\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       {"Camera 4: Interval of -1 seconds is not allowed (0.01 to 3600): set it to 1"}, {}},
      {"an interval beyond an hour becomes 1", "[Camera1]\nCameraScenario=4\nInterval=1e30\n",
       [](const CJob& j) { EXPECT_FLOAT_EQ(j.cameras[1].interval, 1.0f); },
       {"Interval of 1e30 seconds is not allowed"}, {}},
      {"six commands run four", "[Camera1]\nCameraScenario=4\nNbrOfCommands=6\n",
       [](const CJob& j) { EXPECT_EQ(j.cameras[1].number_of_commands, 4); },
       {"Camera 4: Only 4 simultaneously HTTP commands are allowed...."}, {}},
      {"four commands need no message", "[Camera1]\nCameraScenario=4\nNbrOfCommands=4\n",
       [](const CJob& j) { EXPECT_EQ(j.cameras[1].number_of_commands, 4); }, {},
       {"simultaneously"}},
      {"negative commands run none", "[Camera1]\nCameraScenario=4\nNbrOfCommands=-1\n",
       [](const CJob& j) { EXPECT_EQ(j.cameras[1].number_of_commands, 0); },
       {"Camera 4: NbrOfCommands of -1 is not allowed: no command is run"}, {}},
      {"a thousand cameras run the first 19", "[Alarm]\nNumberOfCams=1000\n[Camera19]\nCameraScenario=8\n",
       [](const CJob& j) {
         EXPECT_EQ(j.number_of_cameras, kMaxJobCameras);
         EXPECT_EQ(j.cameras[19].camera_number, 8);
         EXPECT_EQ(j.outcome, 0);
       },
       {"NumberOfCams of 1000 is more than 19: only the first 19 cameras are run"}, {}},
      {"a negative number of cameras runs none and fails", "[Alarm]\nNumberOfCams=-3\n",
       [](const CJob& j) {
         EXPECT_EQ(j.number_of_cameras, 0);
         EXPECT_EQ(j.outcome, 1);
         EXPECT_FALSE(j.refused);
       },
       {"NumberOfCams of -3 is not allowed: no camera is run"}, {}},
      {"a duration of 2^31 refuses the camera",
       "[Alarm]\nNumberOfCams=2\n[Camera1]\nCameraScenario=4\nDuration=2147483648\n"
       "[Camera2]\nCameraScenario=6\n",
       [](const CJob& j) {
         EXPECT_TRUE(j.cameras[1].refused);
         EXPECT_FALSE(j.cameras[2].refused);
         EXPECT_EQ(j.outcome, 1);
       },
       {"Camera 4: ERROR: Duration of 2147483647 seconds is not allowed (0 to 3600): the camera is "
        "not run"},
       {}},
      {"a negative pre-record time refuses the camera", "[Camera1]\nCameraScenario=4\nPreRecordTime=-2\n",
       [](const CJob& j) { EXPECT_TRUE(j.cameras[1].refused); },
       {"Camera 4: ERROR: PreRecordTime of -2 seconds is not allowed"}, {}},
      {"a file cut off while written keeps what it has",
       "[Alarm]\nAlarmRef=T1\nNumberOfCams=2\n[Camera1]\nCameraScenario=3\nDurat",
       [](const CJob& j) {
         EXPECT_EQ(j.alarm_reference, "T1");
         EXPECT_EQ(j.cameras[1].camera_number, 3);
         EXPECT_EQ(j.cameras[1].duration, 30);
         EXPECT_EQ(j.cameras[2].camera_number, -1);
       },
       {}, {"holds no key"}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = ProcessingFile("case.job", c.content);
    CJob job;
    job.thread_count = 99;  // the reader starts from an empty record
    testing::internal::CaptureStdout();
    ReadJobFile(path, &job);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(job.job_file_path, path);
    EXPECT_EQ(job.thread_count, 0);
    c.check(job);
    for (const std::string& text : c.console) EXPECT_NE(console.find(text), std::string::npos) << console;
    for (const std::string& text : c.quiet) EXPECT_EQ(console.find(text), std::string::npos) << console;
  }
}

TEST_F(JobsTest, AlarmReferencesThatLeaveTheLogDirectoryAreRefused) {
  const char* refused[] = {"../x", "a/b", "a\\b", "..", "x..y", "/abs"};
  for (const char* reference : refused) {
    SCOPED_TRACE(reference);
    std::string path = ProcessingFile("r.job", std::string("[Alarm]\nAlarmRef=") + reference +
                                                   "\n[Camera1]\nCameraScenario=1\n");
    Reports::Get().Clear();
    CJob job;
    testing::internal::CaptureStdout();
    ReadJobFile(path, &job);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(job.refused);
    EXPECT_EQ(Reports::Get().Count("holds a path separator or \"..\": the job is refused", 3), 1)
        << Reports::Get().All();
  }
  // Refused for what the file says, not for what survives the cut.
  std::string path = ProcessingFile("r.job", "[Alarm]\nAlarmRef=ABCDEFGHI/../../x\n");
  CJob job;
  testing::internal::CaptureStdout();
  ReadJobFile(path, &job);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(job.refused);

  for (const char* fine : {"A.17", "Alarm_1", ".x"}) {
    std::string ok = ProcessingFile("r.job", std::string("[Alarm]\nAlarmRef=") + fine + "\n");
    CJob good;
    ReadJobFile(ok, &good);
    EXPECT_FALSE(good.refused) << fine;
    EXPECT_EQ(good.alarm_reference, fine);
  }
}

TEST_F(JobsTest, OversizedAndUnreadableJobFilesAreRefused) {
  std::string big = ProcessingFile("big.job", "[Alarm]\nAlarmRef=B\n" + std::string(300000, ';'));
  CJob job;
  testing::internal::CaptureStdout();
  ReadJobFile(big, &job);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(job.refused);
  EXPECT_NE(console.find("more than 262144: the job is refused"), std::string::npos) << console;

  if (geteuid() != 0) {  // root reads any file
    std::string locked = ProcessingFile("locked.job", "[Alarm]\nAlarmRef=L\n");
    chmod(locked.c_str(), 0);
    CJob other;
    testing::internal::CaptureStdout();
    ReadJobFile(locked, &other);
    console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(other.refused);
    EXPECT_NE(console.find("cannot be read"), std::string::npos) << console;
  }
}

TEST_F(JobsTest, ListingTakesMatchingFilesOnlyInNameOrder) {
  WriteFile(Path("watch/b.job"), "");
  WriteFile(Path("watch/A.JOB"), "");
  WriteFile(Path("watch/c.txt"), "");
  WriteFile(Path("watch/c.job.tmp"), "");
  mkdir(Path("watch/dir.job").c_str(), 0755);
  EXPECT_EQ(ListJobFiles(), (std::vector<std::string>{"A.JOB", "b.job"}));
  Config.file_mask = "*";
  EXPECT_EQ(ListJobFiles(), (std::vector<std::string>{"A.JOB", "b.job", "c.job.tmp", "c.txt"}));
}

TEST_F(JobsTest, MovingIntoProcessingNeverReplacesAJobStillThere) {
  WriteFile(Path("watch/a.job"), "first");
  EXPECT_EQ(MoveIntoProcessing("a.job"), Path("watch/processing/a.job"));
  EXPECT_FALSE(FileExists(Path("watch/a.job")));

  // The same name again while the first still runs: both are kept.
  for (int k = 1; k <= 2; ++k) {
    WriteFile(Path("watch/a.job"), "again " + std::to_string(k));
    testing::internal::CaptureStdout();
    std::string moved = MoveIntoProcessing("a.job");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(moved, Path("watch/processing/a~" + std::to_string(k) + ".job"));
    EXPECT_EQ(ReadFile(moved), "again " + std::to_string(k));
  }
  EXPECT_EQ(ReadFile(Path("watch/processing/a.job")), "first");
  EXPECT_EQ(Reports::Get().Count("is still in the processing directory: the new one runs as", 3), 2);

  WriteFile(Path("watch/noext"), "x");
  WriteFile(Path("watch/processing/noext"), "old");
  testing::internal::CaptureStdout();
  EXPECT_EQ(MoveIntoProcessing("noext"), Path("watch/processing/noext~1"));
  testing::internal::GetCapturedStdout();

  // Without a processing directory the file stays where it is.
  std::filesystem::remove_all(Path("watch/processing"));
  WriteFile(Path("watch/b.job"), "b");
  testing::internal::CaptureStdout();
  EXPECT_EQ(MoveIntoProcessing("b.job"), "");
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(Path("watch/b.job")), "b");
  EXPECT_NE(console.find("it stays in the watch directory"), std::string::npos) << console;
}

}  // namespace
