#pragma once
// Event records for the SQL event database, written as job files that a
// separate database writer picks up: one INSERT statement per file.
#include <string>
#include <string_view>

namespace monitor {

class InterfaceRecord;

inline constexpr const char* kAlarmDbFile = "qx_alarm_db.ini";
inline constexpr std::size_t kStatementMax = 2047;
inline constexpr const char* kDefaultJobFilePath = "\\qxt\\sqljob";

// The folder of the event job files ("JobFilePath" of "qx_alarm_db.ini").
std::string EventJobFileDirectory();
// True for the name of an event job file still being written.
bool IsEventJobTemporaryName(std::string_view name);

// Writes one event job file when "WriteDataToDb" and "WriteJobFiles" of
// "qx_alarm_db.ini" are both 1. Quotes and line ends in `errortext` and
// `errorvalues` are turned into blanks in place. The module name and the
// wall time the file and statement carry are `record`'s. Returns 1 when a
// file was written, else 0.
int WriteEventJob(int errorlevel, int errorcode, const InterfaceRecord& record,
                  std::string& errortext, std::string* errorvalues, int moduletype,
                  const char* username, const char* reference, int alrnumber, int linenumber);

}  // namespace monitor
