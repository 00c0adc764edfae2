// The job slot table and JobAlrProc: workers, waits, counts and where the
// job file ends.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <regex>
#include <thread>

#include "jobs/job.h"
#include "jobs/multimedia.h"
#include "jobs_fixture.h"

namespace {

using jobs_test::JobsTest;
using jobs_test::Reports;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

std::string Hex8(std::time_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(t));
  return buf;
}

// A job of `cameras` rows (camera numbers as given, type 2 so no images are
// copied unless a test says otherwise).
CJob MakeJob(const std::string& path, const std::string& reference, std::vector<int> cameras) {
  CJob job;
  job.job_file_path = path;
  job.alarm_reference = reference;
  job.number_of_cameras = static_cast<int>(cameras.size());
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    job.cameras[i + 1].camera_number = cameras[i];
    job.cameras[i + 1].type = 2;
  }
  return job;
}

// The finished job file of `name` in `dir`: "<8 hex digits>-<name>", or "".
std::string Finished(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (std::regex_match(n, std::regex("[0-9A-F]{8}-" + name))) return n;
  return "";
}

TEST_F(JobsTest, SlotsAreTakenLowestFirstAndOverflowAt1024) {
  CJob job = MakeJob("x", "S", {-1});
  EXPECT_EQ(AllocateJobSlot(job), 0);
  EXPECT_EQ(AllocateJobSlot(job), 1);
  EXPECT_EQ(AllocateJobSlot(job), 2);
  EXPECT_EQ(AllocatedJobCount(), 3);
  testing::internal::CaptureStdout();
  ReleaseJobSlot(1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\n** free_alarm ** job 1 freed\n\nWaiting for jobs in queue 1....\n");
  EXPECT_EQ(Reports::Get().Count("Allocated job 2", 1), 1);
  EXPECT_EQ(Reports::Get().Count("** free_alarm ** job 1 freed", 1), 1);

  // An empty slot gives no output at all.
  testing::internal::CaptureStdout();
  ReleaseJobSlot(1);
  ReleaseJobSlot(-5);
  ReleaseJobSlot(kJobSlots);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(AllocatedJobCount(), 2);

  EXPECT_EQ(AllocateJobSlot(job), 1);  // the hole is filled first
  for (int s = 3; s < kJobSlots; ++s) ASSERT_EQ(AllocateJobSlot(job), s);
  EXPECT_EQ(AllocateJobSlot(job), -1);
  EXPECT_EQ(Reports::Get().Count("** new_alarm ** ERROR: jobs overflow (>1024)", 3), 1);
  EXPECT_EQ(AllocatedJobCount(), kJobSlots);
  // The record is a copy: changing the original changes no slot.
  job.alarm_reference = "changed";
  EXPECT_EQ(JobInSlot(7)->alarm_reference, "S");

  testing::internal::CaptureStdout();
  for (int s = 0; s < kJobSlots; ++s) ReleaseJobSlot(s);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(AllocatedJobCount(), 0);
  EXPECT_EQ(JobInSlot(7), nullptr);
}

TEST_F(JobsTest, UnknownAndInactiveCamerasEndInTheDoneDirectory) {
  std::string path = ProcessingFile("u.job", "the job");
  CJob job = MakeJob(path, "U1", {-1, 200, 5});
  job.cameras[1].type = 0;
  int slot = AllocateJobSlot(job);
  ASSERT_GE(slot, 0);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  std::string console = testing::internal::GetCapturedStdout();

  std::string s = std::to_string(slot);
  EXPECT_NE(console.find("Job " + s + ": JobAlrProc thread started (alarm reference: U1)"), std::string::npos);
  EXPECT_EQ(Reports::Get().Count("Job " + s + ": ERROR: Camera (-1) unknown", 3), 1);
  EXPECT_EQ(Reports::Get().Count("Job " + s + ": ERROR: Camera (200) unknown", 3), 1);
  EXPECT_EQ(Reports::Get().Count(
                "Job " + s + ": Camera 5 is not active anymore - please check your configuration", 1),
            1);
  EXPECT_EQ(Reports::Get().Count("Job " + s + ": wait on 0 threads", 1), 1);
  EXPECT_EQ(JobInSlot(slot), nullptr);
  EXPECT_EQ(AllocatedJobCount(), 0);

  std::string done = Finished(Names("done"), "u.job");
  ASSERT_NE(done, "") << ::testing::PrintToString(Names("done"));
  EXPECT_EQ(ReadFile(Path("done/" + done)), "the job");
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(Names("error").empty());
  // Three camera sections in the log, all counts 0.
  std::string log = ReadFile(Path("log/U1_multimedia.log"));
  EXPECT_NE(log.find("[Alarm]\nNumberOfCams=3\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[Camera3]\nCameraScenario=5\nTotalNbrOfFiles=0\n"), std::string::npos) << log;
}

TEST_F(JobsTest, WhereTheFinishedJobFileGoes) {
  // Not moved at all.
  Config.move_job_to_done_or_error_path = 0;
  std::string kept = ProcessingFile("kept.job", "k");
  int slot = AllocateJobSlot(MakeJob(kept, "K", {-1}));
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(kept), "k");
  EXPECT_TRUE(Names("done").empty());

  // No done directory configured: it stays as well.
  Config.move_job_to_done_or_error_path = 1;
  Config.done_path = "";
  slot = AllocateJobSlot(MakeJob(kept, "K", {-1}));
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(kept), "k");

  // A file already under the target name is replaced. The name holds the
  // time of the move, so both candidate seconds are occupied beforehand.
  Config.done_path = Path("done");
  std::time_t now = std::time(nullptr);
  for (std::time_t t : {now, now + 1}) WriteFile(Path("done/" + Hex8(t) + "-kept.job"), "older");
  slot = AllocateJobSlot(MakeJob(kept, "K", {-1}));
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  int replaced = 0;
  for (std::time_t t : {now, now + 1}) replaced += ReadFile(Path("done/" + Hex8(t) + "-kept.job")) == "k";
  EXPECT_EQ(replaced, 1);
  EXPECT_FALSE(FileExists(kept));

  // A move that fails is reported and the file stays in processing.
  Config.error_path = Path("no/such/dir");
  std::string failed = ProcessingFile("failed.job", "f");
  CJob job = MakeJob(failed, "F", {-1});
  job.outcome = 1;  // as the reader leaves a job it had to refuse a value of
  slot = AllocateJobSlot(job);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(FileExists(failed));
  EXPECT_EQ(Reports::Get().Count("ERROR: could not move " + failed + " to " + Path("no/such/dir/"), 3), 1)
      << Reports::Get().All();
}

// Command workers stand in for the command sender: each adds a success or
// an error as its command's "IOStatus" says and ends.
void CountingWorker(std::shared_ptr<HTTPCommandArgs> args) {
  JobCamera& row = args->record->cameras[static_cast<std::size_t>(args->camera_index)];
  if (row.commands[static_cast<std::size_t>(args->command_index)].io_status == "fail")
    row.command_errors.Add(1);
  else
    row.command_successes.Add(1);
  args->record->thread_events[static_cast<std::size_t>(args->thread_index)].Set();
}

TEST_F(JobsTest, CommandsRunOnWorkersAndTheirErrorsFailTheJob) {
  // Without a command sender commands are not run and count nothing.
  std::string quiet = ProcessingFile("quiet.job", "q");
  CameraBaseTable[7].reference = "Cam7";
  CJob job = MakeJob(quiet, "Q", {7});
  job.cameras[1].number_of_commands = 2;
  int slot = AllocateJobSlot(job);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Reports::Get().Count("wait on 0 threads"), 1);
  EXPECT_EQ(Reports::Get().Count("camera 7: 2 HTTP commands not run"), 1);
  EXPECT_NE(Finished(Names("done"), "quiet.job"), "");

  // With one: a camera of type 2 and two commands gets two command workers
  // and no image copy.
  SetCommandWorker(CountingWorker);
  std::string path = ProcessingFile("cmd.job", "c");
  job = MakeJob(path, "C", {7});
  job.cameras[1].number_of_commands = 2;
  job.cameras[1].commands[2].io_status = "fail";
  slot = AllocateJobSlot(job);
  std::shared_ptr<CJob> record = JobInSlot(slot);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(record->thread_count, 2);
  EXPECT_EQ(record->thread_events[0].name(), "http_com_" + std::to_string(slot) + "_0");
  EXPECT_EQ(record->thread_events[1].name(), "http_com_" + std::to_string(slot) + "_1");
  EXPECT_EQ(Reports::Get().Count("wait on 2 threads"), 1);
  EXPECT_FALSE(FileExists(Path("log/multimedia")));  // no image copy ran
  EXPECT_NE(Finished(Names("error"), "cmd.job"), "");
  std::string log = ReadFile(Path("log/C_multimedia.log"));
  EXPECT_NE(log.find("CommandSuccess=1\nCommandError=1\n"), std::string::npos) << log;
  CameraBaseTable[7].reference.clear();
}

TEST_F(JobsTest, AJobRunsAtMostTwentyWorkers) {
  SetCommandWorker(CountingWorker);
  CameraBaseTable[8].reference = "Cam8";
  std::string path = ProcessingFile("many.job", "m");
  CJob job = MakeJob(path, "M", {8, 8, 8, 8, 8, 8});
  for (int i = 1; i <= 6; ++i) job.cameras[i].number_of_commands = 4;
  int slot = AllocateJobSlot(job);
  std::shared_ptr<CJob> record = JobInSlot(slot);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(record->thread_count, kMaxJobWorkers);
  EXPECT_EQ(Reports::Get().Count("the job asks for 24 worker threads, at most 20 run: the first 20 "
                                 "were started", 3),
            1);
  int successes = 0;
  for (int i = 1; i <= 6; ++i) successes += record->cameras[i].command_successes.Get();
  EXPECT_EQ(successes, kMaxJobWorkers);
  EXPECT_EQ(record->cameras[6].command_successes.Get(), 0);
  CameraBaseTable[8].reference.clear();
}

// Holds its worker until the test lets it go.
std::atomic<bool> g_release_worker{false};
std::atomic<bool> g_worker_done{false};
void LateWorker(std::shared_ptr<HTTPCommandArgs> args) {
  while (!g_release_worker.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // The job thread has long given up on this worker and freed its slot;
  // the record must still be there.
  args->record->cameras[static_cast<std::size_t>(args->camera_index)].command_successes.Add(1);
  args->record->thread_events[static_cast<std::size_t>(args->thread_index)].Set();
  g_worker_done.store(true);
}

TEST_F(JobsTest, AWorkerOutlivingItsWaitKeepsTheRecordAlive) {
  SetCommandWorker(LateWorker);
  SetWorkerWaitForTest(200);
  CameraBaseTable[9].reference = "Cam9";
  std::string path = ProcessingFile("late.job", "l");
  CJob job = MakeJob(path, "L", {9});
  job.cameras[1].number_of_commands = 1;
  int slot = AllocateJobSlot(job);
  std::weak_ptr<CJob> watch = JobInSlot(slot);
  testing::internal::CaptureStdout();
  JobAlrProc(slot);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Reports::Get().Count("Job " + std::to_string(slot) + ": ERROR: Thread 0 (0 seconds) timeout reaches", 3),
            1);
  EXPECT_EQ(JobInSlot(slot), nullptr);
  EXPECT_NE(Finished(Names("done"), "late.job"), "");
  EXPECT_FALSE(watch.expired());  // the worker still holds it

  g_release_worker.store(true);
  ASSERT_TRUE(WaitFor([] { return g_worker_done.load(); }));
  EXPECT_TRUE(WaitFor([&] { return watch.expired(); }));
  CameraBaseTable[9].reference.clear();
}

}  // namespace
