#pragma once
// The configuration read once at start from the program's profile file
// ("ocelam.ini"), and the tables it fills: cameras (numbers 1 to 159), their
// stream and command records, video servers (1 to 49) and the streaming
// servers' watch directories. Nothing is reloaded while the gateway runs.
#include <string>
#include <vector>

#include "acquisition/camera/camera.h"
#include "camera_http/command_records.h"
#include "camera_http/video_server.h"
#include "core/camera_identity.h"
#include "core/settings.h"
#include "platform/clock.h"

namespace app {

// The tables the loader fills, held by the gateway object.
struct ConfigurationTables {
  acquisition::CameraTable& cameras;
  camera_http::CommandRecords& commands;
  camera_http::VideoServerTable& video_servers;
};

// What loading found: the settings of "Config" with the streaming servers'
// watch directories, and the threads to start once the gateway is ready.
struct WatchdogStart {
  int camera = 0;
  int timeout = 0;
  int pause = 0;
  int alarm = 0;
};
struct LoadedConfiguration {
  core::Settings settings;
  std::vector<int> streams;  // cameras whose stream threads start
  std::vector<WatchdogStart> watchdogs;
  std::vector<int> alarm_inputs;  // video servers whose alarm input starts
};

// Reads the profile `profile_file_name` (the program name followed by
// ".ini"), writes defaults back, fills the camera, command-record and
// video-server tables and creates the working directories. Starts no thread.
LoadedConfiguration LoadConfiguration(const std::string& profile_file_name,
                                      const ConfigurationTables& tables);

// Starts what loading found configured: stream threads, watchdogs and alarm
// inputs; alarms start through `alarms`, and the alarm inputs' pauses are
// measured on `clock`.
void StartConfiguredThreads(const LoadedConfiguration& loaded, const ConfigurationTables& tables,
                            alarms::AlarmServer& alarms, platform::Clock& clock);

// The request URI and header an older "GetParam" line stands for; false when
// it names no path (then nothing changes).
bool SplitGetParam(const std::string& get_param, std::string* uri, std::string* header);

}  // namespace app
