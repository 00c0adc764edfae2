// The alarm definition table: VM001File reads one record into the 99 named
// members of VM001Record, whatever the table's text widths.
#include "alarm/vm001.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/report_capture.h"
#include "support/sandbox.h"

namespace {

using testing_support::ReportCapture;
using testing_support::TempDir;

// The alarm server's layout: numbers of 10 digits, texts as wide as the
// record's members hold, or all `text_width` wide when that is not 0.
std::vector<FIELD4INFO> Vm001Layout(std::vector<std::string>& names, unsigned text_width) {
  names.clear();
  for (int k = 1; k <= kVm001FieldCount; ++k) {
    names.push_back((k < 10 ? "T0" : "T") + std::to_string(k));
  }
  std::vector<FIELD4INFO> fields;
  for (int k = 1; k <= kVm001FieldCount; ++k) {
    const VM001FieldInfo& info = kVm001Fields[k - 1];
    bool text = info.text_size != 0;
    unsigned width = !text        ? 10
                     : text_width ? text_width
                                  : static_cast<unsigned>(info.text_size) - 1;
    fields.push_back({names[static_cast<std::size_t>(k - 1)].c_str(), text ? 'C' : 'N', width, 0});
  }
  return fields;
}

// Alarm `alarm` defined in a table of alarms 0 to `alarm`.
std::string MakeVm001(const TempDir& dir, long alarm, unsigned text_width) {
  std::string path = dir / "vm001.dbf";
  std::vector<std::string> names;
  std::vector<FIELD4INFO> layout = Vm001Layout(names, text_width);
  CDatabase db;
  EXPECT_EQ(db.Create(path.c_str(), layout), 1);
  for (long r = 0; r <= alarm; ++r) {
    EXPECT_EQ(db.Append(), 1);
    EXPECT_EQ(db.Replace("T01", r), 1);
  }
  EXPECT_EQ(db.Replace("T02", kVm001AlarmExists), 1);
  EXPECT_EQ(db.Replace("T30", 12L), 1);
  EXPECT_EQ(db.Replace("T31", "+41 44 000 00 00"), 1);
  EXPECT_EQ(db.Replace("T41", std::string(250, 'x').c_str()), 1);
  EXPECT_EQ(db.Replace("T58", "last text"), 1);
  EXPECT_EQ(db.Replace("T59", 9999999999L), 1);
  EXPECT_EQ(db.Replace("T65", 3L), 1);
  EXPECT_EQ(db.Replace("T99", -1L), 1);
  db.Close();
  return path;
}

TEST(VM001Record, MembersFollowTheFieldOrder) {
  struct Want {
    int field;
    const char* name;
    std::size_t text_size;
  } want[] = {
      {1, "index", 0},          {2, "status", 0},       {30, "p_ogm4", 0},
      {31, "phone", 65},        {33, "text_opt1", 65},  {40, "string65_10", 65},
      {41, "string100_1", 100}, {45, "string30_1", 30}, {53, "string30_9", 30},
      {54, "string22_1", 22},   {58, "string22_5", 22}, {59, "num10_1", 0},
      {65, "num6_1", 0},        {69, "num4_1", 0},      {79, "num2_1", 0},
      {84, "num1_1", 0},        {99, "num1_16", 0},
  };
  for (const Want& w : want) {
    EXPECT_STREQ(kVm001Fields[w.field - 1].name, w.name) << w.field;
    EXPECT_EQ(kVm001Fields[w.field - 1].text_size, w.text_size) << w.field;
  }
  for (int k = 1; k < kVm001FieldCount; ++k) {
    EXPECT_LT(kVm001Fields[k - 1].offset, kVm001Fields[k].offset) << k;
  }
  EXPECT_EQ(kVm001Fields[29].offset, offsetof(VM001Record, p_ogm4));
  EXPECT_EQ(kVm001Fields[64].offset, offsetof(VM001Record, num6_1));
}

TEST(VM001File, ReadsTheDefaultAlarmRecord) {
  for (unsigned text_width : {0u, 254u}) {  // as wide as the members, and wider
    TempDir dir;
    ReportCapture capture;
    const long alarm = 5;
    std::string path = MakeVm001(dir, alarm, text_width);
    VM001File vm(path.c_str());
    ASSERT_TRUE(vm.IsOpen());
    VM001Record r;
    std::memset(&r, 0x55, sizeof r);
    ASSERT_EQ(vm.ReadRecord(alarm + 1, r), 1);
    EXPECT_EQ(r.index, alarm);
    EXPECT_EQ(r.status, kVm001AlarmExists);
    EXPECT_EQ(r.p_ogm4, 12);
    EXPECT_EQ(r.num6_1, 3);
    EXPECT_EQ(r.num10_1, 9999999999L);
    EXPECT_EQ(r.num1_16, -1);
    EXPECT_EQ(r.year, 0);
    EXPECT_STREQ(r.phone, "+41 44 000 00 00");
    EXPECT_EQ(std::strlen(r.string100_1), kVm001Text100 - 1);  // cut to the member
    EXPECT_STREQ(r.string22_5, "last text");
    EXPECT_STREQ(r.pager, "");
    vm.Close();
    EXPECT_TRUE(capture.Take().empty());
  }
}

TEST(VM001File, MissingTablesAndRecords) {
  TempDir dir;
  ReportCapture capture;
  VM001File none((dir / "vm001.dbf").c_str());
  EXPECT_FALSE(none.IsOpen());
  VM001Record r;
  EXPECT_EQ(none.ReadRecord(1, r), 0);
  EXPECT_TRUE(capture.Take().empty());  // the caller reports a missing table

  std::string path = MakeVm001(dir, 1, 0);
  VM001File vm(path.c_str());
  ASSERT_TRUE(vm.IsOpen());
  std::memset(&r, 0x55, sizeof r);
  EXPECT_EQ(vm.ReadRecord(50, r), 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_STREQ(r.phone, "");
  auto lines = capture.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first.rfind("Error: CDatabase::Go - ", 0), 0u) << lines[0].first;

  // A table without the T fields reads as all zeros, quietly.
  const FIELD4INFO other[] = {{"NAME", 'C', 10, 0}};
  CDatabase db;
  ASSERT_EQ(db.Create((dir / "other.dbf").c_str(), other), 1);
  db.Append();
  db.Close();
  VM001File wrong((dir / "other.dbf").c_str());
  ASSERT_TRUE(wrong.IsOpen());
  std::memset(&r, 0x55, sizeof r);
  EXPECT_EQ(wrong.ReadRecord(1, r), 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.num1_16, 0);
  EXPECT_TRUE(capture.Take().empty());
}

}  // namespace
