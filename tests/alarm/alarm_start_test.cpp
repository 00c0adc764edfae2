// Alarm starts as the alarm-input thread and the command threads use them:
// fresh references with their ".L1" files, the batch file or the alarm
// server's tool started detached, and command states in the alarm's table.
#include "alarm/alarm_start.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>
#include <tuple>

#include "alarm/alarm_table.h"
#include "core/console.h"
#include "support/report_capture.h"
#include "support/sandbox.h"

namespace {

using namespace testing_support;

const alarms::TableField kAlarmTable[] = {
    {"NAME", 'C', 12, 0}, {"STATUS", 'N', 3, 0}, {"TIME", 'C', 6, 0},
    {"TO1", 'N', 3, 0},   {"TI1", 'C', 6, 0},
};
constexpr char kReference[] = "5F3A0001";

std::string Hex(std::time_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(t));
  return buf;
}

std::string Clock(std::time_t t) {
  char buf[16];
  std::tm tm{};
  std::strftime(buf, sizeof buf, "%H%M%S", localtime_r(&t, &tm));
  return buf;
}

// Runs in a directory of its own (the working directory, where "ocelam.bat"
// is looked for) with the log directory "log" below it.
class AlarmStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir(log_.c_str(), 0755), 0);
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }
  // An executable script that writes its arguments as "[arg]" lines to `out`.
  void RecordingScript(const std::string& path, const std::string& out) {
    WriteFile(path, "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > " + out + ".tmp\nmv " +
                        out + ".tmp " + out + "\n");
    chmod(path.c_str(), 0755);
  }
  // The lines reported so far, each expected at `level`.
  std::vector<std::string> Lines(core::ReportLevel level) {
    std::vector<std::string> lines;
    for (auto& [text, l] : capture_.Take()) {
      EXPECT_EQ(l, level) << text;
      lines.push_back(text);
    }
    return lines;
  }
  // "<reference>.dbf" with `records` commands named CMD1, CMD2, ...
  std::string MakeTable(int records) {
    std::string path = log_ + "/" + kReference + ".dbf";
    alarms::AlarmTable db;
    EXPECT_TRUE(db.Create(path.c_str(), kAlarmTable));
    for (int i = 1; i <= records; ++i)
      EXPECT_TRUE(db.Append() && db.Replace("NAME", ("CMD" + std::to_string(i)).c_str()));
    EXPECT_TRUE(db.Close());
    return path;
  }
  // "NAME STATUS TO1 TIME=TI1" of one record.
  std::string Record(const std::string& path, int record) {
    alarms::AlarmTable db;
    std::string name, time, time_copy;
    long status = 0, status_copy = 0;
    if (!db.Open(path.c_str()) || !db.Go(record)) return "?";
    if (!db.Read("NAME", name) || !db.Read("TIME", time) || !db.Read("TI1", time_copy)) return "?";
    if (!time.empty() && (!db.Read("STATUS", status) || !db.Read("TO1", status_copy))) return "?";
    return name + " " + std::to_string(status) + " " + std::to_string(status_copy) +
           (time == time_copy ? " " + time : " TIME differs from TI1");
  }
  TempDir dir_;
  std::string log_ = dir_ / "log";
  core::Metrics metrics_;
  alarms::AlarmServer alarms_{log_, metrics_, platform::SystemClock()};
  ReportCapture capture_;
  char reference_[alarms::kAlarmReferenceSize] = {};
  const std::string old_path_ = std::getenv("PATH");
};

TEST_F(AlarmStartTest, FreshReferencesAndTheirFilesOrAClearError) {
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(alarms_.CreateReference(reference_));
  std::string ref = reference_;
  EXPECT_EQ(ref.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_TRUE(ref >= Hex(before) && ref <= Hex(std::time(nullptr)) && ref.size() == 8) << ref;
  EXPECT_TRUE(FileExists(log_ + "/" + ref + ".L1") && ReadFile(log_ + "/" + ref + ".L1").empty());
  // Names already taken are passed over, one second further each time.
  std::time_t now = std::time(nullptr);
  for (int k = 0; k < 4; ++k) WriteFile(log_ + "/" + Hex(now + k) + ".L1", "");
  ASSERT_TRUE(alarms_.CreateReference(reference_));
  ref = reference_;
  EXPECT_TRUE(ref >= Hex(now + 4) && ref <= Hex(std::time(nullptr) + 4)) << ref;
  // Callers in several threads at once never share a reference.
  std::vector<std::set<std::string>> made(6);
  std::vector<std::thread> threads;
  for (auto& mine : made)
    threads.emplace_back([this, &mine] {
      for (int i = 0; i < 5; ++i)
        if (char ref[alarms::kAlarmReferenceSize]; alarms_.CreateReference(ref)) mine.insert(ref);
    });
  std::set<std::string> all;
  for (int i = 0; i < 6; ++i) threads[i].join(), all.insert(made[i].begin(), made[i].end());
  EXPECT_EQ(all.size(), 30u);
  EXPECT_TRUE(Lines(core::ReportLevel::kInfo).empty());
  // No log directory: the first failure ends it, and it is not created.
  alarms::AlarmServer missing(dir_ / "missing", metrics_, platform::SystemClock());
  now = std::time(nullptr);
  std::string why = missing.CreateReference(reference_).reason();
  EXPECT_GE(std::string(reference_), Hex(now)) << "a usable reference all the same";
  EXPECT_TRUE(why.starts_with("ERROR: unable to create an alarm reference file in '" +
                              dir_ / "missing" + "' (1 names tried"))
      << why;
  EXPECT_FALSE(FileExists(dir_ / "missing"));
  // Every name for a long while taken: the attempts are bounded.
  now = std::time(nullptr);
  for (int k = 0; k < alarms::kAlarmReferenceAttempts + 120; ++k)
    WriteFile(log_ + "/" + Hex(now + k) + ".L1", "");
  why = alarms_.CreateReference(reference_).reason();
  EXPECT_NE(why.find("(" + std::to_string(alarms::kAlarmReferenceAttempts) + " names tried"),
            why.npos)
      << why;
  char small[4] = {};
  EXPECT_FALSE(alarms_.CreateReference(std::span<char>(small)));
}

// The batch file in the working directory when there is one and it starts,
// else the alarm server's tool along PATH; what cannot start is reported
// with its reason.
TEST_F(AlarmStartTest, BatchFileOrAlarmServerTool) {
  const std::string out = dir_ / "args", nowhere = dir_ / "nowhere",
                    tool = "'qxe qxarun 1 -i49650 -s300ABCDEF -s8ocelam_camera3 -s9alr'",
                    batch = "'ocelam.bat 9650  00ABCDEF 0 ocelam_camera3'";  // "" kept as "  "
  const std::string tool_args =
      "[qxarun]\n[1]\n[-i49650]\n[-s300ABCDEF]\n[-s8ocelam_camera3]\n[-s9alr]\n";
  ASSERT_EQ(mkdir((dir_ / "bin").c_str(), 0755), 0);
  RecordingScript(dir_ / "bin/qxe", out);
  const std::string with_tool = dir_ / "bin:" + old_path_;
  // PATH; the batch file ("" none, "record" a RecordingScript) and its mode;
  // why the batch file failed (its line, level 3); why the start failed or
  // ("") the arguments the started program got.
  using Case = std::tuple<std::string, std::string, mode_t, std::string, std::string, std::string>;
  const Case cases[] = {
      {with_tool, "", 0, "", "", tool_args},
      {nowhere, "", 0, "", "ERROR: unable to start " + tool + " (no such file or directory)", ""},
      {with_tool, "record", 0755, "", "", "[9650]\n[00ABCDEF]\n[0]\n[ocelam_camera3]\n"},
      {with_tool, "#!/bin/sh\n", 0644, "permission denied", "", tool_args},
      {with_tool, "#!/no/such/shell\n", 0755,
       "no such file or directory: interpreter '/no/such/shell' not found", "", tool_args},
      {nowhere, "#!/bin/sh\n", 0644, "permission denied",
       "ERROR: unable to start " + tool + " (no such file or directory)", ""},
  };
  for (const auto& [path, script, mode, batch_failure, failure, args] : cases) {
    SCOPED_TRACE(script + " " + failure);
    setenv("PATH", path.c_str(), 1);
    unlink(alarms::kAlarmBatchFile);
    if (script == "record")
      RecordingScript(dir_ / alarms::kAlarmBatchFile, out);
    else if (!script.empty())
      WriteFile(dir_ / alarms::kAlarmBatchFile, script);
    chmod(alarms::kAlarmBatchFile, mode);
    unlink(out.c_str());
    EXPECT_EQ(
        alarms_.LaunchAlarm(alarms::kAlarmBatchFile, 9650, "", "00ABCDEF", 0, "ocelam_camera3")
            .reason(),
        failure);
    std::vector<std::pair<std::string, core::ReportLevel>> lines;
    if (!script.empty()) lines.push_back({"start " + batch, core::ReportLevel::kInfo});
    if (!batch_failure.empty())
      lines.push_back({"ERROR: unable to start " + batch + " (" + batch_failure + ")",
                       core::ReportLevel::kError});
    if (script.empty() || !batch_failure.empty())
      lines.push_back({"start " + tool, core::ReportLevel::kInfo});
    EXPECT_EQ(capture_.Take(), lines);
    if (!failure.empty()) continue;
    ASSERT_TRUE(WaitFor([&] { return FileExists(out); }));
    EXPECT_EQ(ReadFile(out), args);
  }
  // The status port counts what started and what could not.
  EXPECT_EQ(metrics_.Get(core::Counter::kLaunches), 4);
  EXPECT_EQ(metrics_.Get(core::Counter::kLaunchFailures), 5);
}

TEST_F(AlarmStartTest, CommandStatesInTheAlarmTable) {
  // Read as the gateway reads it: time() lags CLOCK_REALTIME by up to a tick.
  const platform::Clock& wall = platform::SystemClock();
  std::string path = MakeTable(3), before = Clock(wall.WallSeconds());
  for (auto [entry, state] : {std::pair{0, alarms::kCommandRunning},
                              {2, alarms::kCommandSucceeded},
                              {0, alarms::kCommandFailed}})
    alarms_.UpdateAlarmDatabase(kReference, entry, state);
  std::string first = Record(path, 1), after = Clock(wall.WallSeconds());
  EXPECT_TRUE(Lines(core::ReportLevel::kError).empty());
  EXPECT_EQ(first.substr(0, 9) + "|" + Record(path, 2) + "|" + Record(path, 3).substr(0, 9),
            "CMD1 3 3 |CMD2 0 0 |CMD3 8 8 ");
  // The local time of the update (unless midnight fell in between).
  EXPECT_TRUE((first.substr(9) >= before && first.substr(9) <= after) || after < before) << first;
  // The alarm server's side may name the table in upper case.
  std::string upper = log_ + "/" + kReference + ".DBF";
  ASSERT_EQ(rename(path.c_str(), upper.c_str()), 0);
  alarms_.UpdateAlarmDatabase(kReference, 1, alarms::kCommandSucceeded);
  EXPECT_EQ(Record(upper, 2).substr(0, 9), "CMD2 8 8 ");
  EXPECT_TRUE(Lines(core::ReportLevel::kError).empty());
}

TEST_F(AlarmStartTest, TablesThatCannotBeWrittenChangeNothing) {
  // Missing: no line. Not a table: the table layer's one line, and the
  // bytes stay.
  alarms_.UpdateAlarmDatabase(kReference, 0, alarms::kCommandRunning);
  EXPECT_TRUE(capture_.Take().empty());
  const std::string garbage = "this is no dbf table at all\n";
  WriteFile(log_ + "/" + kReference + ".dbf", garbage);
  alarms_.UpdateAlarmDatabase(kReference, 0, alarms::kCommandRunning);
  std::vector<std::string> lines = Lines(core::ReportLevel::kError);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("Error: CDatabase::Open - ")) << lines[0];
  EXPECT_EQ(ReadFile(log_ + "/" + kReference + ".dbf"), garbage);
  // An entry without a record: one line, nothing written.
  std::string path = MakeTable(2);
  std::string bytes = ReadFile(path);
  for (int entry : {2, -1, 2147483647}) {
    alarms_.UpdateAlarmDatabase(kReference, entry, alarms::kCommandSucceeded);
    EXPECT_EQ(Lines(core::ReportLevel::kError).size(), 1u) << entry;
    EXPECT_EQ(ReadFile(path), bytes) << entry;
  }
  // A table we may only read: one line naming it and why; the bytes stay.
  ASSERT_EQ(
      chmod(path.c_str(), 0444) + chmod(dir_.path().c_str(), 0755) + chmod(log_.c_str(), 0755), 0);
  const std::string line =
      "Error: CDatabase::Flush - " + path + ": opened read only (Permission denied)";
  EXPECT_EQ(RunWithoutPrivileges([&] {
              alarms_.UpdateAlarmDatabase(kReference, 0, alarms::kCommandSucceeded);
              if (capture_.Take() != decltype(capture_.Take()){{line, core::ReportLevel::kError}})
                return 2;
              return ReadFile(path) == bytes ? 0 : 3;
            }),
            0);
  // References that would lead out of the log directory are refused.
  WriteFile(dir_ / "outside.dbf", garbage);
  for (std::string bad : {"../outside", "..\\outside", "", "sub/x"}) {
    alarms_.UpdateAlarmDatabase(bad, 0, alarms::kCommandFailed);
    EXPECT_EQ(Lines(core::ReportLevel::kError),
              std::vector<std::string>{"ERROR: the alarm reference '" + bad +
                                       "' cannot name a file in the log directory"});
  }
  EXPECT_EQ(ReadFile(dir_ / "outside.dbf"), garbage);
}

}  // namespace
