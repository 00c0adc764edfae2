#pragma once
// The gateway's objects: everything the threads of one running gateway share,
// built by main in the order they depend on each other and handed down by
// reference. Threads use it until the process ends, so it is never
// destroyed.
#include <memory>
#include <string>

#include "acquisition/camera/camera.h"
#include "alarm/alarm_start.h"
#include "app/configuration.h"
#include "camera_http/command_records.h"
#include "camera_http/video_server.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "jobs/job.h"
#include "jobs/job_watcher.h"
#include "platform/clock.h"
#include "status/status_server.h"

namespace app {

struct Gateway {
  explicit Gateway(platform::Clock& clock_in) : clock(clock_in), cameras(clock_in) {}
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  ConfigurationTables tables() { return {cameras, commands, video_servers}; }

  platform::Clock& clock;
  core::Metrics metrics;
  // Filled by the configuration loader, then only read.
  core::Settings settings;
  acquisition::CameraTable cameras;
  camera_http::CommandRecords commands;
  camera_http::VideoServerTable video_servers;
  // Made once the settings are known.
  std::unique_ptr<alarms::AlarmServer> alarms;
  std::unique_ptr<jobs::JobRunner> jobs;
  std::unique_ptr<jobs::JobWatcher> watcher;
  std::unique_ptr<status::StatusServer> status;
};

}  // namespace app
