#pragma once
// A private world for the job unit tests: the settings point into a fresh
// temporary directory, reports are captured, and test hooks are undone at
// the end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/configuration.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "jobs/job.h"
#include "support/sandbox.h"

namespace jobs_test {

// Report lines of every thread. Never destroyed: workers a test leaves
// running may still report while the process ends.
class Reports {
 public:
  static Reports& Get() {
    static Reports* reports = new Reports();
    return *reports;
  }
  static void Sink(void* self, char* text, int level) {
    auto* r = static_cast<Reports*>(self);
    std::lock_guard<std::mutex> guard(r->mutex_);
    r->lines_.emplace_back(level, text);
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }
  // Lines holding `text` at `level` (any level when -1).
  int Count(const std::string& text, int level = -1) {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) {
      return l.second.find(text) != std::string::npos && (level < 0 || l.first == level);
    }));
  }
  std::string All() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string all;
    for (const auto& l : lines_) all += std::to_string(l.first) + " " + l.second + "\n";
    return all;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Profile names without a directory (the camera status file) resolve
    // in the working directory of the test.
    setenv("OCELAM_REGISTRY", (dir_ / "no-registry.ini").c_str(), 1);
    ResetIniDirectoryForTest();
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const char* d : {"log", "watch", "watch/processing", "done", "error", "LOG"})
      mkdir((dir_ / d).c_str(), 0755);
    Config = ConfigSettings();
    Config.log_directory = dir_ / "log";
    Config.watch_path = dir_ / "watch";
    Config.done_path = dir_ / "done";
    Config.error_path = dir_ / "error";
    Config.file_path = dir_ / "file";
    Config.file_mask = "*.job";
    StreamingServerPaths.clear();
    Reports::Get().Clear();
    SetReportSink(&Reports::Get(), Reports::Sink);
  }
  void TearDown() override {
    SetCommandWorker(nullptr);
    SetWorkerWaitForTest(kWorkerWaitMs);
  }

  std::string Path(const std::string& rel) const { return dir_ / rel; }

  // Names in a directory of the sandbox, sorted.
  std::vector<std::string> Names(const std::string& rel) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Path(rel), ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // A job file in the processing directory, as the watcher leaves it.
  std::string ProcessingFile(const std::string& name, const std::string& content = "") const {
    std::string path = Path("watch/processing/" + name);
    testing_support::WriteFile(path, content);
    return path;
  }

  testing_support::TempDir dir_;
};

}  // namespace jobs_test
