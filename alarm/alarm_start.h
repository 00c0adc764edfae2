#pragma once
// How the gateway starts alarms on the alarm server and tells it how a
// camera command went, all through the alarm server's own files and
// programs: a fresh alarm reference with its empty ".L1" file in the log
// directory, a batch file or the alarm server's command-line tool started
// detached, and the status fields of the alarm's dbf table.
//
// Every file these operations touch lies directly in "LogDirectory": a
// reference holding a directory separator is refused, so no reference can
// lead a write outside it.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/metrics.h"
#include "platform/clock.h"
#include "platform/status.h"

namespace alarms {

// "%08X" of a time, and its terminating NUL.
inline constexpr std::size_t kAlarmReferenceSize = 9;
// Names of the ".L1" file tried (the current time, then one second further
// each time) before AlarmServer::CreateReference gives up.
inline constexpr int kAlarmReferenceAttempts = 1000;

// The batch file an input alarm is started with when it exists in the
// working directory; otherwise, or when it cannot be started, the alarm
// server's tool is run.
inline constexpr char kAlarmBatchFile[] = "ocelam.bat";

// Status values of a command in the alarm's table.
inline constexpr int kCommandRunning = 7;
inline constexpr int kCommandSucceeded = 8;
inline constexpr int kCommandFailed = 3;

// True when `reference` can name a file directly in the log directory: not
// empty and without '/' or '\'.
bool IsSafeAlarmReference(std::string_view reference);

// The alarm server as the gateway meets it: its files in "LogDirectory" (the
// ".L1" reference files and the alarms' dbf tables) and the programs it runs.
// One per gateway, built by app/ once the configuration is read; any thread
// may call it at any time (it keeps no state but the launch counters).
class AlarmServer {
 public:
  // `log_directory` is "LogDirectory" as a Linux path ("" : the working
  // directory). Launches are counted in `metrics`; reference names and the
  // table's time fields are written from the wall time of `clock`.
  AlarmServer(std::string log_directory, core::Metrics& metrics, platform::Clock& clock);

  const std::string& log_directory() const { return log_directory_; }

  // Makes a fresh alarm reference ("%08X" of the current time, a few seconds
  // later when that name is taken) and its empty ".L1" file, created
  // exclusively so that callers in other threads and processes get other
  // references. Fails when no file could be made (the log directory is
  // missing or not writable, or kAlarmReferenceAttempts names were taken);
  // the reason is the gateway's line for it, "ERROR: unable to create an
  // alarm reference file in ...". The buffer (at least kAlarmReferenceSize
  // bytes, else a failure and nothing done) always receives a reference, so
  // a caller may still start its alarm under it.
  platform::Status CreateReference(std::span<char> reference_out);

  // Starts an alarm detached: "%s %d %s %s %d %s" (script, alarm, text A,
  // reference, number B, name) when `script` is a file relative to the
  // working directory, else "qxe qxarun 1 -i4%d -s3%s -s8%s -s9alr" (alarm,
  // reference, name). A script that is there but cannot be started is
  // reported here, at level 3 and on the console, as "ERROR: unable to start
  // '<command line>' (<why>)", and the alarm is started with the tool
  // instead. Reports "start '%s'" before each try; fails when the last one
  // could not start, the reason being that line for it.
  platform::Status LaunchAlarm(std::string_view script, int alarm, std::string_view text_a,
                               std::string_view reference, int number_b, std::string_view name);

  // Starts `command_line` detached and counts the launch (or its failure).
  // Fails, with the launcher's reason, when it could not start.
  platform::Status RunDetached(const std::string& command_line);

  // Writes `status` and the local time into record `entry` + 1 of the
  // alarm's table "<reference>.dbf" (any case of the name; "STATUS", "TIME",
  // "TO1", "TI1") in one write. This is where its failures are decided, as
  // the alarm server's rules are known here and its callers only queue the
  // writes: a missing table is normal (the alarm has no commands; nothing
  // said), and the rest is reported here, one line each at level 3: an
  // unsafe reference (on the console too), a table that is no table, a
  // record that does not exist, a field that cannot take its value, a
  // record that could not be written (the table may only be read, stayed
  // locked for 5 s, ...; the line tells which table and why).
  void UpdateAlarmDatabase(std::string_view reference, int entry, int status);

 private:
  const std::string log_directory_;
  core::Metrics& metrics_;
  platform::Clock& clock_;
};

}  // namespace alarms
