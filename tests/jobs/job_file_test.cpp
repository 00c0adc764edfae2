// Reading job files and taking them out of the watch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>

#include "jobs/job_watcher.h"
#include "support/jobs_fixture.h"

namespace {

using namespace jobs_test;
using namespace testing_support;

// A job as read, as text: "REFUSED" when it is, its reference, cameras and
// outcome, then per camera " / " ("refused") number, type, duration,
// pre-record time, commands, interval, and command 2 when it has a type.
std::string Text(const jobs::Job& j) {
  std::ostringstream o;
  o << (j.refused ? "REFUSED " : "") << j.alarm_reference << ' ' << j.number_of_cameras << ' '
    << j.outcome;
  for (int i = 1; i <= std::min(j.number_of_cameras, 2); ++i) {
    const jobs::JobCamera& c = j.cameras[i];
    const jobs::JobCommand& k = c.commands[2];
    o << " /" << (c.refused ? " refused " : " ") << c.camera_number << ' ' << c.type << ' '
      << c.duration << ' ' << c.pre_record_time << ' ' << c.number_of_commands << ' ' << c.interval;
    if (!k.type_command.empty())
      o << " cmd=" << k.pin_number << ',' << k.db_entry << ',' << k.duration << ','
        << k.preset_position << ',' << k.io_status << k.ptz_command_type << k.type_command;
  }
  return o.str();
}

// The gateway's bad-input test runs many more refused files through the
// whole watcher; here the values a file gives a job.
TEST_F(JobsTest, ReadJobFileValuesDefaultsAndChecks) {
  const std::string cam4 = "[Alarm]\nAlarmRef=T\n[Camera1]\nCameraScenario=4\n";
  const struct {
    std::string content;
    const char* job;      // searched in Text() of the job read
    const char* console;  // shown on the console; "" = no message at all
  } cases[] = {
      {"[Alarm]\nAlarmRef=R\n", "^R 1 0 / -1 0 30 0 0 1$", ""},
      {"[Alarm]\nAlarmRef=\n[Camera1]\nCameraScenario=2\n", "^REFUSED ", "has no AlarmRef"},
      // Longer than the hour a worker is awaited, but an alarm's length.
      {"[Alarm]\nAlarmRef=L\n[Camera1]\nCameraScenario=4\nDuration=7200\nPreRecordTime=5400\n",
       "^L 1 0 / 4 0 7200 5400 0 1$", ""},
      {"[Alarm]\r\nAlarmRef=ABCDEFGHIJK\r\nNumberOfCams=2\r\n[Camera1]\r\nCameraScenario=3\r\n"
       "Type=1\r\nDuration=10\r\nInterval=0.5\r\nPreRecordTime=5\r\nNbrOfCommands=4\r\n"
       "[Camera1Command2]\r\nPinNumber=2\r\nDBEntry=4\r\nDuration=7\r\nIOStatus=on\r\n"
       "PTZCommandType=preset\r\nPresetPositionIndex=9\r\nTypeCommand=IO\r\n[Camera2]"
       "\r\nCameraScenario=5\r\n",
       "^ABCDEFGHI 2 0 / 3 1 10 5 4 0.5 cmd=2,4,7,9,onpresetIO / 5 0 30 0 0 1$", ""},
      {cam4 + "Interval=0\n", "/ 4 0 30 0 0 1$",
       "Camera 4: Interval of 0 is not allowed: set it to 1"},
      {cam4 + "NbrOfCommands=6\n", "/ 4 0 30 0 4 1$",
       "Camera 4: Only 4 simultaneously HTTP commands are allowed...."},
      {cam4 + "Interval=0.001\n", "/ 4 0 30 0 0 1$",
       "Camera 4: Interval of 0.001 seconds is not allowed (0.01 to 3600): set it to 1"},
      {"[Alarm]\nAlarmRef=T\nNumberOfCams=2\n[Camera1]\nCameraScenario=4\nPreRecordTime=-2\n"
       "[Camera2]\nCameraScenario=6\n",
       "^T 2 1 / refused 4 .* / 6 0 30 0 0 1$",
       "Camera 4: ERROR: PreRecordTime of -2 seconds is not allowed (0 to 86400): the camera is "
       "not run"},
      // Refused for what the file says, not for what survives the cut.
      {"[Alarm]\nAlarmRef=ABCDEFGHI/../../x\n", "^REFUSED ",
       "holds a path separator or \"..\": the job is refused"},
      {"[Alarm]\nAlarmRef=a\\b\n", "^REFUSED ", "the job is refused"},
      {"[Alarm]\nAlarmRef=.x.y\n", "^\\.x\\.y 1 0 /", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60));
    std::string path = ProcessingFile("case.job", c.content);
    jobs::Job job;
    job.thread_count = 9;  // the reader starts from an empty record
    std::string console = Console([&] { jobs::ReadJobFile(path, &job); });
    EXPECT_TRUE(job.job_file_path == path && job.thread_count == 0);
    EXPECT_TRUE(std::regex_search(Text(job), std::regex(c.job))) << Text(job);
    EXPECT_TRUE(*c.console ? console.find(c.console) != console.npos : console.empty()) << console;
  }
}

TEST_F(JobsTest, TakingJobFilesFromTheWatchDirectory) {
  for (const char* name : {"b.job", "A.JOB", "c.txt", "c.job.tmp"})
    WriteFile(Path("watch/") + name, name);
  mkdir(Path("watch/dir.job").c_str(), 0755);
  jobs::JobWatcher watcher(Runner());
  ASSERT_EQ(watcher.ListJobFiles(), (std::vector<std::string>{"A.JOB", "b.job", "dir.job"}));
  // A name still in use in processing is never replaced: the newer file
  // runs under a name of its own.
  WriteFile(Path("watch/processing/b.job"), "older");
  Console([&] { EXPECT_EQ(watcher.MoveIntoProcessing("b.job"), Path("watch/processing/b~1.job")); });
  EXPECT_EQ(ReadFile(Path("watch/processing/b.job")) + ReadFile(Path("watch/processing/b~1.job")),
            "olderb.job");
  EXPECT_EQ(Said("is still in the processing directory: the new one runs as"), 1);
  // Nowhere to move it: it stays where it is, with a message.
  std::filesystem::remove_all(Path("watch/processing"));
  EXPECT_NE(Console([&] {
              EXPECT_EQ(watcher.MoveIntoProcessing("A.JOB"), "");
            }).find("it stays in the watch directory"),
            std::string::npos);
  EXPECT_EQ(ReadFile(Path("watch/A.JOB")), "A.JOB");
  // A processing folder planted as a link takes no job, with one line.
  mkdir(Path("elsewhere").c_str(), 0755);
  ASSERT_EQ(symlink(Path("elsewhere").c_str(), Path("watch/processing").c_str()), 0);
  const std::string said = Console([&] {
    EXPECT_EQ(watcher.MoveIntoProcessing("A.JOB"), "");
    EXPECT_EQ(watcher.MoveIntoProcessing("b~1.job"), "");
  });
  EXPECT_EQ(testing_support::CountOf(said, Path("watch/processing") + " is not a folder"), 1u)
      << said;
  EXPECT_TRUE(std::filesystem::is_empty(Path("elsewhere")));
  EXPECT_EQ(ReadFile(Path("watch/A.JOB")), "A.JOB");
}

// True once `n` slots have been freed: a job thread touches nothing of its
// runner after it has said so.
bool SlotsFreed(int n) {
  return WaitFor(
      [n] { return Reports::Get().Count("** free_alarm ** job", core::ReportLevel::kInfo) >= n; });
}

// A job file no close or move has shown finished is taken once it has stood
// still for a second, and never while a writer still has it open.
TEST_F(JobsTest, AJobFileIsTakenOnlyOnceItsWriterIsDone) {
  jobs::JobWatcher watcher(Runner());
  const std::string path = Path("watch/slow.job");
  const std::string content = "[Alarm]\nAlarmRef=SLOW\nNumberOfCams=0\n";
  auto pending_after = [&](double seconds) {
    clock_.AdvanceSeconds(seconds);
    return watcher.ScanWatchPath().pending;
  };
  WriteFile(path, content.substr(0, 10));
  EXPECT_TRUE(pending_after(0));
  WriteFile(path, content);
  EXPECT_TRUE(pending_after(0.6));  // changed: a second from now
  EXPECT_TRUE(pending_after(0.9));
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(pending_after(0.2));  // still, but open for writing
  close(fd);
  EXPECT_FALSE(pending_after(0));
  ASSERT_TRUE(SlotsFreed(1));
  ASSERT_EQ(Names("done").size(), 1u);
  EXPECT_EQ(ReadFile(Path("done/" + Names("done")[0])), content);
}

// With every job slot taken the watcher says so and pauses ten seconds by
// the job clock; the file waits in the watch directory for the next scan.
TEST_F(JobsTest, WithEverySlotTakenTheWatcherPausesAndLeavesTheFile) {
  settings_.max_jobs_running = 1;
  jobs::JobWatcher watcher(Runner());
  ASSERT_EQ(Runner().table().Allocate(jobs::Job()), 0);
  WriteFile(Path("watch/a.job"), "[Alarm]\nAlarmRef=A\nNumberOfCams=0\n");
  std::atomic<bool> returned{false};
  std::thread scan([&] {
    EXPECT_TRUE(watcher.ScanWatchPath({"a.job"}).cut_short);
    returned.store(true);
  });
  ASSERT_TRUE(clock_.AwaitSleepers(1));
  EXPECT_EQ(Said("WARNING: already 1 jobs runnning - max is 1"), 1);
  clock_.AdvanceSeconds(9.9);
  EXPECT_FALSE(returned.load());
  clock_.AdvanceSeconds(0.1);
  scan.join();
  EXPECT_EQ(Names("watch"), (std::vector<std::string>{"a.job", "processing"}));
  Console([&] {
    Runner().table().Release(0);
    watcher.ScanWatchPath();
  });
  ASSERT_TRUE(SlotsFreed(2));
  EXPECT_EQ(Names("done").size(), 1u);
}

}  // namespace
