#include "monitor/event_job.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "core/profile/user_profile.h"
#include "monitor/interface_record.h"
#include "platform/paths.h"
#include "support/fake_clock.h"
#include "support/sandbox.h"

using namespace testing_support;

namespace {

class EventJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_ / "jobs").c_str(), 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_.path() + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    WriteFile(
        dir_ / monitor::kAlarmDbFile,
        "[AlarmDatabase]\nWriteDataToDb=1\nWriteJobFiles=1\nJobFilePath=" + dir_ / "jobs" + "\n");
  }
  // Every name in "jobs", hidden ones included.
  std::vector<std::string> Jobs() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "jobs"))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  int Write(std::string text, std::string values = "") {
    return monitor::WriteEventJob(1, 49122, record_, text, &values, 4, nullptr, nullptr, 0, 0);
  }
  TempDir dir_;
  FakeClock clock_;
  monitor::InterfaceRecord record_{"ocelam", clock_};
};

// The gateway's start tests check a whole job's content; here what decides
// whether and under which name one is written.
TEST_F(EventJobTest, SwitchesMustBothBeOneAndTheDirectoryThere) {
  const std::string jobs = "\nJobFilePath=" + dir_ / "jobs" + "\n";
  for (std::string ini :
       {"WriteDataToDb=1\nWriteJobFiles=0" + jobs, "WriteDataToDb=0\nWriteJobFiles=1" + jobs,
        "WriteDataToDb=2\nWriteJobFiles=1" + jobs,
        "WriteDataToDb=1\nWriteJobFiles=1\nJobFilePath=" + dir_ / "none\n"}) {
    WriteFile(dir_ / monitor::kAlarmDbFile, "[AlarmDatabase]\n" + ini);
    EXPECT_EQ(Write("x"), 0) << ini;
  }
  unlink((dir_ / monitor::kAlarmDbFile).c_str());
  EXPECT_EQ(Write("x"), 0);
  EXPECT_TRUE(Jobs().empty());
  EXPECT_FALSE(FileExists(dir_ / "none"));
}

// Three events within one second of the record's wall clock: the base name
// (its seconds in hexadecimal), then _1 and _2. The database writer takes every
// "*.job" it sees: each must be whole the moment its name appears. The
// kernel tells every write into the directory: none may be to a "*.job".
TEST_F(EventJobTest, EventsOfOneSecondGetCountedNamesNeverWrittenUnder) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (dir_ / "jobs").c_str(), IN_MODIFY | IN_CLOSE_WRITE), 0);
  ASSERT_EQ(Write("a") + Write("b") + Write("c"), 3);
  const std::string base = "qx_event_event_data_INSERT_" + platform::ComputerName(80) + "_6a18a500";
  EXPECT_EQ(Jobs(), (std::vector<std::string>{base + ".job", base + "_1.job", base + "_2.job"}));
  std::vector<std::string> written;
  alignas(inotify_event) char buffer[16384];
  for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;)
    for (char* p = buffer; p < buffer + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if (e->len > 0) written.push_back(e->name);
      p += sizeof(inotify_event) + e->len;
    }
  close(watch);
  EXPECT_FALSE(written.empty());
  for (const std::string& name : written) EXPECT_FALSE(name.ends_with(".job")) << name;
}

TEST_F(EventJobTest, TextsAreCleanedAndCut) {
  std::string text = "line one\nline 'two'\r\"three\"";
  std::string values = "a'b";
  ASSERT_EQ(monitor::WriteEventJob(1, 1, record_, text, &values, 4, "user", "ref", 9601, 7), 1);
  EXPECT_EQ(text, "line one line  two   three ");
  EXPECT_EQ(values, "a b");
  std::string content = ReadFile(dir_ / ("jobs/" + Jobs()[0]));
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 4);
  EXPECT_NE(content.find("'user',1,'line one line  two   three ','a b','ref',9601,7,0)"),
            std::string::npos);
  // An over-long text keeps the statement within its buffer.
  ASSERT_EQ(Write(std::string(5000, 'x'), std::string(5000, 'y')), 1);
  for (const std::string& j : Jobs()) {
    std::string c = ReadFile(dir_ / ("jobs/" + j));
    if (c.find("xxxx") == std::string::npos) continue;
    std::size_t sql = c.find("SqlCmd=") + 7;
    EXPECT_LE(c.size() - sql - 2, monitor::kStatementMax);
    EXPECT_TRUE(c.ends_with(",0,0,0)\r\n"));
  }
}

}  // namespace
