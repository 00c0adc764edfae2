// Alarm starts as the alarm-input thread and the command threads use them:
// fresh references with their ".L1" files, the batch file or the alarm
// server's tool started detached, and command states in the alarm's table.
#include "alarm/alarm_start.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alarm/database.h"
#include "core/console.h"
#include "report_capture.h"
#include "support/sandbox.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ReportCapture;
using testing_support::TempDir;
using testing_support::WaitFor;
using testing_support::WriteFile;

const FIELD4INFO kAlarmTable[] = {
    {"NAME", 'C', 12, 0}, {"STATUS", 'N', 3, 0}, {"TIME", 'C', 6, 0},
    {"TO1", 'N', 3, 0},   {"TI1", 'C', 6, 0},
};
constexpr char kReference[] = "5F3A0001";

std::string Hex(std::time_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(t));
  return buf;
}

// Runs in a directory of its own (the working directory, where "ocelam.bat"
// is looked for) with the log directory "log" below it.
class AlarmStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir(log_.c_str(), 0755), 0);
    SetAlarmLogDirectory(log_);
  }

  // An executable script that writes its arguments, one per line, to `out`.
  void RecordingScript(const std::string& path, const std::string& out) {
    WriteFile(path, "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > " + out + ".tmp\nmv " +
                        out + ".tmp " + out + "\n");
    chmod(path.c_str(), 0755);
  }

  std::vector<std::string> Lines(int level) {
    std::vector<std::string> lines;
    for (auto& [text, l] : capture_.Take()) {
      EXPECT_EQ(l, level) << text;
      lines.push_back(text);
    }
    return lines;
  }

  // A table "<reference>.dbf" of `records` commands named CMD1, CMD2, ...
  std::string MakeTable(int records) {
    std::string path = log_ + "/" + kReference + ".dbf";
    CDatabase db;
    EXPECT_EQ(db.Create(path.c_str(), kAlarmTable), 1);
    for (int i = 1; i <= records; ++i) {
      EXPECT_EQ(db.Append(), 1);
      EXPECT_EQ(db.Replace("NAME", ("CMD" + std::to_string(i)).c_str()), 1);
    }
    db.Close();
    return path;
  }

  TempDir dir_;
  std::string log_ = dir_ / "log";
  ReportCapture capture_;
  char reference_[kAlarmReferenceSize] = {};
};

TEST_F(AlarmStartTest, FreshReferencesAndTheirFiles) {
  std::time_t before = std::time(nullptr);
  ASSERT_EQ(CreateAlarmReference(reference_), 0);
  std::time_t after = std::time(nullptr);
  std::string ref = reference_;
  ASSERT_EQ(ref.size(), 8u);
  EXPECT_EQ(ref.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_GE(ref, Hex(before));
  EXPECT_LE(ref, Hex(after));
  EXPECT_TRUE(FileExists(log_ + "/" + ref + ".L1"));
  EXPECT_EQ(ReadFile(log_ + "/" + ref + ".L1"), "");

  // Names already taken are passed over, one second further each time.
  std::time_t now = std::time(nullptr);
  for (int k = 0; k < 4; ++k) WriteFile(log_ + "/" + Hex(now + k) + ".L1", "");
  ASSERT_EQ(CreateAlarmReference(reference_), 0);
  EXPECT_GE(std::string(reference_), Hex(now + 4));
  EXPECT_LE(std::string(reference_), Hex(std::time(nullptr) + 4));
  EXPECT_TRUE(Lines(kReportInfo).empty());
}

TEST_F(AlarmStartTest, ConcurrentCallersGetDistinctReferences) {
  constexpr int kThreads = 6, kEach = 5;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        char ref[kAlarmReferenceSize];
        if (CreateAlarmReference(ref) == 0) made[t].push_back(ref);
      }
    });
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  for (auto& list : made) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const std::string& ref : all) EXPECT_TRUE(FileExists(log_ + "/" + ref + ".L1")) << ref;
}

TEST_F(AlarmStartTest, CreationGivesUpWithAClearError) {
  // No log directory: the first failure ends it.
  SetAlarmLogDirectory(dir_ / "missing");
  std::time_t now = std::time(nullptr);
  EXPECT_EQ(CreateAlarmReference(reference_), -1);
  EXPECT_GE(std::string(reference_), Hex(now)) << "a usable reference all the same";
  std::vector<std::string> lines = Lines(kReportError);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR: unable to create an alarm reference file in '" + dir_ / "missing"),
            std::string::npos)
      << lines[0];
  EXPECT_FALSE(FileExists(dir_ / "missing"));

  // Every name for the next while taken: the attempts are bounded.
  SetAlarmLogDirectory(log_);
  now = std::time(nullptr);
  for (int k = 0; k < kAlarmReferenceAttempts + 120; ++k)
    WriteFile(log_ + "/" + Hex(now + k) + ".L1", "");
  EXPECT_EQ(CreateAlarmReference(reference_), -1);
  EXPECT_EQ(Lines(kReportError).size(), 1u);

  // A buffer too small for a reference: nothing is made.
  char small[4] = {};
  EXPECT_EQ(CreateAlarmReference(std::span<char>(small)), -1);
}

TEST_F(AlarmStartTest, BatchFileWhenPresent) {
  std::string out = dir_ / "bat_args";
  RecordingScript(dir_ / kAlarmBatchFile, out);
  EXPECT_EQ(LaunchAlarm(kAlarmBatchFile, 9601, "", "00ABCDEF", 0, "ocelam_camera3"), 1);
  // The reported line keeps the empty text: two blanks in a row.
  std::vector<std::string> lines = Lines(kReportInfo);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "start 'ocelam.bat 9601  00ABCDEF 0 ocelam_camera3'");
  ASSERT_TRUE(WaitFor([&] { return FileExists(out); }));
  EXPECT_EQ(ReadFile(out), "[9601]\n[00ABCDEF]\n[0]\n[ocelam_camera3]\n");
}

TEST_F(AlarmStartTest, AlarmServerToolWithoutTheBatchFile) {
  std::string out = dir_ / "qxe_args";
  ASSERT_EQ(mkdir((dir_ / "bin").c_str(), 0755), 0);
  RecordingScript(dir_ / "bin/qxe", out);
  std::string path = dir_ / "bin";
  if (const char* old = std::getenv("PATH")) path += std::string(":") + old;
  setenv("PATH", path.c_str(), 1);

  EXPECT_EQ(LaunchAlarm(kAlarmBatchFile, 9650, "", "00ABCDEF", 0, "ocelam_camera3"), 1);
  std::vector<std::string> lines = Lines(kReportInfo);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "start 'qxe qxarun 1 -i49650 -s300ABCDEF -s8ocelam_camera3 -s9alr'");
  ASSERT_TRUE(WaitFor([&] { return FileExists(out); }));
  EXPECT_EQ(ReadFile(out), "[qxarun]\n[1]\n[-i49650]\n[-s300ABCDEF]\n[-s8ocelam_camera3]\n[-s9alr]\n");
}

TEST_F(AlarmStartTest, CommandsThatCannotStartAreReported) {
  setenv("PATH", (dir_ / "nowhere").c_str(), 1);  // no qxe anywhere
  EXPECT_EQ(LaunchAlarm(kAlarmBatchFile, 9650, "", "00ABCDEF", 0, "ocelam_camera3"), 0);
  auto taken = capture_.Take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[1].first,
            "ERROR: unable to start 'qxe qxarun 1 -i49650 -s300ABCDEF -s8ocelam_camera3 -s9alr' "
            "(not found or not executable)");
  EXPECT_EQ(taken[1].second, kReportError);

  // A batch file that is there but may not be run: it is still the one chosen.
  WriteFile(dir_ / kAlarmBatchFile, "#!/bin/sh\n");
  EXPECT_EQ(LaunchAlarm(kAlarmBatchFile, 9601, "", "00ABCDEF", 0, "ocelam_camera3"), 0);
  taken = capture_.Take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[1].first,
            "ERROR: unable to start 'ocelam.bat 9601  00ABCDEF 0 ocelam_camera3' (not found or not "
            "executable)");
}

TEST_F(AlarmStartTest, CommandStatesInTheAlarmTable) {
  std::string path = MakeTable(3);
  EXPECT_NE(UpdateAlarmDatabase(kReference, 0, kCommandRunning), 0);
  EXPECT_NE(UpdateAlarmDatabase(kReference, 2, kCommandSucceeded), 0);
  EXPECT_NE(UpdateAlarmDatabase(kReference, 0, kCommandFailed), 0);
  std::time_t now = std::time(nullptr);
  EXPECT_TRUE(Lines(kReportError).empty());

  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  struct Want {
    const char* name;
    long status;
    bool timed;
  } want[] = {{"CMD1", kCommandFailed, true}, {"CMD2", 0, false}, {"CMD3", kCommandSucceeded, true}};
  for (int r = 1; r <= 3; ++r) {
    SCOPED_TRACE(r);
    const Want& w = want[r - 1];
    ASSERT_EQ(db.Go(r), 1);
    std::string name, time, time_copy;
    long status = -1, status_copy = -1;
    db.Read("NAME", name);
    db.Read("TIME", time);
    db.Read("TI1", time_copy);
    if (w.timed) {
      db.Read("STATUS", status);
      db.Read("TO1", status_copy);
    }
    EXPECT_EQ(name, w.name);
    EXPECT_EQ(time, time_copy);
    if (!w.timed) {
      EXPECT_EQ(time, "");
      continue;
    }
    EXPECT_EQ(status, w.status);
    EXPECT_EQ(status_copy, w.status);
    ASSERT_EQ(time.size(), 6u);
    // Local hour, minute, second of the update: within a minute of now.
    std::tm tm{};
    localtime_r(&now, &tm);
    int written = std::stoi(time.substr(0, 2)) * 3600 + std::stoi(time.substr(2, 2)) * 60 +
                  std::stoi(time.substr(4, 2));
    int seconds = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    EXPECT_LE((seconds - written + 86400) % 86400, 60) << time;
  }
}

TEST_F(AlarmStartTest, TablesThatCannotBeWrittenChangeNothing) {
  // Missing: 0 and no line.
  EXPECT_EQ(UpdateAlarmDatabase(kReference, 0, kCommandRunning), 0);
  EXPECT_TRUE(capture_.Take().empty());

  // Not a table: 0, the table layer's one line, and the bytes stay.
  std::string garbage = "this is no dbf table at all\n";
  WriteFile(log_ + "/" + kReference + ".dbf", garbage);
  EXPECT_EQ(UpdateAlarmDatabase(kReference, 0, kCommandRunning), 0);
  EXPECT_EQ(Lines(kReportError).size(), 1u);
  EXPECT_EQ(ReadFile(log_ + "/" + kReference + ".dbf"), garbage);

  // An entry without a record: 0, one line, nothing written.
  std::string path = MakeTable(2);
  std::string bytes = ReadFile(path);
  for (int entry : {2, -1, 2147483647}) {
    SCOPED_TRACE(entry);
    EXPECT_EQ(UpdateAlarmDatabase(kReference, entry, kCommandSucceeded), 0);
    EXPECT_EQ(Lines(kReportError).size(), 1u);
    EXPECT_EQ(ReadFile(path), bytes);
  }

  // References that would lead out of the log directory are refused.
  WriteFile(dir_ / "outside.dbf", garbage);
  for (const char* bad : {"../outside", "..\\outside", "", "sub/x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(UpdateAlarmDatabase(bad, 0, kCommandFailed), 0);
    std::vector<std::string> lines = Lines(kReportError);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("ERROR: the alarm reference '") + bad +
                            "' cannot name a file in the log directory");
  }
  EXPECT_EQ(ReadFile(dir_ / "outside.dbf"), garbage);
}

TEST_F(AlarmStartTest, LockedTableIsWrittenOnceReleased) {
  std::string path = MakeTable(1);
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  // The alarm server's side: another process holding the whole file.
  pid_t pid = fork();
  if (pid == 0) {
    close(to_child[1]);
    close(from_child[0]);
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0) _exit(1);
    char c = 'L';
    if (write(from_child[1], &c, 1) != 1) _exit(1);
    while (read(to_child[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);  // the lock goes with the process
  }
  ASSERT_GT(pid, 0);
  close(to_child[0]);
  close(from_child[1]);
  char c = 0;
  ASSERT_EQ(read(from_child[0], &c, 1), 1);

  std::atomic<int> result{-1};
  std::thread update([&] { result = UpdateAlarmDatabase(kReference, 0, kCommandSucceeded); });
  // However long it runs, it cannot write while the lock stands.
  EXPECT_FALSE(WaitFor([&] { return result.load() != -1; }, 0.3));
  close(to_child[1]);  // the child ends, and its lock with it
  EXPECT_TRUE(WaitFor([&] { return result.load() != -1; }));
  update.join();
  waitpid(pid, nullptr, 0);
  close(from_child[0]);
  EXPECT_NE(result.load(), 0);

  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  long status = 0;
  db.Read("STATUS", status);
  EXPECT_EQ(status, kCommandSucceeded);
}

}  // namespace
