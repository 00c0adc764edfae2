// Job slots and JobAlrProc: workers, their waits, and where the job file ends.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "jobs/job.h"
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
