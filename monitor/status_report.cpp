// The full status a monitoring client receives when it connects or asks for
// it: identity, connection states, configuration and seven statistics, then
// the log history.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/profile/user_profile.h"
#include "monitor/monitor_server.h"
#include "platform/strings.h"

namespace monitor {

namespace {

constexpr const char* kApplicationOutgoing =
    "<application protocole=%s inifile=%s remotesystem=\"%s\" physicallayer=\"%s\" "
    "fileversion=\"%s\" direction=\"outgoing\" />";
constexpr const char* kApplication =
    "<application protocole=%s inifile=%s remotesystem=\"%s\" physicallayer=\"%s\" "
    "fileversion=\"%s\" />";
constexpr const char* kAlarmServerState = "<event type=\"OrvConnection\" state=%d />";
constexpr const char* kRemoteSystemState = "<event type=\"RSConnection\" state=%d />";
constexpr const char* kIpAddress = "<configuration parameter=ipaddress>%s</configuration>";
constexpr const char* kIpPort = "<configuration parameter=ipport>%s</configuration>";
constexpr const char* kComPort = "<configuration parameter=comport>%s</configuration>";
constexpr const char* kMode = "<configuration parameter=mode>%s</configuration>";
constexpr const char* kDescription = "<configuration parameter=description>%s</configuration>";
constexpr const char* kStatLastAlarm = "<statistics type=LastAlarm label=\"%s\" />";
constexpr const char* kStatLastWd = "<statistics type=LastWD label=\"%s\" />";
constexpr const char* kStatLastWdAlr = "<statistics type=LastWDAlr label=\"%s\" />";
constexpr const char* kStatLastDataSent = "<statistics type=LastDataSent label=\"%s\" />";
constexpr const char* kStatLastDataReceived = "<statistics type=LastDataReceived label=\"%s\" />";
constexpr const char* kStatLastStartup = "<statistics type=LastStartup label=\"%s\" />";
constexpr const char* kStatFirstInstall = "<statistics type=FirstInstall label=\"%s\" />";

constexpr const char* kNoWatchdog = "No watchdog activated";
constexpr const char* kPhysicalWatchdogOnly =
    "No 7-layer data watchdog - only physical supervision";
constexpr const char* kStatisticTimeFormat = "%02d.%02d.%04d %02d:%02d:%02d";

constexpr const char* kStatisticsSection = "Statistics";
constexpr const char* kConfigSection = "Config";
constexpr std::size_t kProfileTextMax = 255;  // texts of 256 characters with their end

// A statistic: its key and what is shown while it holds no value.
struct Statistic {
  const char* key;
  const char* absent;
};
constexpr Statistic kLastAlarm{"LastAlarm", "No alarm started yet"};
constexpr Statistic kLastWd{"LastWD", "No watchdog received yet"};
constexpr Statistic kLastWdAlr{"LastWDAlr", "No watchdog alarm started yet"};
constexpr Statistic kLastDataReceived{"LastDataReceived", "No data received yet"};
constexpr Statistic kLastDataSent{"LastDataSent", "No data sent yet"};
constexpr Statistic kFirstInstallation{"FirstInstallation", "ERROR"};
constexpr Statistic kLastStartup{"LastStartup", "ERROR"};

// printf into a status message of at most kStatusMessageMax characters.
std::string Status(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Status(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::StringPrintfV(format, args);
  va_end(args);
  text.resize(std::min(text.size(), kStatusMessageMax));
  return text;
}

// The statistic as shown: its time (stored as hexadecimal seconds since
// 1970) in local time, or its absent-value text.
void ReadStatistic(const Statistic& stat, const std::string& profile, char* out, std::size_t size) {
  std::string value =
      core::GetIniString(kStatisticsSection, stat.key, "", profile, kProfileTextMax);
  if (value.empty()) {
    std::snprintf(out, size, "%s", stat.absent);
    return;
  }
  // The gateway writes 32-bit times; a hand-edited longer number keeps its
  // low 32 bits, the width of every statistic.
  auto seconds = static_cast<std::uint32_t>(std::strtoull(value.c_str(), nullptr, 16));
  std::time_t t = seconds;
  std::tm tm{};
  localtime_r(&t, &tm);
  std::snprintf(out, size, kStatisticTimeFormat, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace

void MonitorServer::ReadStatistics(char* last_alarm, char* last_wd, char* last_wd_alr,
                                   char* last_data_sent, char* last_data_received,
                                   char* last_startup, char* first_installation, std::size_t size) {
  ReadStatistic(kLastAlarm, profile_file_name_, last_alarm, size);
  ReadStatistic(kLastWd, profile_file_name_, last_wd, size);
  ReadStatistic(kLastWdAlr, profile_file_name_, last_wd_alr, size);
  ReadStatistic(kLastDataReceived, profile_file_name_, last_data_received, size);
  ReadStatistic(kLastDataSent, profile_file_name_, last_data_sent, size);
  ReadStatistic(kFirstInstallation, profile_file_name_, first_installation, size);
  ReadStatistic(kLastStartup, profile_file_name_, last_startup, size);
}

void MonitorServer::ReadInterfaceConfig(char* description, char* physical_layer,
                                        char* remote_system, std::size_t size) {
  std::size_t max = std::min(size - 1, kProfileTextMax);
  std::snprintf(
      description, size, "%s",
      core::GetIniString(kConfigSection, "Description", "", profile_file_name_, max).c_str());
  std::snprintf(
      physical_layer, size, "%s",
      core::GetIniString(kConfigSection, "PhysicalLayer", "", profile_file_name_, max).c_str());
  std::snprintf(
      remote_system, size, "%s",
      core::GetIniString(kConfigSection, "RemoteSystemName", "", profile_file_name_, max).c_str());
}

void MonitorServer::SendFullStatus(const char* name, const char* profile_file_name,
                                   const char* version, const char* com_port, const char* mode,
                                   int physical_layer, const char* ip_address, int port,
                                   int watchdog_kind, int direction) {
  char last_alarm[kStatisticTextSize], last_wd[kStatisticTextSize], last_wd_alr[kStatisticTextSize],
      last_data_sent[kStatisticTextSize], last_data_received[kStatisticTextSize],
      last_startup[kStatisticTextSize], first_installation[kStatisticTextSize];
  ReadStatistics(last_alarm, last_wd, last_wd_alr, last_data_sent, last_data_received, last_startup,
                 first_installation, kStatisticTextSize);
  char description[kProfileTextMax + 1], physical[kProfileTextMax + 1], remote[kProfileTextMax + 1];
  ReadInterfaceConfig(description, physical, remote, sizeof description);
  const std::string remote_shown = AttributeText(remote), physical_shown = AttributeText(physical);

  platform::RecursiveMutexLock whole(full_status_lock_);
  // Clients that connected since the last full status are served from its
  // first message on. Only the first message begins it: a client accepted
  // between the first and the second would otherwise start with the second.
  if (direction == 1) {
    QueueMessageImpl(
        Status(kApplicationOutgoing, name, profile_file_name, remote_shown.c_str(),
               physical_shown.c_str(), version),
        MonitorMessageKind::kStatus, true);
  }
  QueueMessageImpl(Status(kApplication, name, profile_file_name, remote_shown.c_str(),
                          physical_shown.c_str(), version),
                   MonitorMessageKind::kStatus, direction != 1);
  QueueMessage(Status(kAlarmServerState, alarm_server_connection_.load()),
               MonitorMessageKind::kStatus);
  QueueMessage(Status(kRemoteSystemState, remote_system_connection_.load()),
               MonitorMessageKind::kStatus);

  const std::string port_text = std::to_string(port);
  switch (physical_layer) {
    case kPhysicalLayerIp:
      QueueMessage(Status(kIpAddress, ip_address ? ip_address : ""), MonitorMessageKind::kStatus);
      QueueMessage(Status(kIpPort, port_text.c_str()), MonitorMessageKind::kStatus);
      break;
    case kPhysicalLayerSerial:
      QueueMessage(Status(kComPort, com_port), MonitorMessageKind::kStatus);
      QueueMessage(Status(kMode, mode), MonitorMessageKind::kStatus);
      break;
    case kPhysicalLayerPort:
      QueueMessage(Status(kIpPort, port_text.c_str()), MonitorMessageKind::kStatus);
      break;
    default:
      break;
  }
  QueueMessage(Status(kDescription, description), MonitorMessageKind::kStatus);

  const char* watchdog = last_wd;  // a data watchdog shows when it was last seen
  if (watchdog_kind == kWatchdogNone) watchdog = kNoWatchdog;
  if (watchdog_kind == kWatchdogPhysical) watchdog = kPhysicalWatchdogOnly;
  QueueMessage(Status(kStatLastAlarm, last_alarm), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatLastWd, watchdog), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatLastWdAlr, last_wd_alr), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatLastDataSent, last_data_sent), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatLastDataReceived, last_data_received), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatLastStartup, last_startup), MonitorMessageKind::kStatus);
  QueueMessage(Status(kStatFirstInstall, first_installation), MonitorMessageKind::kStatus);

  SendLogHistory();
}

}  // namespace monitor
