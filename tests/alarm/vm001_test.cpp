// The alarm definition table: VM001File reads one record into the 99 named
// members of VM001Record, whatever the table's text widths.
#include "alarm/vm001.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/report_capture.h"
#include "support/sandbox.h"
#include "support/vm001_table.h"

namespace {

using namespace testing_support;

TEST(VM001File, ReadsTheDefaultAlarmRecordOfAnyTable) {
  // The members lie in field order, so a field read lands in its own member.
  for (int k = 1; k < alarms::kVm001FieldCount; ++k)
    EXPECT_LT(alarms::kVm001Fields[k - 1].offset, alarms::kVm001Fields[k].offset) << k;
  for (unsigned text_width : {0u, 254u}) {  // as wide as the members, and wider
    SCOPED_TRACE(text_width);
    TempDir dir;
    ReportCapture capture;
    const std::string path = dir / "vm001.dbf";
    // clang-format off
    ASSERT_TRUE(WriteVm001Fields(path, 5, {{"T02", "91"}, {"T30", "12"}, {"T31", "+41 44 000 00 00"},
        {"T41", std::string(250, 'x')}, {"T58", "last text"}, {"T59", "9999999999"}, {"T65", "3"},
        {"T99", "-1"}}, text_width));
    // clang-format on
    alarms::VM001File vm(path.c_str());
    ASSERT_TRUE(vm.IsOpen());
    alarms::VM001Record r;
    std::memset(&r, 0x55, sizeof r);
    ASSERT_TRUE(vm.ReadRecord(6, r));
    EXPECT_EQ(std::vector<long long>(
                  {r.index, r.status, r.p_ogm4, r.num6_1, r.num10_1, r.num1_16, r.year}),
              std::vector<long long>({5, alarms::kVm001AlarmExists, 12, 3, 9999999999L, -1, 0}));
    EXPECT_EQ(std::strlen(r.string100_1), alarms::kVm001Text100 - 1);  // cut to the member
    EXPECT_EQ(std::string(r.phone) + "|" + r.string22_5 + "|" + r.pager,
              "+41 44 000 00 00|last text|");
    // A record beyond the end reads blank, with the table layer's line.
    std::memset(&r, 0x55, sizeof r);
    EXPECT_TRUE(vm.ReadRecord(50, r) && r.status == 0 && !*r.phone);
    auto lines = capture.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].first.starts_with("Error: CDatabase::Go - ")) << lines[0].first;
  }
  // A missing table, and one without the T fields, which reads as all
  // zeros, quietly (the caller reports a missing table).
  TempDir dir;
  ReportCapture capture;
  alarms::VM001Record r;
  alarms::VM001File none((dir / "vm001.dbf").c_str());
  EXPECT_FALSE(none.IsOpen() || none.ReadRecord(1, r));
  const alarms::TableField other[] = {{"NAME", 'C', 10, 0}};
  alarms::AlarmTable db;
  ASSERT_TRUE(db.Create((dir / "other.dbf").c_str(), other) && db.Append() && db.Close());
  alarms::VM001File wrong((dir / "other.dbf").c_str());
  ASSERT_TRUE(wrong.IsOpen());
  std::memset(&r, 0x55, sizeof r);
  EXPECT_TRUE(wrong.ReadRecord(1, r) && r.status == 0 && r.num1_16 == 0);
  EXPECT_TRUE(capture.Take().empty());
}

}  // namespace
