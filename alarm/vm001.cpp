#include "alarm/vm001.h"

#include <cstdio>
#include <cstring>

#include "core/report.h"

namespace alarms {

namespace {
static constexpr const char* kFieldNameFormat = "T%02d";
static constexpr const char* kNotOpen = "the table of alarm definitions is not open";
}  // namespace

const VM001FieldInfo kVm001Fields[kVm001FieldCount] = {
    {"index", offsetof(VM001Record, index), 0},
    {"status", offsetof(VM001Record, status), 0},
    {"year", offsetof(VM001Record, year), 0},
    {"day", offsetof(VM001Record, day), 0},
    {"hour", offsetof(VM001Record, hour), 0},
    {"min", offsetof(VM001Record, min), 0},
    {"used_year", offsetof(VM001Record, used_year), 0},
    {"used_day", offsetof(VM001Record, used_day), 0},
    {"pwd", offsetof(VM001Record, pwd), 0},
    {"n_mbx", offsetof(VM001Record, n_mbx), 0},
    {"mbx_ch_f", offsetof(VM001Record, mbx_ch_f), 0},
    {"mbx_ch_r", offsetof(VM001Record, mbx_ch_r), 0},
    {"p_mbx_f", offsetof(VM001Record, p_mbx_f), 0},
    {"p_mbx_r", offsetof(VM001Record, p_mbx_r), 0},
    {"type_alt", offsetof(VM001Record, type_alt), 0},
    {"type_tag", offsetof(VM001Record, type_tag), 0},
    {"type_ogm", offsetof(VM001Record, type_ogm), 0},
    {"p_ogm1", offsetof(VM001Record, p_ogm1), 0},
    {"p_ogm2", offsetof(VM001Record, p_ogm2), 0},
    {"n_msg", offsetof(VM001Record, n_msg), 0},
    {"type_msg", offsetof(VM001Record, type_msg), 0},
    {"msg_ch_f", offsetof(VM001Record, msg_ch_f), 0},
    {"msg_ch_r", offsetof(VM001Record, msg_ch_r), 0},
    {"p_msg_f", offsetof(VM001Record, p_msg_f), 0},
    {"p_msg_r", offsetof(VM001Record, p_msg_r), 0},
    {"type_answr", offsetof(VM001Record, type_answr), 0},
    {"type_phone", offsetof(VM001Record, type_phone), 0},
    {"p_ogm3", offsetof(VM001Record, p_ogm3), 0},
    {"type_pager", offsetof(VM001Record, type_pager), 0},
    {"p_ogm4", offsetof(VM001Record, p_ogm4), 0},
    {"phone", offsetof(VM001Record, phone), sizeof(VM001Record::phone)},
    {"pager", offsetof(VM001Record, pager), sizeof(VM001Record::pager)},
    {"text_opt1", offsetof(VM001Record, text_opt1), sizeof(VM001Record::text_opt1)},
    {"string65_4", offsetof(VM001Record, string65_4), sizeof(VM001Record::string65_4)},
    {"string65_5", offsetof(VM001Record, string65_5), sizeof(VM001Record::string65_5)},
    {"string65_6", offsetof(VM001Record, string65_6), sizeof(VM001Record::string65_6)},
    {"string65_7", offsetof(VM001Record, string65_7), sizeof(VM001Record::string65_7)},
    {"string65_8", offsetof(VM001Record, string65_8), sizeof(VM001Record::string65_8)},
    {"string65_9", offsetof(VM001Record, string65_9), sizeof(VM001Record::string65_9)},
    {"string65_10", offsetof(VM001Record, string65_10), sizeof(VM001Record::string65_10)},
    {"string100_1", offsetof(VM001Record, string100_1), sizeof(VM001Record::string100_1)},
    {"string100_2", offsetof(VM001Record, string100_2), sizeof(VM001Record::string100_2)},
    {"string100_3", offsetof(VM001Record, string100_3), sizeof(VM001Record::string100_3)},
    {"string100_4", offsetof(VM001Record, string100_4), sizeof(VM001Record::string100_4)},
    {"string30_1", offsetof(VM001Record, string30_1), sizeof(VM001Record::string30_1)},
    {"string30_2", offsetof(VM001Record, string30_2), sizeof(VM001Record::string30_2)},
    {"string30_3", offsetof(VM001Record, string30_3), sizeof(VM001Record::string30_3)},
    {"string30_4", offsetof(VM001Record, string30_4), sizeof(VM001Record::string30_4)},
    {"string30_5", offsetof(VM001Record, string30_5), sizeof(VM001Record::string30_5)},
    {"string30_6", offsetof(VM001Record, string30_6), sizeof(VM001Record::string30_6)},
    {"string30_7", offsetof(VM001Record, string30_7), sizeof(VM001Record::string30_7)},
    {"string30_8", offsetof(VM001Record, string30_8), sizeof(VM001Record::string30_8)},
    {"string30_9", offsetof(VM001Record, string30_9), sizeof(VM001Record::string30_9)},
    {"string22_1", offsetof(VM001Record, string22_1), sizeof(VM001Record::string22_1)},
    {"string22_2", offsetof(VM001Record, string22_2), sizeof(VM001Record::string22_2)},
    {"string22_3", offsetof(VM001Record, string22_3), sizeof(VM001Record::string22_3)},
    {"string22_4", offsetof(VM001Record, string22_4), sizeof(VM001Record::string22_4)},
    {"string22_5", offsetof(VM001Record, string22_5), sizeof(VM001Record::string22_5)},
    {"num10_1", offsetof(VM001Record, num10_1), 0},
    {"num10_2", offsetof(VM001Record, num10_2), 0},
    {"num10_3", offsetof(VM001Record, num10_3), 0},
    {"num10_4", offsetof(VM001Record, num10_4), 0},
    {"num10_5", offsetof(VM001Record, num10_5), 0},
    {"num10_6", offsetof(VM001Record, num10_6), 0},
    {"num6_1", offsetof(VM001Record, num6_1), 0},
    {"num6_2", offsetof(VM001Record, num6_2), 0},
    {"num6_3", offsetof(VM001Record, num6_3), 0},
    {"num6_4", offsetof(VM001Record, num6_4), 0},
    {"num4_1", offsetof(VM001Record, num4_1), 0},
    {"num4_2", offsetof(VM001Record, num4_2), 0},
    {"num4_3", offsetof(VM001Record, num4_3), 0},
    {"num4_4", offsetof(VM001Record, num4_4), 0},
    {"num4_5", offsetof(VM001Record, num4_5), 0},
    {"num4_6", offsetof(VM001Record, num4_6), 0},
    {"num4_7", offsetof(VM001Record, num4_7), 0},
    {"num4_8", offsetof(VM001Record, num4_8), 0},
    {"num4_9", offsetof(VM001Record, num4_9), 0},
    {"num4_10", offsetof(VM001Record, num4_10), 0},
    {"num2_1", offsetof(VM001Record, num2_1), 0},
    {"num2_2", offsetof(VM001Record, num2_2), 0},
    {"num2_3", offsetof(VM001Record, num2_3), 0},
    {"num2_4", offsetof(VM001Record, num2_4), 0},
    {"num2_5", offsetof(VM001Record, num2_5), 0},
    {"num1_1", offsetof(VM001Record, num1_1), 0},
    {"num1_2", offsetof(VM001Record, num1_2), 0},
    {"num1_3", offsetof(VM001Record, num1_3), 0},
    {"num1_4", offsetof(VM001Record, num1_4), 0},
    {"num1_5", offsetof(VM001Record, num1_5), 0},
    {"num1_6", offsetof(VM001Record, num1_6), 0},
    {"num1_7", offsetof(VM001Record, num1_7), 0},
    {"num1_8", offsetof(VM001Record, num1_8), 0},
    {"num1_9", offsetof(VM001Record, num1_9), 0},
    {"num1_10", offsetof(VM001Record, num1_10), 0},
    {"num1_11", offsetof(VM001Record, num1_11), 0},
    {"num1_12", offsetof(VM001Record, num1_12), 0},
    {"num1_13", offsetof(VM001Record, num1_13), 0},
    {"num1_14", offsetof(VM001Record, num1_14), 0},
    {"num1_15", offsetof(VM001Record, num1_15), 0},
    {"num1_16", offsetof(VM001Record, num1_16), 0},
};

// Whether the table opened is IsOpen(); a caller that wants the reason
// calls Open itself.
VM001File::VM001File(const char* path) { (void)Open(path); }

platform::Status VM001File::Open(const char* path) { return AlarmTable::Open(path); }

platform::Status VM001File::ReadRecord(long record, VM001Record& out) {
  if (!IsOpen()) return platform::Status::Failure(kNotOpen);
  std::memset(&out, 0, sizeof out);
  // Nothing stops on what cannot be read: it reads as 0 or empty, and the
  // table's trouble is told here, one line each (a record that does not
  // exist, a field holding no number; a field the table lacks is no trouble).
  auto tell = [](const platform::Status& read) {
    if (!read) core::ReportToInterface(read.reason(), core::ReportLevel::kError);
  };
  tell(Go(record));
  char* base = reinterpret_cast<char*>(&out);
  for (int k = 1; k <= kVm001FieldCount; ++k) {
    char name[8];
    std::snprintf(name, sizeof name, kFieldNameFormat, k);
    if (!IsField(name)) continue;
    const VM001FieldInfo& info = kVm001Fields[k - 1];
    if (info.text_size == 0) {
      long value = 0;
      tell(Read(name, value));
      std::memcpy(base + info.offset, &value, sizeof value);
    } else {
      tell(Read(name, base + info.offset, info.text_size));
    }
  }
  return {};
}

}  // namespace alarms
