#include "monitor/event_job.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/profile/user_profile.h"
#include "monitor/interface_record.h"
#include "platform/held_temporary.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/strings.h"
#include "platform/unique_fd.h"

namespace monitor {

namespace {
constexpr const char* kSection = "AlarmDatabase";
constexpr const char* kColumns =
    "INSERT INTO %s (servername,tstamp,errorlevel,moduletype,modulename,username,errorcode,"
    "errortext,errorvalues,reference,alrnumber,linenumber,locking";
constexpr const char* kValues = "%s VALUES ('%s',%d,%d,%d,'%s','%s',%d,'%s','%s','%s',%d,%d,0";
constexpr const char* kJobFileFormat = "[Data]\nDataBase=%s\nTable=%s\nSqlCmd=%s\n";
constexpr const char* kBaseName = "%s_%s_INSERT_%s_%s.job";
constexpr const char* kCountedName = "%s_%s_INSERT_%s_%s_%d.job";
constexpr int kMaxNameCounter = 100000;  // gives up rather than spin on a broken directory
// The file is written under this name first, so the database writer, which
// takes every "*.job", never reads one half-written. Hidden, and ending in
// random letters and ".tmp", it matches no job mask.
constexpr const char* kTempName = ".event_job.XXXXXX.tmp";
constexpr int kTempSuffixLength = 4;  // ".tmp"
}  // namespace

bool IsEventJobTemporaryName(std::string_view name) {
  // ".event_job." + six random letters or digits + ".tmp"
  constexpr std::string_view kHead = ".event_job.", kTail = ".tmp";
  return name.size() == kHead.size() + 6 + kTail.size() && name.starts_with(kHead) &&
         name.ends_with(kTail);
}

std::string EventJobFileDirectory() {
  return platform::NativePath(
      core::GetIniString(kSection, "JobFilePath", kDefaultJobFilePath, kAlarmDbFile, 127));
}

namespace {

// Quotes and line ends would break the statement or its one-line form.
void Clean(std::string& s) {
  for (char& c : s)
    if (c == '\'' || c == '"' || c == '\n' || c == '\r') c = ' ';
}

// Gives the whole file `temp` the name `path` unless that name is taken
// (errno EEXIST then), never replacing a file. The rename is one step; where
// the file system cannot rename without replacing, a hard link does the same.
bool ClaimName(const std::string& temp, const std::string& path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  if (link(temp.c_str(), path.c_str()) != 0) return false;
  unlink(temp.c_str());
  return true;
}

// Text-mode file: every line feed goes to disk as CR LF.
std::string ToCrLf(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}
}  // namespace

int WriteEventJob(int errorlevel, int errorcode, const InterfaceRecord& record,
                  std::string& errortext, std::string* errorvalues, int moduletype,
                  const char* username, const char* reference, int alrnumber, int linenumber) {
  if (core::GetIniInt(kSection, "WriteDataToDb", 0, kAlarmDbFile) != 1 ||
      core::GetIniInt(kSection, "WriteJobFiles", 0, kAlarmDbFile) != 1)
    return 0;

  const std::time_t now = record.clock().WallSeconds();
  int tstamp = static_cast<int>(static_cast<unsigned>(now));
  std::string computer = platform::ComputerName(80);
  std::string database = core::GetIniString(kSection, "DBEvents", "qx_event", kAlarmDbFile, 79);
  std::string table = core::GetIniString(kSection, "EventTable", "event_data", kAlarmDbFile, 79);
  std::string user = username ? username : "";
  std::string ref = reference ? reference : "";
  const std::string& module = record.name();
  std::string empty_values;
  std::string& values = errorvalues ? *errorvalues : empty_values;

  Clean(errortext);
  Clean(values);

  std::string columns = platform::StringPrintf(kColumns, table.c_str()) + ")";
  auto build = [&] {
    return platform::StringPrintf(kValues, columns.c_str(), computer.c_str(), tstamp, errorlevel,
                                  moduletype, module.c_str(), user.c_str(), errorcode,
                                  errortext.c_str(), values.c_str(), ref.c_str(), alrnumber,
                                  linenumber) +
           ")";
  };
  std::string statement = build();
  // An over-long event keeps its statement whole by giving up the end of its
  // text, then of its values.
  if (statement.size() > kStatementMax) {
    std::size_t excess = statement.size() - kStatementMax;
    std::size_t cut = std::min(excess, errortext.size());
    errortext.resize(errortext.size() - cut);
    excess -= cut;
    values.resize(values.size() - std::min(excess, values.size()));
    statement = build();
  }

  std::string content = ToCrLf(
      platform::StringPrintf(kJobFileFormat, database.c_str(), table.c_str(), statement.c_str()));
  std::string dir = EventJobFileDirectory();
  std::string hex = platform::StringPrintf("%x", static_cast<unsigned>(now));

  std::string temp = platform::JoinPath(dir, kTempName);
  // Held until it has its name, so a start-up clean-up only ever removes
  // those of a killed run.
  platform::HeldTemporary held;
  if (!held.Create(temp, kTempSuffixLength)) return 0;
  fchmod(held.fd(), platform::NewFileMode());  // as an ordinary new file, not mkstemp's 0600
  bool written = platform::WriteAll(held.fd(), content.data(), content.size()).ok();
  written = held.CloseWriting() && written;
  if (!written) {
    unlink(temp.c_str());
    return 0;
  }
  for (int counter = 0; counter < kMaxNameCounter; ++counter) {
    std::string name = counter == 0
                           ? platform::StringPrintf(kBaseName, database.c_str(), table.c_str(),
                                                    computer.c_str(), hex.c_str())
                           : platform::StringPrintf(kCountedName, database.c_str(), table.c_str(),
                                                    computer.c_str(), hex.c_str(), counter);
    // The name is claimed only by the finished file and never replaces one,
    // so two writers sharing the directory never end up in the same file.
    if (ClaimName(temp, platform::JoinPath(dir, name))) return 1;
    if (errno != EEXIST) break;
  }
  unlink(temp.c_str());
  return 0;
}

}  // namespace monitor
