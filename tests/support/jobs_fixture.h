#pragma once
// The job unit tests' world: settings pointing into a fresh temporary
// directory, the gateway's tables and a job runner of the test's own, a
// clock the test steps, and captured reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/camera/camera.h"
#include "alarm/alarm_start.h"
#include "camera_http/command_records.h"
#include "core/metrics.h"
#include "core/report.h"
#include "core/settings.h"
#include "jobs/job.h"
#include "platform/clock.h"
#include "support/fake_clock.h"
#include "support/sandbox.h"

namespace jobs_test {

// Report lines of every thread; never destroyed, as workers a test leaves
// running may report while the process ends.
struct Reports {
  std::mutex mutex;
  std::vector<std::string> lines;
  static Reports& Get() {
    static Reports* reports = new Reports();
    return *reports;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex);
    lines.clear();
  }
  static void Sink(void* self, char* text, core::ReportLevel level) {
    auto* r = static_cast<Reports*>(self);
    std::lock_guard<std::mutex> guard(r->mutex);
    r->lines.push_back(std::to_string(static_cast<int>(level)) + " " + text);
  }
  // Lines that are `level` followed by a text holding `text`.
  int Count(const std::string& text, core::ReportLevel level) {
    std::lock_guard<std::mutex> guard(mutex);
    std::string head = std::to_string(static_cast<int>(level)) + " ";
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(head, 0) == 0 && l.find(text) != std::string::npos;
    }));
  }
};

// The jobs' clock in the tests: it stands still until the test steps it. It
// counts the threads asleep on it, so a test steps it once the sleeper it
// means has set its deadline, and the readings of its monotonic time, so a
// test knows a waiter has looked at it again. With `jump_on_sleep` a sleep
// moves the clock to its end at once, for tests that run one thread and only
// need time to pass.
class SteppedClock final : public platform::Clock {
 public:
  std::int64_t MonotonicMicros() const override {
    ++reads_;
    return clock_.MonotonicMicros();
  }
  std::int64_t WallMillis() const override { return clock_.WallMillis(); }
  void SleepUntil(std::int64_t deadline_us) override {
    if (jump_on_sleep && deadline_us > clock_.MonotonicMicros())
      clock_.Advance(deadline_us - clock_.MonotonicMicros());
    ++sleepers_;
    clock_.SleepUntil(deadline_us);
    --sleepers_;
  }
  void AdvanceSeconds(double seconds) { clock_.AdvanceSeconds(seconds); }
  // True once `n` threads sleep on the clock.
  bool AwaitSleepers(int n) const {
    return testing_support::WaitFor([&] { return sleepers_.load() >= n; });
  }
  // True once the monotonic time has been read `n` more times from now.
  bool AwaitReads(long n) const {
    const long from = reads_.load();
    return testing_support::WaitFor([&] { return reads_.load() >= from + n; });
  }
  bool jump_on_sleep = false;

 private:
  testing_support::FakeClock clock_;
  std::atomic<int> sleepers_{0};
  mutable std::atomic<long> reads_{0};
};

// What `f` prints on the console.
template <typename F>
std::string Console(F f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"log", "watch", "watch/processing", "done", "error"})
      mkdir((dir_ / d).c_str(), 0755);
    settings_.log_directory = dir_ / "log", settings_.watch_path = dir_ / "watch";
    settings_.done_path = dir_ / "done", settings_.error_path = dir_ / "error";
    settings_.file_mask = "*.job";
    Reports::Get().Clear();  // each test counts its own lines
    core::SetReportSink(&Reports::Get(), Reports::Sink);
  }

  // The test's job runner, made at its first use: commands run with
  // `worker` (none: they are not run).
  jobs::JobRunner& Runner(jobs::CommandWorker worker = nullptr) {
    if (!runner_) runner_ = std::make_unique<jobs::JobRunner>(Context(), worker);
    return *runner_;
  }
  // A runner in place of the one made so far.
  jobs::JobRunner& NewRunner(jobs::CommandWorker worker) {
    runner_.reset();
    return Runner(worker);
  }
  jobs::JobContext Context() {
    return {settings_, cameras_, commands_, alarms_, metrics_, *job_clock_};
  }

  std::string Path(const std::string& rel) const { return dir_ / rel; }
  // Report lines of `level` holding `text`.
  static int Said(const std::string& text, core::ReportLevel level = core::ReportLevel::kError) {
    return Reports::Get().Count(text, level);
  }
  std::vector<std::string> Names(const std::string& rel) const {
    return testing_support::SortedNames(Path(rel));
  }
  // A job file in the processing directory, as the watcher leaves it.
  std::string ProcessingFile(const std::string& name, const std::string& content) const {
    testing_support::WriteFile(Path("watch/processing/" + name), content);
    return Path("watch/processing/" + name);
  }

  testing_support::TempDir dir_;
  core::Settings settings_;
  core::Metrics metrics_;
  SteppedClock clock_;
  // The jobs' clock: the stepped one, or the system's for a test that waits
  // for real writers.
  platform::Clock* job_clock_ = &clock_;
  acquisition::CameraTable cameras_{clock_};
  camera_http::CommandRecords commands_;
  alarms::AlarmServer alarms_{dir_ / "log", metrics_, clock_};
  std::unique_ptr<jobs::JobRunner> runner_;
};

}  // namespace jobs_test
