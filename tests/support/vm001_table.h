#pragma once
// Writes an alarm definition table "vm001.dbf" the way the alarm server lays
// it out (T01 to T99, numbers 10 digits wide; texts T31 to T58 as wide as the
// record's members hold, or all `text_width` wide when that is not 0), with
// alarms 0 to `alarm` and the given fields set on `alarm`'s record.
#include <string>
#include <utility>
#include <vector>

#include "platform/dbf.h"

namespace testing_support {

inline bool WriteVm001Fields(const std::string& path, long alarm,
                             const std::vector<std::pair<std::string, std::string>>& values,
                             unsigned text_width = 0) {
  std::vector<std::string> names;  // the specs point into them
  for (int k = 1; k <= 99; ++k) names.push_back((k < 10 ? "T0" : "T") + std::to_string(k));
  std::vector<platform::DbfFieldSpec> spec;
  for (int k = 1; k <= 99; ++k) {
    unsigned text = k <= 30 ? 0 : k <= 40 ? 64 : k <= 44 ? 99 : k <= 53 ? 29 : k <= 58 ? 21 : 0;
    if (text && text_width) text = text_width;
    spec.push_back({names[k - 1], text ? 'C' : 'N', text ? text : 10, 0});
  }
  platform::DbfTable table;
  if (!table.Create(path, spec)) return false;
  for (long r = 0; r <= alarm; ++r)
    if (!table.Append() || !table.SetInteger(table.FieldIndex("T01"), r)) return false;
  bool ok = true;
  for (const auto& [field, value] : values)
    ok = ok && table.SetText(table.FieldIndex(field), value);
  return table.Close() && ok;
}

}  // namespace testing_support
