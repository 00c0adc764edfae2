// AlarmTable over the dbf engine: what it adds (its error lines, Find,
// CopyRecord, deferred writes) and its locking between
// processes writing one table, as our command threads and the alarm server do.
#include "alarm/alarm_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <tuple>

#include "support/sandbox.h"

namespace {

using namespace testing_support;

const alarms::TableField kFields[] = {{"NAME", 'C', 12, 0},
                                      {"STATUS", 'N', 3, 0},
                                      {"TIME", 'C', 6, 0},
                                      {"COUNTA", 'N', 8, 0},
                                      {"COUNTB", 'N', 8, 0}};

// A table of `records` records named CMD1, CMD2, ... with their numbers 0.
std::string MakeTable(const TempDir& dir, int records) {
  std::string path = dir / "5F3A0001.dbf";
  alarms::AlarmTable db;
  EXPECT_TRUE(db.Create(path.c_str(), kFields));
  for (int i = 1; i <= records; ++i)
    EXPECT_TRUE(db.Append() && db.Replace("NAME", ("CMD" + std::to_string(i)).c_str()) &&
                db.Replace("STATUS", 0) && db.Replace("COUNTA", 0) && db.Replace("COUNTB", 0));
  EXPECT_TRUE(db.Close());
  return path;
}

long ReadNumber(const std::string& path, long record, const char* field) {
  alarms::AlarmTable db;
  long value = -1;
  if (db.Open(path.c_str()) && db.Go(record)) (void)db.Read(field, value);
  return value;
}

// Each failing operation gives its line "Error: <operation> - <reason>" and
// changes nothing in the file; a table that cannot be opened at all says so.
TEST(AlarmTable, FailuresCarryTheirLine) {
  TempDir dir;
  std::string path = MakeTable(dir, 2);
  const std::string before = ReadFile(path);
  alarms::AlarmTable db;
  EXPECT_TRUE(!db.Open((dir / "missing.dbf").c_str()) && db.FileUnavailable());
  EXPECT_TRUE(!db.Open(nullptr) && db.FileUnavailable());
  long v = 0;
  EXPECT_FALSE(db.Read("STATUS", v) || db.Replace("STATUS", 1) || db.Append() || db.RecNo());
  WriteFile(dir / "junk.dbf", std::string(100, 'x'));
  std::string line = db.Open((dir / "junk.dbf").c_str()).reason();
  EXPECT_TRUE(line.starts_with("Error: CDatabase::Open - " + dir / "junk.dbf: ") &&
              !db.FileUnavailable())
      << line;
  const alarms::TableField bad[] = {{"X", 'Q', 3, 0}};
  line = db.Create((dir / "bad.dbf").c_str(), bad).reason();
  EXPECT_TRUE(line.starts_with("Error: CDatabase::Create - ")) << line;
  ASSERT_TRUE(db.Open(path.c_str()));
  // What, the call, the operation of its line "Error: CDatabase::<operation>
  // - " ("" for none: it succeeds).
  const std::tuple<const char*, std::function<platform::Status()>, std::string> cases[] = {
      // clang-format off
      {"go to record 0", [&] { return db.Go(0); }, "Go"},
      {"go beyond the last", [&] { return db.Go(3); }, "Go"},
      {"go far beyond", [&] { return db.Go(1L << 40); }, "Go"},
      {"replace at the end", [&] { return db.Replace("STATUS", 1); }, "Replace"},
      {"delete at the end", [&] { return db.Delete(); }, "Delete"},
      {"blank at the end", [&] { return db.Blank(); }, "Blank"},
      {"recall at the end", [&] { return db.Recall(); }, "Recall"},
      {"back to the first", [&] { return db.Go(1); }, ""},
      {"number too wide", [&] { return db.Replace("STATUS", 1000L); }, "Replace"},
      {"text for a number", [&] { return db.Replace("STATUS", "many"); }, "Replace"},
      {"unknown field", [&] { return db.Replace("NOSUCH", "1"); }, "Replace"},
      {"unknown field read", [&] { return db.Read("NOSUCH", v); }, "Read"},
      {"copy from nowhere", [&] { return db.CopyRecord(7, 1); }, "Go"},
      // clang-format on
  };
  for (const auto& [what, call, operation] : cases) {
    SCOPED_TRACE(what);
    std::string got = call().reason();
    EXPECT_TRUE(operation.empty() ? got.empty()
                                  : got.starts_with("Error: CDatabase::" + operation + " - "))
        << got;
  }
  ASSERT_TRUE(db.Close());
  EXPECT_EQ(ReadFile(path), before);
  // A value assigned but not written is a failure too.
  ASSERT_EQ(chmod(path.c_str(), 0444) + chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(RunWithoutPrivileges([&] {
              alarms::AlarmTable ro;
              return ro.Open(path.c_str()) && ro.Replace("STATUS", 5).reason() ==
                                                  "Error: CDatabase::Replace - " + path +
                                                      ": opened read only (Permission denied)"
                         ? 0
                         : 1;
            }),
            0);
}

TEST(AlarmTable, ReadsFindsCopiesAndDefersWrites) {
  TempDir dir;
  std::string path = MakeTable(dir, 4);
  alarms::AlarmTable db, reader;
  ASSERT_TRUE(db.Open(path.c_str()));
  // A short buffer gets what fits, terminated; numbers stored as text read
  // as numbers, garbage fails naming it.
  ASSERT_TRUE(db.Replace("NAME", "ABCDEFGHIJKL"));
  char small[5];
  EXPECT_TRUE(db.Read("NAME", small, sizeof small));
  EXPECT_STREQ(small, "ABCD");
  int i = 0;
  long v = 9;
  EXPECT_TRUE(db.Replace("TIME", "000042") && db.Read("TIME", i) && i == 42) << i;
  ASSERT_TRUE(db.Replace("TIME", "12:30"));
  std::string line = db.Read("TIME", v).reason();
  EXPECT_TRUE(v == 0 && line.starts_with("Error: CDatabase::Read - ") &&
              line.find("12:30") != line.npos)
      << line;
  // Find starts at the current record, compares texts without trailing
  // blanks and stops at the end.
  for (long r = 1; r <= 4; ++r) ASSERT_TRUE(db.Go(r) && db.Replace("STATUS", r % 2 == 0 ? 7 : 3));
  auto at = [](const platform::Result<long>& record) { return record.value_or(-1); };
  std::vector<long> found = {at(db.Skip(-9)), at(db.Find("STATUS", 7)), at(db.Find("STATUS", 7))};
  (void)db.Skip(1);
  found.push_back(at(db.Find("STATUS", 7)));
  ASSERT_TRUE(db.Top());
  found.insert(found.end(),
               {at(db.Find("NAME", "CMD3   ")), at(db.Find("NAME", "CMD")), db.RecNo()});
  ASSERT_TRUE(db.Top());
  found.insert(found.end(), {at(db.Find("NOSUCH", 1)), db.RecNo()});
  EXPECT_EQ(found, (std::vector<long>{1, 2, 2, 4, 3, 0, 5, 0, 1}));
  // CopyRecord takes every field; Blank empties them.
  std::string name;
  EXPECT_TRUE(db.CopyRecord(4, 2) && db.RecNo() == 2 && db.Read("NAME", name) && name == "CMD4");
  EXPECT_EQ(ReadNumber(path, 2, "STATUS"), 7);
  EXPECT_TRUE(db.Blank() && ReadNumber(path, 2, "STATUS") == 0);  // a blank number reads as 0
  // Without auto-flush a change waits for Flush, a move or Close.
  db.SetFlush(0);
  ASSERT_TRUE(db.Go(1) && db.Replace("STATUS", 4));
  EXPECT_EQ(ReadNumber(path, 1, "STATUS"), 3);
  EXPECT_TRUE(db.Flush() && ReadNumber(path, 1, "STATUS") == 4);
  ASSERT_TRUE(db.Go(3) && db.Replace("STATUS", 6) && db.Go(1));
  EXPECT_EQ(ReadNumber(path, 3, "STATUS"), 6);
  ASSERT_TRUE(db.Replace("STATUS", 9));
  EXPECT_TRUE(db.Close() && ReadNumber(path, 1, "STATUS") == 9);
}

// Open, go, read a counter and write it back one higher, close: a command
// thread's update, repeated. With `lock` the table is locked from the read
// to the write (the first replace unlocks); without it only the write is,
// which suffices while no one else writes the same field.
bool CountUp(const std::string& path, long record, const char* counter, int rounds, bool lock) {
  for (int i = 1; i <= rounds; ++i) {
    alarms::AlarmTable db;
    long value = 0;
    if (!db.Open(path.c_str()) || !db.Go(record) || (lock && !db.Lock()) ||
        !db.Read(counter, value) || !db.Replace(counter, value + 1) || !db.Replace("STATUS", i) ||
        !db.Replace("TIME", "120000"))
      return false;
  }
  return true;
}

// Processes counting different records, different fields of one record, the
// same field under the table lock, and appending, all at once: nothing is
// lost. They start while we hold the table lock, which keeps them off even
// when another handle of ours on the file is opened and closed meanwhile
// (closing a descriptor would drop every fcntl lock of the process).
TEST(CDatabaseProcesses, WritersAtOnceLoseNothing) {
  TempDir dir;
  std::string path = MakeTable(dir, 3);
  constexpr int kRounds = 200;
  // The record to count up (0: append names), the counter, whether locked.
  const std::tuple<long, const char*, bool>
      workers[] = {{1, "COUNTA", false}, {1, "COUNTB", false}, {2, "COUNTA", true},
                   {2, "COUNTA", true},  {3, "COUNTA", false}, {0, "A", false},
                   {0, "B", false}};  // record 0: appends names A0, A1, ...
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> pids;
  for (const auto& [record, counter, lock] : workers) {
    // Forked before we lock: a child of a locked process holds none of its
    // locks and must not use the engine.
    if (pid_t pid = fork(); pid != 0) {
      pids.push_back(pid);
      continue;
    }
    close(gate[1]);
    char c;
    while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
    }
    alarms::AlarmTable db;
    bool ok = record == 0 || CountUp(path, record, counter, kRounds, lock);
    for (int i = 0; record == 0 && ok && i < kRounds; ++i)
      ok = db.Open(path.c_str()) && db.Append() &&
           db.Replace("NAME", (counter + std::to_string(i)).c_str());
    _exit(ok ? 0 : 1);
  }
  alarms::AlarmTable holder;
  EXPECT_TRUE(holder.Open(path.c_str()) && holder.Lock());
  close(gate[1]);
  EXPECT_FALSE(WaitFor(
      [&] {
        return ReadNumber(path, 1, "COUNTA") + ReadNumber(path, 2, "COUNTA") +
                   ReadNumber(path, 3, "COUNTA") !=
               0;
      },
      0.5));
  holder.Unlock();
  for (pid_t pid : pids) {
    int status = -1;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 120))
      kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << pid;
  }
  close(gate[0]);
  EXPECT_EQ((std::vector<long>{ReadNumber(path, 1, "COUNTA"), ReadNumber(path, 1, "COUNTB"),
                               ReadNumber(path, 2, "COUNTA"), ReadNumber(path, 3, "COUNTA")}),
            (std::vector<long>{kRounds, kRounds, 2 * kRounds, kRounds}));
  alarms::AlarmTable db;
  ASSERT_TRUE(db.Open(path.c_str()));
  ASSERT_EQ(db.RecCount(), 3 + 2 * kRounds);
  std::set<std::string> names;
  for ((void)db.Go(4); db.RecNo() <= db.RecCount(); (void)db.Skip(1))
    if (std::string name; db.Read("NAME", name)) names.insert(name);
  EXPECT_EQ(names.size(), 2u * kRounds);
  EXPECT_EQ(names.count(""), 0u);
}

}  // namespace
