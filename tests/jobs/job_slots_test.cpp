// Job slots and JobAlrProc: workers, their waits, and where the job file ends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>

#include "jobs/finished_move.h"
#include "jobs/job.h"
#include "jobs/job_watcher.h"
#include "platform/held_temporary.h"
#include "platform/strings.h"
#include "support/jobs_fixture.h"

namespace {

using namespace jobs_test;
using namespace testing_support;

// A job whose rows are `cameras` (type 2: commands only), each with
// `commands` commands.
jobs::Job MakeJob(const std::string& path, std::vector<int> cameras, int commands = 0) {
  jobs::Job job;
  job.job_file_path = path;
  job.alarm_reference = "J";
  job.number_of_cameras = static_cast<int>(cameras.size());
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    job.cameras[i + 1].camera_number = cameras[i];
    job.cameras[i + 1].type = 2;
    job.cameras[i + 1].number_of_commands = commands;
  }
  return job;
}

// Runs the job in a fresh slot of `runner` on this thread; the record.
std::shared_ptr<jobs::Job> RunJob(jobs::JobRunner& runner, const jobs::Job& job) {
  int slot = runner.table().Allocate(job);
  std::shared_ptr<jobs::Job> record = runner.table().InSlot(slot);
  Console([&] { runner.JobAlrProc(slot); });
  EXPECT_EQ(runner.table().InSlot(slot), nullptr);
  return record;
}

std::string Done(std::time_t t, const std::string& name) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(t));
  return "done/" + std::string(buf) + "-" + name;
}

TEST_F(JobsTest, SlotsAreTakenLowestFirstAndOverflowAt1024) {
  jobs::Job job = MakeJob("x", {-1});
  jobs::JobTable table;
  for (int s = 0; s < 3; ++s) ASSERT_EQ(table.Allocate(job), s);
  // The second release finds the slot empty: no output.
  EXPECT_EQ(Console([&] { table.Release(1), table.Release(1); }),
            "\n** free_alarm ** job 1 freed\n\nWaiting for jobs in queue 1....\n");
  EXPECT_EQ(table.Allocate(job), 1);
  for (int s = 3; s < jobs::kJobSlots; ++s) ASSERT_EQ(table.Allocate(job), s);
  EXPECT_EQ(table.Allocate(job), -1);
  EXPECT_EQ(Said("** new_alarm ** ERROR: jobs overflow (>1024)"), 1);
  EXPECT_EQ(table.AllocatedCount(), jobs::kJobSlots);
  Console([&] {
    for (int s = 0; s < jobs::kJobSlots; ++s) table.Release(s);
  });
  EXPECT_EQ(table.AllocatedCount(), 0);
}

TEST_F(JobsTest, FinishedJobFilesReplaceOlderOnesAndFailedMovesStay) {
  // The target name holds the wall time of the move.
  std::string path = ProcessingFile("k.job", "new");
  WriteFile(Path(Done(clock_.WallSeconds(), "k.job")), "older");
  RunJob(Runner(), MakeJob(path, {-1}));
  EXPECT_EQ(ReadFile(Path(Done(clock_.WallSeconds(), "k.job"))), "new");
  EXPECT_FALSE(FileExists(path));
  settings_.error_path = Path("missing");
  path = ProcessingFile("f.job", "f");
  jobs::Job failing = MakeJob(path, {-1});
  failing.outcome = 1;  // as the reader leaves a job it refused a value of
  RunJob(Runner(), failing);
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(Said("ERROR: could not move " + path + " to " + Path("missing/")), 1);
}

// The move to another file system (called as a rename failing with EXDEV
// would call it): the bytes and permission bits arrive, or nothing changes;
// a link is moved as the link it is and no link is ever followed.
TEST_F(JobsTest, MovesAcrossFileSystemsNeverFollowALinkNorReplaceAFile) {
  namespace fs = std::filesystem;
  WriteFile(Path("outside"), "outside");
  const struct {
    const char* what;
    bool link_source;    // processing/m.job is a link to "outside"
    const char* target;  // what stands at the target name: "", "file", "link"
    int error;
  } cases[] = {
      {"file", false, "", 0},
      {"link as source", true, "", 0},
      {"link as target", false, "link", EEXIST},
      {"file as target", false, "file", EEXIST},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Path("done")), fs::create_directory(Path("done"));
    const std::string from = Path("watch/processing/m.job"), to = Path("done/0000ABCD-m.job");
    if (c.link_source)
      fs::create_symlink(Path("outside"), from);
    else
      WriteFile(from, "[Alarm]\nAlarmRef=M\n"), chmod(from.c_str(), 0640);
    if (c.target == std::string("link")) fs::create_symlink(Path("outside"), to);
    if (c.target == std::string("file")) WriteFile(to, "older");
    EXPECT_EQ(jobs::MoveAcrossFileSystems(from, to).error(), c.error);
    EXPECT_EQ(ReadFile(Path("outside")), "outside");
    EXPECT_EQ(fs::is_symlink(from) || FileExists(from), c.error != 0);
    EXPECT_EQ(Names("done"), std::vector<std::string>{"0000ABCD-m.job"});  // no temporary left
    if (c.error != 0) {
      EXPECT_EQ(ReadFile(to), c.target == std::string("file") ? "older" : "outside");
      fs::remove(from);
    } else if (c.link_source) {
      EXPECT_EQ(fs::read_symlink(to), Path("outside"));
    } else {
      EXPECT_EQ(ReadFile(to), "[Alarm]\nAlarmRef=M\n");
      EXPECT_EQ(fs::status(to).permissions(), static_cast<fs::perms>(0640));
    }
  }
  // Where this machine has two file systems at hand, the rename's own EXDEV.
  struct stat shm {
  }, here{};
  if (stat("/dev/shm", &shm) == 0 && stat(Path("done").c_str(), &here) == 0 &&
      shm.st_dev != here.st_dev) {
    testing_support::TempDir other("/dev/shm");
    WriteFile(other / "x.job", "x");
    EXPECT_TRUE(jobs::MoveFinishedFile(other / "x.job", Path("done/x.job")));
    EXPECT_EQ(ReadFile(Path("done/x.job")) + std::to_string(FileExists(other / "x.job")), "x0");
  }
}

// A start after a crash in the middle of a move to another file system: a
// temporary nobody holds goes, and a job that already reached its directory
// is not filed a second time.
TEST_F(JobsTest, AStartAfterACrashInAMoveFilesTheJobOnce) {
  namespace fs = std::filesystem;
  const std::string kJob = "[Alarm]\nAlarmRef=C\n";
  const struct {
    const char* what;
    const char* filed;  // "done/0000ABCD-c.job" holds: nothing (""), the job, another job
    bool link;          // the job is a link (its text is filed)
    bool temporary;     // a copy was being written into "done"
    bool removed;       // the left file is removed rather than filed in "error"
  } cases[] = {
      {"crash while copying", "", false, true, false},
      {"crash before removing the source", "job", false, false, true},
      {"a link, crash before removing the source", "job", true, false, true},
      {"another job filed under that name", "other", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* d : {"done", "error"}) fs::remove_all(Path(d)), fs::create_directory(Path(d));
    Reports::Get().Clear();
    const std::string left = Path("watch/processing/c.job"), filed = Path("done/0000ABCD-c.job");
    // A link's text stands for a file's bytes.
    const std::string job = c.link ? "elsewhere/c.job" : kJob, other = "elsewhere/other.job";
    auto make = [&](const std::string& path, const std::string& content) {
      c.link ? fs::create_symlink(content, path) : WriteFile(path, content);
    };
    make(left, job);
    if (c.filed != std::string()) make(filed, c.filed == std::string("job") ? job : other);
    if (c.temporary) {
      std::string pattern = Path("done/") + jobs::kMoveTemporaryPattern;
      platform::HeldTemporary copy;  // its writer is gone when the run ends
      ASSERT_TRUE(copy.Create(pattern, jobs::kMoveTemporarySuffixLength));
    }
    EXPECT_EQ(platform::RemoveLeftTemporaries(Path("done"), jobs::IsMoveTemporaryName),
              c.temporary ? 1 : 0);
    jobs::JobWatcher watcher(Runner());
    Console([&] { watcher.FileJobsCutShortByAnEarlierRun(); });
    EXPECT_FALSE(fs::is_symlink(left) || FileExists(left));
    EXPECT_EQ(Names("done").size(), c.filed == std::string() ? 0u : 1u);
    EXPECT_EQ(Names("error").size(), c.removed ? 0u : 1u);
    EXPECT_EQ(Said("WARNING: job file " + left +
                   " was left in processing by an earlier run that "
                   "ended while moving it: it is already in " +
                   filed + ", the copy left in processing is removed"),
              c.removed ? 1 : 0);
  }
}

// Stands in for the command sender: a command whose "IOStatus" is "fail"
// fails, any other succeeds.
void CountingWorker(std::shared_ptr<jobs::HTTPCommandArgs> args) {
  jobs::JobCamera& row = args->record->cameras[args->camera_index];
  (row.commands[args->command_index].io_status == "fail" ? row.command_errors
                                                         : row.command_successes)
      .Add(1);
  args->record->thread_events[args->thread_index].Set();
}

TEST_F(JobsTest, CommandWorkersAtMostTwentyAndTheirErrorsFailTheJob) {
  cameras_[7].reference = "Cam7";
  // Without a command sender commands count nothing.
  std::shared_ptr<jobs::Job> quiet = RunJob(Runner(), MakeJob(ProcessingFile("q.job", ""), {7}, 2));
  EXPECT_EQ(quiet->thread_count, 0);
  EXPECT_EQ(Said("camera 7: 2 HTTP commands not run", core::ReportLevel::kInfo), 1);
  jobs::Job job = MakeJob(ProcessingFile("c.job", ""), {7, 7, 7, 7, 7, 7}, 4);
  job.cameras[1].commands[2].io_status = "fail";
  std::shared_ptr<jobs::Job> record = RunJob(NewRunner(CountingWorker), job);
  EXPECT_EQ(record->thread_count, jobs::kMaxJobWorkers);
  EXPECT_EQ(record->thread_events[5].name(), "http_com_0_5");
  EXPECT_EQ(Said("the job asks for 24 worker threads, at most 20 run: the first 20 were started"),
            1);
  EXPECT_EQ((std::vector<int>{record->cameras[1].command_errors.Get(),
                              record->cameras[5].command_successes.Get(),
                              record->cameras[6].command_successes.Get()}),
            (std::vector<int>{1, 4, 0}));
  EXPECT_FALSE(FileExists(Path("log/multimedia")));  // type 2: no image copy
  EXPECT_EQ(Names("error").size(), 1u);
  EXPECT_NE(ReadFile(Path("log/J_multimedia.log"))
                .find("[Camera1]\nCameraScenario=7\nTotalNbrOfFiles=0\n"
                      "FileSuccess=0\nFileError=0\nCommandSuccess=3\nCommandError=1\n"),
            std::string::npos);
}

// Holds its worker until the test lets it go.
std::atomic<bool> g_release{false};
std::atomic<int> g_done{0};
void LateWorker(std::shared_ptr<jobs::HTTPCommandArgs> args) {
  while (!g_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // The job thread gave up on this worker long ago; the record is still there.
  args->record->cameras[args->camera_index].command_successes.Add(1);
  args->record->thread_events[args->thread_index].Set();
  ++g_done;
}

// A worker is awaited an hour, or its own work and ten minutes more; then
// the job ends without it, and the worker keeps the record alive.
TEST_F(JobsTest, AWorkerOutlivingItsWaitKeepsTheRecordAlive) {
  jobs::JobRunner& runner = Runner(LateWorker);
  cameras_[9].reference = "Cam9";
  g_release = false, g_done = 0;
  const struct {
    int command_seconds;
    double past_the_hour;  // the wait left once the plain hour is over
  } cases[] = {{0, 0}, {7200, 4200}};
  std::vector<std::weak_ptr<jobs::Job>> records;
  for (int k = 0; k < 2; ++k) {
    jobs::Job job = MakeJob(ProcessingFile("late.job", ""), {9}, 1);
    job.cameras[1].commands[1].duration = cases[k].command_seconds;
    const int slot = runner.table().Allocate(job);
    records.push_back(runner.table().InSlot(slot));
    std::thread job_thread([&] { runner.JobAlrProc(slot); });
    ASSERT_TRUE(
        WaitFor([&] { return Said("Job 0: wait on 1 threads", core::ReportLevel::kInfo) > k; }));
    clock_.AdvanceSeconds(jobs::kWorkerWaitSeconds);
    if (cases[k].past_the_hour > 0) {
      // The job thread has looked at the clock past the hour, and waits on.
      ASSERT_TRUE(clock_.AwaitReads(2));
      EXPECT_EQ(Said("timeout reaches"), k);
      clock_.AdvanceSeconds(cases[k].past_the_hour);
    }
    job_thread.join();
    EXPECT_EQ(Said(platform::StringPrintf(
                  "Thread 0 (%d seconds) timeout reaches",
                  static_cast<int>(jobs::kWorkerWaitSeconds + cases[k].past_the_hour))),
              1);
    EXPECT_EQ(Names("done").size(), k + 1u);
  }
  // The slots are free, the workers still hold the records.
  for (const std::weak_ptr<jobs::Job>& record : records) EXPECT_FALSE(record.expired());
  g_release.store(true);
  ASSERT_TRUE(WaitFor([] { return g_done.load() == 2; }));
  for (const std::weak_ptr<jobs::Job>& record : records)
    EXPECT_TRUE(WaitFor([&] { return record.expired(); }));
}

}  // namespace
