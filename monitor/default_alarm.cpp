// The check of the default alarm: the alarm the alarm server starts when a
// report cannot be decoded must exist, belong to a valid group and start a
// second technical alarm. Monitoring clients are warned once per connection
// when it does not.
#include <cstdio>
#include <memory>
#include <string>

#include "alarm/vm001.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "monitor/monitor_server.h"
#include "platform/paths.h"

namespace monitor {

namespace {

constexpr const char* kOpenFailed = "failed opening VMDB";
constexpr const char* kNoSecondTechnicalAlarm =
    "WARNING: It's recommended the default alarm %d to be configured for starting a second "
    "technical alarm - please configure it from the alarm configurator, page 'Extended "
    "Settings'. The default alarm shoud only be started in case of problem when decoding the data";
constexpr const char* kNoValidGroup =
    "WARNING: A valid group is required for the default alarm - please set a valid group to the "
    "default alarm %d";
constexpr const char* kDoesNotExist =
    "WARNING: The default alarm %d does not exist - please create it and configure it from the "
    "alarm central";

constexpr const char* kAlarmServerProfile = "qxaconf.ini";
constexpr const char* kVm001FileName = "vm001.dbf";
constexpr std::size_t kPathTextMax = 259;
constexpr long kLowestValidGroup = 9;
constexpr long kLowestSecondTechnicalAlarm = 1;

}  // namespace

int MonitorServer::CheckDefaultAlarm(char* text, std::size_t size) {
  std::string directory =
      core::GetIniString("Config", "Vm001Path", "", kAlarmServerProfile, kPathTextMax);
  std::string path = platform::JoinPath(platform::RemoveDrive(directory), kVm001FileName);

  // A file that is there but holds no table says so in the table's own line
  // first.
  auto table = std::make_unique<alarms::VM001File>(path.c_str());
  auto open = [&] {
    platform::Status opened = table->Open(path.c_str());
    if (opened) return true;
    if (!table->FileUnavailable())
      core::ReportToInterface(opened.reason(), core::ReportLevel::kError);
    WriteLog(kOpenFailed);
    return false;
  };
  // First only whether the table opens at all, before the settings decide
  // whether it is looked into. Nothing is changed in it: closing cannot fail.
  if (!open()) return -1;
  (void)table->Close();

  int scan = core::GetIniInt("DBAlarmScan", "ScanDbForAlarm", 0, profile_file_name_);
  int alarm = core::GetIniInt("DBAlarmScan", "DefaultAlarmNbr", 0, profile_file_name_);
  if (scan == 0) return 0;

  if (!open()) return -1;
  // Record n + 1 holds alarm n; the open table reads it whatever it holds.
  auto record = std::make_unique<alarms::VM001Record>();
  (void)table->ReadRecord(static_cast<long>(alarm) + 1, *record);

  // Each failing test replaces the text of the one before: the last one
  // failing is reported.
  int warned = 0;
  if (record->num6_1 < kLowestSecondTechnicalAlarm) {
    std::snprintf(text, size, kNoSecondTechnicalAlarm, alarm);
    warned = 1;
  }
  if (record->p_ogm4 < kLowestValidGroup) {
    std::snprintf(text, size, kNoValidGroup, alarm);
    warned = 1;
  }
  if (record->status != alarms::kVm001AlarmExists) {
    std::snprintf(text, size, kDoesNotExist, alarm);
    warned = 1;
  }
  (void)table->Close();
  return warned;
}

}  // namespace monitor
