// CDatabase as its callers use it: the per-alarm table that command threads
// update, and every operation's result and error line.
#include "alarm/database.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/report_capture.h"
#include "support/sandbox.h"

namespace {

using testing_support::ReadFile;
using testing_support::ReportCapture;
using testing_support::TempDir;
using testing_support::WriteFile;

const FIELD4INFO kAlarmTable[] = {
    {"NAME", 'C', 12, 0}, {"STATUS", 'N', 3, 0}, {"TIME", 'C', 6, 0},
    {"TO1", 'N', 3, 0},   {"TI1", 'C', 6, 0},
};

// A per-alarm table of `records` commands named CMD1, CMD2, ...
std::string MakeAlarmTable(const TempDir& dir, int records) {
  std::string path = dir / "5F3A0001.dbf";
  CDatabase db;
  EXPECT_EQ(db.Create(path.c_str(), kAlarmTable), 1);
  for (int i = 1; i <= records; ++i) {
    EXPECT_EQ(db.Append(), 1);
    EXPECT_EQ(db.Replace("NAME", ("CMD" + std::to_string(i)).c_str()), 1);
    EXPECT_EQ(db.Replace("STATUS", 0), 1);
  }
  db.Close();
  return path;
}

// Only the lines, for comparing.
std::vector<std::string> Lines(ReportCapture& capture) {
  std::vector<std::string> lines;
  for (auto& [text, level] : capture.Take()) {
    EXPECT_EQ(level, 3) << text;
    lines.push_back(text);
  }
  return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// What a command thread does: open, go to its entry, four replaces, close.
TEST(CDatabase, CommandStatusUpdateRoundTrip) {
  TempDir dir;
  ReportCapture capture;
  std::string path = MakeAlarmTable(dir, 3);
  for (int entry : {0, 2}) {
    CDatabase db;
    ASSERT_EQ(db.Open(path.c_str()), 1);
    ASSERT_EQ(db.Go(entry + 1), 1);
    EXPECT_EQ(db.Replace("STATUS", 8), 1);
    EXPECT_EQ(db.Replace("TIME", "134502"), 1);
    EXPECT_EQ(db.Replace("TO1", 8), 1);
    EXPECT_EQ(db.Replace("TI1", "134502"), 1);
    EXPECT_EQ(db.Close(), 1);
  }
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  EXPECT_EQ(db.RecCount(), 3);
  EXPECT_EQ(db.RecNo(), 1);
  struct Want {
    const char* name;
    long status;
    const char* time;
  } want[] = {{"CMD1", 8, "134502"}, {"CMD2", 0, ""}, {"CMD3", 8, "134502"}};
  for (const Want& w : want) {
    long status = -1, to1 = -1;
    char name[13], time[7], ti1[7];
    EXPECT_EQ(db.Read("NAME", name, sizeof name), 1);
    EXPECT_EQ(db.Read("STATUS", status), 1);
    EXPECT_EQ(db.Read("TIME", time, sizeof time), 1);
    EXPECT_EQ(db.Read("TO1", to1), 1);
    EXPECT_EQ(db.Read("TI1", ti1, sizeof ti1), 1);
    EXPECT_STREQ(name, w.name);
    EXPECT_EQ(status, w.status);
    EXPECT_EQ(to1, w.status);
    EXPECT_STREQ(time, w.time);
    EXPECT_STREQ(ti1, w.time);
    db.Skip(1);
  }
  EXPECT_TRUE(Lines(capture).empty());
}

TEST(CDatabase, OpenFailuresSpeakOnlyForBrokenTables) {
  TempDir dir;
  ReportCapture capture;
  CDatabase db;
  EXPECT_EQ(db.Open((dir / "missing.dbf").c_str()), 0);
  EXPECT_EQ(db.Open(nullptr), 0);
  EXPECT_TRUE(Lines(capture).empty());
  WriteFile(dir / "junk.dbf", std::string(100, 'x'));
  EXPECT_EQ(db.Open((dir / "junk.dbf").c_str()), 0);
  std::vector<std::string> lines = Lines(capture);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "Error: CDatabase::Open - ")) << lines[0];
  EXPECT_NE(lines[0].find("junk.dbf"), std::string::npos);
  // Operations on a table that is not open do nothing harmful.
  long v = 5;
  EXPECT_EQ(db.Read("STATUS", v), 0);
  EXPECT_EQ(db.Replace("STATUS", 1), 0);
  EXPECT_EQ(db.RecCount(), 0);
  EXPECT_EQ(db.RecNo(), 0);
  EXPECT_EQ(db.Append(), 0);
  EXPECT_EQ(db.Close(), 1);
}

// Each failing operation leaves one line "Error: <operation> - <reason>".
TEST(CDatabase, EngineErrorsBecomeOneLineEach) {
  TempDir dir;
  ReportCapture capture;
  std::string path = MakeAlarmTable(dir, 2);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  long v = 0;
  struct Case {
    const char* what;
    std::function<int()> call;
    int result;
    const char* line;  // expected start of the one line, or nullptr for none
  } cases[] = {
      {"go to record 0", [&] { return db.Go(0); }, 0, "Error: CDatabase::Go - "},
      {"go beyond the last", [&] { return db.Go(3); }, 0, "Error: CDatabase::Go - "},
      {"go far beyond", [&] { return db.Go(1L << 40); }, 0, "Error: CDatabase::Go - "},
      {"replace at the end", [&] { return db.Replace("STATUS", 1); }, 0,
       "Error: CDatabase::Replace - "},
      {"delete at the end", [&] { return db.Delete(); }, 0, "Error: CDatabase::Delete - "},
      {"blank at the end", [&] { return db.Blank(); }, 0, "Error: CDatabase::Blank - "},
      {"recall at the end", [&] { return db.Recall(); }, 0, "Error: CDatabase::Recall - "},
      {"back to the first", [&] { return db.Go(1); }, 1, nullptr},
      {"number too wide", [&] { return db.Replace("STATUS", 1000L); }, 0,
       "Error: CDatabase::Replace - "},
      {"text for a number", [&] { return db.Replace("STATUS", "many"); }, 0,
       "Error: CDatabase::Replace - "},
      {"unknown field", [&] { return db.Replace("NOSUCH", 1); }, 0, nullptr},
      {"unknown field read", [&] { return db.Read("NOSUCH", v); }, 0, nullptr},
      {"copy from nowhere", [&] { return db.CopyRecord(7, 1); }, 0, "Error: CDatabase::Go - "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.result) << c.what;
    std::vector<std::string> lines = Lines(capture);
    if (c.line == nullptr) {
      EXPECT_TRUE(lines.empty()) << c.what << ": " << lines[0];
    } else {
      ASSERT_EQ(lines.size(), 1u) << c.what;
      EXPECT_TRUE(StartsWith(lines[0], c.line)) << c.what << ": " << lines[0];
    }
  }
  // None of the refused changes reached the file.
  ASSERT_EQ(db.Go(1), 1);
  long status = -1;
  EXPECT_EQ(db.Read("STATUS", status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(db.Deleted(), 0);
}

TEST(CDatabase, ReplaceOfUnknownFieldChangesNothing) {
  TempDir dir;
  std::string path = MakeAlarmTable(dir, 2);
  std::string before = ReadFile(path);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  EXPECT_EQ(db.Replace("STATUZ", 7), 0);
  EXPECT_EQ(db.Replace("STATUZ", "7"), 0);
  db.Close();
  EXPECT_EQ(ReadFile(path), before);
}

TEST(CDatabase, ReadsTextsAndNumbers) {
  TempDir dir;
  ReportCapture capture;
  std::string path = MakeAlarmTable(dir, 1);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  EXPECT_EQ(db.Replace("NAME", "ABC   "), 1);
  char name[13];
  EXPECT_EQ(db.Read("NAME", name, sizeof name), 1);
  EXPECT_STREQ(name, "ABC");
  // A short buffer gets what fits, terminated.
  EXPECT_EQ(db.Replace("NAME", "ABCDEFGHIJKL"), 1);
  char small[5];
  EXPECT_EQ(db.Read("NAME", small, sizeof small), 1);
  EXPECT_STREQ(small, "ABCD");
  std::string text;
  EXPECT_EQ(db.Read("name", text), 1);  // names are found in any case
  EXPECT_EQ(text, "ABCDEFGHIJKL");
  // Numbers stored as text read as numbers; garbage is an error.
  EXPECT_EQ(db.Replace("TIME", "000042"), 1);
  int i = 0;
  EXPECT_EQ(db.Read("TIME", i), 1);
  EXPECT_EQ(i, 42);
  EXPECT_EQ(db.Replace("TIME", "12:30"), 1);
  long v = 9;
  EXPECT_TRUE(Lines(capture).empty());
  EXPECT_EQ(db.Read("TIME", v), 0);
  EXPECT_EQ(v, 0);
  std::vector<std::string> lines = Lines(capture);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "Error: CDatabase::Read - ")) << lines[0];
  EXPECT_NE(lines[0].find("12:30"), std::string::npos);
}

TEST(CDatabase, FindsFromTheCurrentRecordOn) {
  TempDir dir;
  std::string path = MakeAlarmTable(dir, 4);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  for (long r = 1; r <= 4; ++r) {
    db.Go(r);
    db.Replace("STATUS", r % 2 == 0 ? 7 : 3);
  }
  EXPECT_EQ(db.Skip(-9), 1);  // Skip returns the record reached
  EXPECT_EQ(db.Find("STATUS", 7), 2);
  EXPECT_EQ(db.RecNo(), 2);
  EXPECT_EQ(db.Find("STATUS", 7), 2);  // the current record counts
  db.Skip(1);
  EXPECT_EQ(db.Find("STATUS", 7), 4);
  db.Top();
  EXPECT_EQ(db.Find("NAME", "CMD3"), 3);
  EXPECT_EQ(db.Find("NAME", "CMD3   "), 3);  // trailing blanks do not count
  EXPECT_EQ(db.Find("NAME", "CMD"), 0);      // exact, not a prefix
  EXPECT_EQ(db.RecNo(), 5);                  // left at the end
  db.Bottom();
  EXPECT_EQ(db.Find("NAME", "CMD1"), 0);  // starting on the last, no match
  EXPECT_EQ(db.Find("NOSUCH", "CMD1"), 0);
  db.Top();
  EXPECT_EQ(db.Find("NOSUCH", 1), 0);
  EXPECT_EQ(db.RecNo(), 1);  // an unknown field does not move
}

TEST(CDatabase, DeleteRecallPackBlankAndCopy) {
  TempDir dir;
  std::string path = MakeAlarmTable(dir, 4);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  db.Go(2);
  EXPECT_EQ(db.Delete(), 1);
  EXPECT_EQ(db.Deleted(), 1);
  db.Go(3);
  EXPECT_EQ(db.Delete(), 1);
  EXPECT_EQ(db.Recall(), 1);
  EXPECT_EQ(db.Deleted(), 0);
  // Deleted records stay visible until packed.
  EXPECT_EQ(db.RecCount(), 4);
  db.Go(2);
  EXPECT_EQ(db.Deleted(), 1);
  EXPECT_EQ(db.Pack(), 1);
  EXPECT_EQ(db.RecCount(), 3);
  std::vector<std::string> names;
  for (db.Top(); db.RecNo() <= db.RecCount(); db.Skip(1)) {
    std::string n;
    db.Read("NAME", n);
    names.push_back(n);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"CMD1", "CMD3", "CMD4"}));

  db.Go(1);
  db.Replace("STATUS", 5);
  EXPECT_EQ(db.CopyRecord(1, 3), 1);
  EXPECT_EQ(db.RecNo(), 3);
  std::string n;
  long s = 0;
  db.Read("NAME", n);
  db.Read("STATUS", s);
  EXPECT_EQ(n, "CMD1");
  EXPECT_EQ(s, 5);
  EXPECT_EQ(db.Blank(), 1);
  db.Close();
  ASSERT_EQ(db.Open(path.c_str()), 1);
  db.Go(3);
  db.Read("NAME", n);
  EXPECT_EQ(n, "");
  EXPECT_EQ(db.Read("STATUS", s), 1);  // a blank number reads as 0
  EXPECT_EQ(s, 0);
}

// Without auto-flush changes wait for Flush, a move or Close.
TEST(CDatabase, SetFlushDefersWrites) {
  TempDir dir;
  std::string path = MakeAlarmTable(dir, 2);
  CDatabase writer, reader;
  ASSERT_EQ(writer.Open(path.c_str()), 1);
  ASSERT_EQ(reader.Open(path.c_str()), 1);
  writer.SetFlush(0);
  writer.Replace("STATUS", 4);
  auto status_on_disk = [&](long record) {
    long s = -1;
    reader.Go(record);
    reader.Read("STATUS", s);
    return s;
  };
  EXPECT_EQ(status_on_disk(1), 0);
  EXPECT_EQ(writer.Flush(), 1);
  EXPECT_EQ(status_on_disk(1), 4);
  writer.Go(2);
  writer.Replace("STATUS", 6);
  writer.Go(1);  // moving writes it
  EXPECT_EQ(status_on_disk(2), 6);
  writer.Replace("STATUS", 9);
  writer.Close();
  EXPECT_EQ(status_on_disk(1), 9);
}

TEST(CDatabase, FieldNamesLengthsAndCreateErrors) {
  TempDir dir;
  ReportCapture capture;
  std::string path = MakeAlarmTable(dir, 0);
  CDatabase db;
  ASSERT_EQ(db.Open(path.c_str()), 1);
  EXPECT_EQ(db.FieldCount(), 5u);
  EXPECT_STREQ(db.Fieldname(1), "NAME");
  EXPECT_STREQ(db.Fieldname(5), "TI1");
  EXPECT_STREQ(db.Fieldname(0), "");
  EXPECT_STREQ(db.Fieldname(6), "");
  EXPECT_EQ(db.FieldLength("NAME"), 12u);
  EXPECT_EQ(db.FieldLength("STATUS"), 3u);
  EXPECT_EQ(db.FieldLength("NOSUCH"), 0u);
  EXPECT_EQ(db.IsField("TIME"), 1);
  EXPECT_EQ(db.IsField("TIMES"), 0);
  // An empty table: positioning stands at the end without complaint.
  EXPECT_EQ(db.RecCount(), 0);
  EXPECT_EQ(db.Top(), 1);
  EXPECT_EQ(db.RecNo(), 1);
  EXPECT_TRUE(Lines(capture).empty());

  const FIELD4INFO bad[] = {{"X", 'Q', 3, 0}};
  EXPECT_EQ(db.Create((dir / "bad.dbf").c_str(), bad), 0);
  std::vector<std::string> lines = Lines(capture);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "Error: CDatabase::Create - ")) << lines[0];
  EXPECT_FALSE(db.IsOpen());
}

}  // namespace
