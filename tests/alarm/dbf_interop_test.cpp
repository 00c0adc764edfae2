// Tables travel both ways between our engine and another dbf program
// (python3-dbf): what we write it reads with the same values, what it writes
// we read, and each side's changes to the other's table survive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>
#include <vector>

#include "alarm/alarm_start.h"
#include "alarm/database.h"
#include "support/report_capture.h"
#include "support/sandbox.h"

namespace {

using testing_support::ReadFile;
using testing_support::ReportCapture;
using testing_support::TempDir;
using testing_support::WriteFile;

// dump PATH: one line of fields, then one line per record
//   "<recno>|<* when deleted>|name=value|..." (texts without trailing blanks,
//   numbers with their decimals, empty for a blank number).
// write PATH: a dBase III table with character, numeric, date and logical
//   fields, its second record deleted.
// edit PATH: record 2 gets STATUS 42 and NAME "from python", one record is
//   appended.
// alarm PATH: an alarm's command table (NAME, STATUS, TIME, TO1, TI1) with
//   the commands CMD1 and CMD2, their states blank.
constexpr const char* kScript = R"PY(
import datetime, sys
import dbf

def dump(path):
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    print("fields: " + "; ".join(t.structure()))
    for r in t:
        values = []
        for name in t.field_names:
            v = r[name]
            if v is None:
                v = ""
            elif isinstance(v, str):
                v = v.rstrip()
            elif isinstance(v, float):
                v = "%.*f" % (t.field_info(name).decimal, v)
            else:
                v = str(v)
            values.append("%s=%s" % (name, v))
        print("%d|%s|%s" % (dbf.recno(r) + 1, "*" if dbf.is_deleted(r) else " ", "|".join(values)))
    t.close()

def write(path):
    t = dbf.Table(path, "NAME C(12); STATUS N(3,0); AMOUNT N(9,2); BORN D; OK L", dbf_type="db3")
    t.open(dbf.READ_WRITE)
    t.append(("first", 7, 12.5, datetime.date(2024, 1, 2), True))
    t.append(("gone", 1, 0, None, None))
    t.append(("third", -99, -1234.56, None, False))
    t.append()
    dbf.delete(t[1])
    t.close()

def edit(path):
    t = dbf.Table(path)
    t.open(dbf.READ_WRITE)
    with t[1] as r:
        r.status = 42
        r.name = "from python"
    t.append({"name": "appended"})
    t.close()

def alarm(path):
    t = dbf.Table(path, "NAME C(12); STATUS N(3,0); TIME C(6); TO1 N(3,0); TI1 C(6)", dbf_type="db3")
    t.open(dbf.READ_WRITE)
    t.append({"name": "CMD1"})
    t.append({"name": "CMD2"})
    t.close()

{"dump": dump, "write": write, "edit": edit, "alarm": alarm}[sys.argv[1]](sys.argv[2])
)PY";

// Runs `python` with `args`; standard output and error in `output`.
// Returns the exit code (-1 when it could not be run).
int RunPython(const std::string& python, const std::vector<std::string>& args,
              const std::string& output) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    setenv("PYTHONIOENCODING", "utf-8", 1);
    std::vector<char*> argv{const_cast<char*>(python.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DbfInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = dir_ / "interop.py";
    WriteFile(script_, kScript);
    // The distribution's interpreter first: a python3 earlier on the path
    // may not see the packaged module.
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
      if (RunPython(candidate, {"-c", "import dbf"}, dir_ / "probe.txt") == 0) {
        python_ = candidate;
        return;
      }
    }
    GTEST_SKIP() << "python3 with the dbf module (python3-dbf) is not available";
  }

  // Runs the script; its output, or a failure with it.
  std::string Script(const std::string& mode, const std::string& path) {
    std::string out = dir_ / "out.txt";
    int code = RunPython(python_, {script_, mode, path}, out);
    std::string text = ReadFile(out);
    EXPECT_EQ(code, 0) << text;
    return text;
  }

  TempDir dir_;
  std::string script_;
  std::string python_;
};

TEST_F(DbfInterop, OurTablesReadTheSameInPython) {
  ReportCapture capture;
  const FIELD4INFO fields[] = {
      {"NAME", 'C', 12, 0},  {"STATUS", 'N', 3, 0}, {"TIME", 'C', 6, 0},
      {"AMOUNT", 'N', 9, 2}, {"BIG", 'N', 10, 0},
  };
  std::string path = dir_ / "ours.dbf";
  CDatabase db;
  ASSERT_EQ(db.Create(path.c_str(), fields), 1);
  struct Row {
    const char* name;
    long status;
    const char* time;
    const char* amount;
    long big;
  } rows[] = {
      {"CMD1", 8, "134502", "12.5", 9999999999L},
      {"caf\xe9 au lait chaud", -99, "", "-1234.567", -999999999L},  // cp1252 text, cut to 12
      {"", 0, "000000", "0", 0},
  };
  for (const Row& r : rows) {
    ASSERT_EQ(db.Append(), 1);
    EXPECT_EQ(db.Replace("NAME", r.name), 1);
    EXPECT_EQ(db.Replace("STATUS", r.status), 1);
    EXPECT_EQ(db.Replace("TIME", r.time), 1);
    EXPECT_EQ(db.Replace("AMOUNT", r.amount), 1);
    EXPECT_EQ(db.Replace("BIG", r.big), 1);
  }
  ASSERT_EQ(db.Append(), 1);  // left blank
  db.Go(3);
  EXPECT_EQ(db.Delete(), 1);
  db.Close();
  EXPECT_TRUE(capture.Take().empty());

  EXPECT_EQ(Script("dump", path),
            "fields: name C(12); status N(3,0); time C(6); amount N(9,2); big N(10,0)\n"
            "1| |name=CMD1|status=8|time=134502|amount=12.50|big=9999999999\n"
            "2| |name=caf\xc3\xa9 au lait|status=-99|time=|amount=-1234.57|big=-999999999\n"
            "3|*|name=|status=0|time=000000|amount=0.00|big=0\n"
            "4| |name=|status=|time=|amount=|big=\n");
}

TEST_F(DbfInterop, PythonTablesReadTheSameInOurs) {
  ReportCapture capture;
  std::string path = dir_ / "theirs.dbf";
  Script("write", path);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  ASSERT_EQ(db.RecCount(), 4);
  ASSERT_EQ(db.FieldCount(), 5u);
  EXPECT_STREQ(db.Fieldname(2), "STATUS");
  EXPECT_EQ(db.FieldLength("AMOUNT"), 9u);
  struct Want {
    const char* name;
    long status;
    long amount;
    const char* born;
    const char* ok;
    int deleted;
  } want[] = {
      {"first", 7, 12, "20240102", "T", 0},
      {"gone", 1, 0, "", "?", 1},
      {"third", -99, -1234, "", "F", 0},
      {"", 0, 0, "", "?", 0},
  };
  for (const Want& w : want) {
    std::string name, born, ok;
    long status = -1, amount = -1;
    EXPECT_EQ(db.Read("NAME", name), 1);
    EXPECT_EQ(db.Read("STATUS", status), 1);
    EXPECT_EQ(db.Read("AMOUNT", amount), 1);
    EXPECT_EQ(db.Read("BORN", born), 1);
    EXPECT_EQ(db.Read("OK", ok), 1);
    EXPECT_EQ(name, w.name);
    EXPECT_EQ(status, w.status);
    EXPECT_EQ(amount, w.amount);
    EXPECT_EQ(born, w.born);
    EXPECT_EQ(ok, w.ok);
    EXPECT_EQ(db.Deleted(), w.deleted) << w.name;
    db.Skip(1);
  }
  // Our changes to their table, then theirs to ours, each seen by the other.
  db.Go(1);
  EXPECT_EQ(db.Replace("STATUS", 8), 1);
  EXPECT_EQ(db.Replace("AMOUNT", "0.5"), 1);
  ASSERT_EQ(db.Append(), 1);
  EXPECT_EQ(db.Replace("NAME", "ours"), 1);
  EXPECT_EQ(db.Replace("BORN", "20250630"), 1);
  EXPECT_EQ(db.Replace("OK", "T"), 1);
  db.Close();

  Script("edit", path);
  EXPECT_EQ(Script("dump", path),
            "fields: name C(12); status N(3,0); amount N(9,2); born D; ok L\n"
            "1| |name=first|status=8|amount=0.50|born=2024-01-02|ok=True\n"
            "2|*|name=from python|status=42|amount=0.00|born=|ok=\n"
            "3| |name=third|status=-99|amount=-1234.56|born=|ok=False\n"
            "4| |name=|status=|amount=|born=|ok=\n"
            "5| |name=ours|status=|amount=|born=2025-06-30|ok=True\n"
            "6| |name=appended|status=|amount=|born=|ok=\n");
  ASSERT_EQ(db.Open(path.c_str()), 1);
  EXPECT_EQ(db.RecCount(), 6);
  db.Go(2);
  long status = 0;
  EXPECT_EQ(db.Read("STATUS", status), 1);
  EXPECT_EQ(status, 42);
  EXPECT_TRUE(capture.Take().empty());
}

// A command's state written into python's alarm table, also while its header
// counts a record more than the file holds (the alarm server between its
// two writes of an append): the whole records take the write.
TEST_F(DbfInterop, StatusWritesReachPythonTables) {
  ReportCapture capture;
  SetAlarmLogDirectory(dir_.path());
  const std::string path = dir_ / "5F3A0002.dbf";
  for (unsigned extra : {0u, 1u}) {
    Script("alarm", path);
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 8u);
    ASSERT_EQ(bytes[4], 2);
    bytes[4] = static_cast<char>(2 + extra);
    WriteFile(path, bytes);
    EXPECT_NE(UpdateAlarmDatabase("5F3A0002", 1, kCommandSucceeded), 0) << extra;
    EXPECT_TRUE(capture.Take().empty()) << extra;
    // The other writer ends its append; python then reads our record.
    bytes = ReadFile(path);
    EXPECT_EQ(bytes[4], static_cast<char>(2 + extra));
    bytes[4] = 2;
    WriteFile(path, bytes);
    std::string dump = Script("dump", path);
    EXPECT_NE(dump.find("\n1| |name=CMD1|status=|time=|to1=|ti1=\n"), std::string::npos) << dump;
    std::size_t second = dump.find("\n2| |name=CMD2|status=8|time=");
    ASSERT_NE(second, std::string::npos) << dump;
    EXPECT_NE(dump.find("|to1=8|ti1=", second), std::string::npos) << dump;
  }
}

}  // namespace
