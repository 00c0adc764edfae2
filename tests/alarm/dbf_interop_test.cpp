// Tables travel both ways between our engine and another dbf program
// (python3-dbf): what we write it reads with the same values, what it writes
// we read, and each side's changes to the other's table survive.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "alarm/alarm_table.h"
#include "support/sandbox.h"

namespace {

using namespace testing_support;

// dump PATH: one line of fields, then one line per record
//   "<recno>|<* when deleted>|name=value|..." (texts without trailing blanks,
//   numbers with their decimals, empty for a blank number).
// write PATH: a dBase III table with character, numeric, date and logical
//   fields, its second record deleted.
// edit PATH: record 2 gets STATUS 42 and NAME "from python", one record is
//   appended.
constexpr const char* kScript = R"PY(
import datetime, sys
import dbf

def show(t, name, v):
    if v is None: return ""
    if isinstance(v, str): return v.rstrip()
    if isinstance(v, float): return "%.*f" % (t.field_info(name).decimal, v)
    return str(v)

def dump(path):
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    print("fields: " + "; ".join(t.structure()))
    for r in t:
        values = ["%s=%s" % (n, show(t, n, r[n])) for n in t.field_names]
        print("%d|%s|%s" % (dbf.recno(r) + 1, "*" if dbf.is_deleted(r) else " ", "|".join(values)))
    t.close()

def write(path):
    t = dbf.Table(path, "NAME C(12); STATUS N(3,0); AMOUNT N(9,2); BORN D; OK L", dbf_type="db3")
    t.open(dbf.READ_WRITE)
    for row in [("first", 7, 12.5, datetime.date(2024, 1, 2), True), ("gone", 1, 0, None, None),
                ("third", -99, -1234.56, None, False)]:
        t.append(row)
    t.append()
    dbf.delete(t[1])
    t.close()

def edit(path):
    t = dbf.Table(path)
    t.open(dbf.READ_WRITE)
    with t[1] as r:
        r.status, r.name = 42, "from python"
    t.append({"name": "appended"})
    t.close()

{"dump": dump, "write": write, "edit": edit}[sys.argv[1]](sys.argv[2])
)PY";

class DbfInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "interop.py", kScript);
    // The distribution's interpreter first: a python3 earlier on the path
    // may not see the packaged module.
    for (auto candidate :
         {std::vector<std::string>{"/usr/bin/python3"}, {"/usr/bin/env", "python3"}})
      if (python_ = candidate; Run({"-c", "import dbf"}).first == 0) return;
    GTEST_SKIP() << "python3 with the dbf module (python3-dbf) is not available";
  }
  // Runs python with `args`: its exit code and output.
  std::pair<int, std::string> Run(std::vector<std::string> args) {
    args.insert(args.begin(), python_.begin(), python_.end());
    Child python(args, dir_.path(), {"PYTHONIOENCODING=utf-8"}, dir_ / "python.out");
    return {python.WaitExit(120) ? python.exit_code() : -1, ReadFile(dir_ / "python.out")};
  }
  // Runs the script; its output, or a failure with it.
  std::string Script(const std::string& mode, const std::string& path) {
    auto [code, out] = Run({dir_ / "interop.py", mode, path});
    EXPECT_EQ(code, 0) << out;
    return out;
  }
  TempDir dir_;
  std::vector<std::string> python_;
};

TEST_F(DbfInterop, OurTablesReadTheSameInPython) {
  const alarms::TableField fields[] = {{"NAME", 'C', 12, 0},
                                       {"STATUS", 'N', 3, 0},
                                       {"TIME", 'C', 6, 0},
                                       {"AMOUNT", 'N', 9, 2},
                                       {"BIG", 'N', 10, 0}};
  std::string path = dir_ / "ours.dbf";
  alarms::AlarmTable db;
  ASSERT_TRUE(db.Create(path.c_str(), fields));
  // NAME, STATUS, TIME, AMOUNT, BIG
  const std::tuple<const char*, long, const char*, const char*, long> rows[] = {
      {"CMD1", 8, "134502", "12.5", 9999999999L},
      {"caf\xe9 au lait chaud", -99, "", "-1234.567", -999999999L},  // cp1252 text, cut to 12
      {"", 0, "000000", "0", 0},
  };
  for (const auto& [name, status, time, amount, big] : rows)
    EXPECT_TRUE(db.Append() && db.Replace("NAME", name) && db.Replace("STATUS", status) &&
                db.Replace("TIME", time) && db.Replace("AMOUNT", amount) && db.Replace("BIG", big));
  ASSERT_TRUE(db.Append());  // left blank
  EXPECT_TRUE(db.Go(3) && db.Delete() && db.Close());
  EXPECT_EQ(Script("dump", path),
            "fields: name C(12); status N(3,0); time C(6); amount N(9,2); big N(10,0)\n"
            "1| |name=CMD1|status=8|time=134502|amount=12.50|big=9999999999\n"
            "2| |name=caf\xc3\xa9 au lait|status=-99|time=|amount=-1234.57|big=-999999999\n"
            "3|*|name=|status=0|time=000000|amount=0.00|big=0\n"
            "4| |name=|status=|time=|amount=|big=\n");
}

// "NAME|STATUS|AMOUNT|BORN|OK|deleted" of the current record as we read it.
std::string Row(alarms::AlarmTable& db) {
  std::string name, born, ok;
  long status = -1, amount = -1;
  bool read = db.Read("NAME", name) && db.Read("STATUS", status) && db.Read("AMOUNT", amount) &&
              db.Read("BORN", born) && db.Read("OK", ok);
  return (read ? "" : "unreadable ") + name + "|" + std::to_string(status) + "|" +
         std::to_string(amount) + "|" + born + "|" + ok + "|" + std::to_string(db.Deleted());
}

TEST_F(DbfInterop, PythonTablesReadTheSameInOurs) {
  std::string path = dir_ / "theirs.dbf";
  Script("write", path);
  alarms::AlarmTable db;
  ASSERT_TRUE(db.Open(path.c_str()) && db.RecCount() == 4);
  EXPECT_EQ(db.Fieldname(2) + std::to_string(db.FieldLength("AMOUNT")), "STATUS9");
  std::vector<std::string> rows;
  for (; db.RecNo() <= db.RecCount(); (void)db.Skip(1)) rows.push_back(Row(db));
  EXPECT_EQ(rows, (std::vector<std::string>{"first|7|12|20240102|T|0", "gone|1|0||?|1",
                                            "third|-99|-1234||F|0", "|0|0||?|0"}));
  // Our changes to their table, then theirs to ours, each seen by the other.
  EXPECT_TRUE(db.Go(1) && db.Replace("STATUS", 8) && db.Replace("AMOUNT", "0.5") && db.Append() &&
              db.Replace("NAME", "ours") && db.Replace("BORN", "20250630") &&
              db.Replace("OK", "T") && db.Close());
  Script("edit", path);
  EXPECT_EQ(Script("dump", path),
            "fields: name C(12); status N(3,0); amount N(9,2); born D; ok L\n"
            "1| |name=first|status=8|amount=0.50|born=2024-01-02|ok=True\n"
            "2|*|name=from python|status=42|amount=0.00|born=|ok=\n"
            "3| |name=third|status=-99|amount=-1234.56|born=|ok=False\n"
            "4| |name=|status=|amount=|born=|ok=\n"
            "5| |name=ours|status=|amount=|born=2025-06-30|ok=True\n"
            "6| |name=appended|status=|amount=|born=|ok=\n");
  ASSERT_TRUE(db.Open(path.c_str()) && db.RecCount() == 6 && db.Go(2));
  EXPECT_EQ(Row(db), "from python|42|0||?|1");
}

}  // namespace
