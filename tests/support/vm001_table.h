#pragma once
// Writes an alarm definition table "vm001.dbf" the way the alarm server lays
// it out (T01 to T99; texts T31 to T58), with alarms 0 to `alarm` and the
// three fields the default-alarm check looks at set on `alarm`'s record.
#include <string>
#include <vector>

#include "platform/dbf.h"

namespace testing_support {

struct DefaultAlarmFields {
  long status;  // T02: 91 when the alarm exists
  long group;   // T30
  long second;  // T65: second technical alarm
};

inline bool WriteVm001(const std::string& path, long alarm, const DefaultAlarmFields& fields) {
  std::vector<std::string> names;
  for (int k = 1; k <= 99; ++k) names.push_back((k < 10 ? "T0" : "T") + std::to_string(k));
  std::vector<platform::DbfFieldSpec> spec;
  for (int k = 1; k <= 99; ++k) {
    unsigned text = k <= 30 ? 0 : k <= 40 ? 64 : k <= 44 ? 99 : k <= 53 ? 29 : k <= 58 ? 21 : 0;
    spec.push_back({names[k - 1], text ? 'C' : 'N', text ? text : 10, 0});
  }
  platform::DbfTable table;
  if (!table.Create(path, spec)) return false;
  for (long r = 0; r <= alarm; ++r) {
    if (!table.Append() || !table.SetInteger(table.FieldIndex("T01"), r)) return false;
  }
  bool ok = table.SetInteger(table.FieldIndex("T02"), fields.status) &&
            table.SetInteger(table.FieldIndex("T30"), fields.group) &&
            table.SetInteger(table.FieldIndex("T65"), fields.second);
  return table.Close() && ok;
}

}  // namespace testing_support
