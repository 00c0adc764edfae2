// Several processes writing one table at once, as our command threads and
// the alarm server do: no change may be lost, and a table lock holds others
// off until it is released.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "alarm/database.h"
#include "support/sandbox.h"

namespace {

using testing_support::TempDir;
using testing_support::WaitFor;

// Child processes that start their work together when the gate opens.
class ForkedWorkers {
 public:
  ForkedWorkers() {
    if (pipe(gate_) != 0) gate_[0] = gate_[1] = -1;
  }
  ~ForkedWorkers() {
    Open();
    for (pid_t pid : pids_) {
      if (pid < 0) continue;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  // Forks a worker that waits at the gate, runs `body` and exits 0 when it
  // returned true.
  void Start(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate_[1]);
      char c;
      while (read(gate_[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(body() ? 0 : 1);
    }
    if (pid > 0) {
      pids_.push_back(pid);
      status_.push_back(-1);
    }
  }

  void Open() {
    if (gate_[1] >= 0) close(gate_[1]);
    gate_[1] = -1;
  }

  // True when every worker ended with 0 within the deadline.
  bool WaitAll(double seconds = 120) {
    bool all_ok = true;
    for (std::size_t i = 0; i < pids_.size(); ++i) {
      if (!WaitFor([&] { return !StillRunning(i); }, seconds)) return false;
      all_ok = all_ok && WIFEXITED(status_[i]) && WEXITSTATUS(status_[i]) == 0;
    }
    return all_ok;
  }

  // True while worker `i` has not ended (an ended one is reaped once).
  bool StillRunning(std::size_t i) {
    if (pids_[i] < 0) return false;
    int status = 0;
    if (waitpid(pids_[i], &status, WNOHANG) != pids_[i]) return true;
    status_[i] = status;
    pids_[i] = -1;
    return false;
  }

 private:
  int gate_[2];
  std::vector<pid_t> pids_;  // -1 once reaped
  std::vector<int> status_;
};

const FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0},  {"STATUS", 'N', 6, 0}, {"TIME", 'C', 6, 0},
    {"COUNTA", 'N', 8, 0}, {"COUNTB", 'N', 8, 0},
};

std::string MakeTable(const TempDir& dir, int records) {
  std::string path = dir / "shared.dbf";
  CDatabase db;
  EXPECT_EQ(db.Create(path.c_str(), kFields), 1);
  for (int i = 0; i < records; ++i) {
    db.Append();
    db.Replace("COUNTA", 0);
    db.Replace("COUNTB", 0);
  }
  db.Close();
  return path;
}

// Open, go, read a counter and write it back one higher, close: one
// command thread's update, repeated. With `lock` the table is locked from
// the read to the write; without it only the write is, which suffices while
// no one else writes the same field.
bool CountUp(const std::string& path, long record, const char* counter, int rounds, bool lock) {
  for (int i = 1; i <= rounds; ++i) {
    CDatabase db;
    long value = 0;
    if (!db.Open(path.c_str()) || !db.Go(record) || (lock && !db.Lock()) ||
        !db.Read(counter, value)) {
      return false;
    }
    // The first replace ends the table lock with its own unlock.
    if (!db.Replace(counter, value + 1) || !db.Replace("STATUS", i) ||
        !db.Replace("TIME", "120000")) {
      return false;
    }
    db.Close();
  }
  return true;
}

long ReadNumber(const std::string& path, long record, const char* field) {
  CDatabase db;
  long value = -1;
  if (db.Open(path.c_str()) && db.Go(record)) db.Read(field, value);
  return value;
}

TEST(CDatabaseProcesses, UpdatingDifferentRecordsLosesNothing) {
  TempDir dir;
  std::string path = MakeTable(dir, 3);
  constexpr int kRounds = 300;
  ForkedWorkers workers;
  for (long record : {1L, 2L, 3L}) {
    workers.Start([&, record] { return CountUp(path, record, "COUNTA", kRounds, false); });
  }
  workers.Open();
  ASSERT_TRUE(workers.WaitAll());
  for (long record : {1L, 2L, 3L}) {
    EXPECT_EQ(ReadNumber(path, record, "COUNTA"), kRounds) << record;
    EXPECT_EQ(ReadNumber(path, record, "STATUS"), kRounds) << record;
  }
}

// Two processes counting different fields of the same record: each write
// lays only its own field over the record as it is on disk.
TEST(CDatabaseProcesses, UpdatingDifferentFieldsOfOneRecordLosesNothing) {
  TempDir dir;
  std::string path = MakeTable(dir, 1);
  constexpr int kRounds = 300;
  ForkedWorkers workers;
  workers.Start([&] { return CountUp(path, 1, "COUNTA", kRounds, false); });
  workers.Start([&] { return CountUp(path, 1, "COUNTB", kRounds, false); });
  workers.Open();
  ASSERT_TRUE(workers.WaitAll());
  EXPECT_EQ(ReadNumber(path, 1, "COUNTA"), kRounds);
  EXPECT_EQ(ReadNumber(path, 1, "COUNTB"), kRounds);
}

// Two processes counting the same field: the table lock makes each
// read-and-write one step.
TEST(CDatabaseProcesses, CountingOneFieldUnderTheTableLockLosesNothing) {
  TempDir dir;
  std::string path = MakeTable(dir, 1);
  constexpr int kRounds = 200;
  ForkedWorkers workers;
  workers.Start([&] { return CountUp(path, 1, "COUNTA", kRounds, true); });
  workers.Start([&] { return CountUp(path, 1, "COUNTA", kRounds, true); });
  workers.Open();
  ASSERT_TRUE(workers.WaitAll());
  EXPECT_EQ(ReadNumber(path, 1, "COUNTA"), 2 * kRounds);
}

TEST(CDatabaseProcesses, AppendingAtOnceKeepsEveryRecord) {
  TempDir dir;
  std::string path = MakeTable(dir, 0);
  constexpr int kRounds = 200;
  ForkedWorkers workers;
  for (char who : {'A', 'B'}) {
    workers.Start([&, who] {
      CDatabase db;
      if (!db.Open(path.c_str())) return false;
      for (int i = 0; i < kRounds; ++i) {
        std::string name = who + std::to_string(i);
        if (!db.Append() || !db.Replace("NAME", name.c_str())) return false;
      }
      return true;
    });
  }
  workers.Open();
  ASSERT_TRUE(workers.WaitAll());
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  ASSERT_EQ(db.RecCount(), 2 * kRounds);
  std::set<std::string> names;
  for (db.Top(); db.RecNo() <= db.RecCount(); db.Skip(1)) {
    std::string name;
    db.Read("NAME", name);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 2u * kRounds);
  EXPECT_EQ(names.count(""), 0u);
}

// While we hold the table lock another process's change waits for it, even
// when another handle of ours on the same file is opened and closed meanwhile
// (closing a descriptor would drop every fcntl lock of the process).
TEST(CDatabaseProcesses, TableLockHoldsOtherWritersOff) {
  TempDir dir;
  std::string path = MakeTable(dir, 1);
  ForkedWorkers workers;
  // The child is made before we lock: a child forked from a locked process
  // holds none of its locks and must not use the engine.
  workers.Start([&] {
    CDatabase db;
    return db.Open(path.c_str()) && db.Go(1) && db.Replace("STATUS", 77);
  });
  CDatabase holder;
  ASSERT_EQ(holder.Open(path.c_str()), 1);
  ASSERT_EQ(holder.Lock(), 1);
  workers.Open();
  // However long the child runs, it cannot finish while the lock stands.
  EXPECT_FALSE(WaitFor([&] { return !workers.StillRunning(0); }, 0.3));
  EXPECT_EQ(ReadNumber(path, 1, "STATUS"), 0);
  EXPECT_FALSE(WaitFor([&] { return !workers.StillRunning(0); }, 0.3));
  ASSERT_EQ(holder.Unlock(), 1);
  ASSERT_TRUE(workers.WaitAll());
  EXPECT_EQ(ReadNumber(path, 1, "STATUS"), 77);
}

}  // namespace
