// ocelam: the IP-camera gateway. Starts once per machine, reads its
// configuration, starts the per-camera and per-server threads and the job
// watcher, then idles until the named event "Global\ocelam_restart" is set
// (or SIGTERM / SIGINT arrives) and ends with every thread in it.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "app/configuration.h"
#include "app/gateway.h"
#include "app/startup.h"
#include "core/application_info.h"
#include "core/console.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "jobs/finished_move.h"
#include "jobs/http_command.h"
#include "jobs/image_copy.h"
#include "jobs/job_watcher.h"
#include "monitor/event_job.h"
#include "monitor/interface_record.h"
#include "monitor/monitor_server.h"
#include "platform/held_temporary.h"
#include "platform/named_objects.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "status/status_server.h"

namespace app {
namespace {

constexpr const char* kAlreadyStarted = "ocelam is already started";
constexpr const char* kRunDirUnusable = "ERROR: cannot use the lock file %s (%s)";
constexpr const char* kNoMonitor = "ERROR: no memory for the interface monitor server";
constexpr const char* kNoJobWatcher =
    "ERROR: could not start the job watcher thread: no job will run";
constexpr const char* kBannerRule = "--------------------------------";
constexpr const char* kBannerFormat = "Talvane IP Camera v.%d.%d.%d.%d";
constexpr const char* kVersionFormat = "v.%d.%d.%d.%d";
constexpr const char* kInstanceLockName = "ocelam_one_start";
constexpr const char* kRestartEventName = "Global\\ocelam_restart";
constexpr int kAlreadyStartedExitCode = 9;
constexpr int kAlreadyStartedPauseMs = 5000;
constexpr int kStartPauseMs = 500;
constexpr int kRestartWaitStepMs = 1000;
constexpr int kTrimEverySteps = 60;
constexpr const char* kTemporariesRemoved =
    "Removed %d temporary files left in %s by an earlier run that ended while writing them";

// The interface record once it exists: a clean end writes its error ring.
std::atomic<monitor::InterfaceRecord*> g_record{nullptr};

[[noreturn]] void EndCleanly() {
  if (monitor::InterfaceRecord* record = g_record.load()) record->FlushErrorRing();
  std::fflush(stdout);
  _exit(0);
}

// SIGTERM and SIGINT end the gateway at once, whatever it is doing (even in
// the middle of loading a large configuration): every file is written whole
// by each write, and only the error ring, kept in memory, is written first.
// The signals are blocked in every thread and taken here, where writing a
// file is allowed.
void StopSignalThread(sigset_t signals) {
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  EndCleanly();
}

void ForwardReport(void* record, char* text, core::ReportLevel level) {
  static_cast<monitor::InterfaceRecord*>(record)->Log(text, level);
}

[[noreturn]] void EndSecondInstance() {
  core::ConsoleLog(kAlreadyStarted, core::ConsoleLevel::kError);
  std::this_thread::sleep_for(std::chrono::milliseconds(kAlreadyStartedPauseMs));
  std::fflush(stdout);
  _exit(kAlreadyStartedExitCode);
}

// Every file the gateway writes whole and then renames is held by its
// writer until renamed; those nobody holds were left by a run that was
// killed while writing them. Nothing reads them, and a directory shared
// with the alarm server or a streaming server should not fill up with them.
void RemoveTemporariesOfEarlierRuns(const core::Settings& settings) {
  auto clean = [](const std::string& directory, bool (*is_temporary)(std::string_view)) {
    std::string where = directory.empty() ? "." : directory;
    int removed = platform::RemoveLeftTemporaries(where, is_temporary);
    if (removed > 0) {
      std::string text = platform::StringPrintf(kTemporariesRemoved, removed, where.c_str());
      core::ConsoleLog(text, core::ConsoleLevel::kNormal);
      core::ReportToInterface(text, core::ReportLevel::kInfo);
    }
  };
  clean(core::GetIniDirectory(), platform::IsProfileTemporaryName);
  clean(settings.log_directory, platform::IsProfileTemporaryName);
  for (const std::string& path : settings.streaming_server_paths) {
    clean(path, jobs::IsControlFileClaimName);
    clean(path, platform::IsProfileTemporaryName);
  }
  clean(monitor::EventJobFileDirectory(), monitor::IsEventJobTemporaryName);
  // Copies of finished job files moving to another file system; an empty
  // path means no move, not the working directory.
  for (const std::string* path : {&settings.done_path, &settings.error_path})
    if (!path->empty()) clean(*path, jobs::IsMoveTemporaryName);
}

// glibc gives each new thread its own malloc arena, up to eight per core;
// with a thread per camera and per job they would be fed one after another
// for many minutes, and each keeps what it once held: a soak at 159
// cameras grew by 0.15 MB a minute with two arenas. One arena is enough for
// threads that allocate little while streaming (the gateway uses a few per
// cent of one core), and keeps the memory flat once the cameras run.
void UseOneMallocArena() { mallopt(M_ARENA_MAX, 1); }

// SIGTERM and SIGINT end the gateway the same way the restart event does.
// Blocked before any thread starts, so every thread inherits the mask
// (launched programs get a clean one).
void TakeStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  if (!platform::StartThread([stop_signals] { StopSignalThread(stop_signals); })) {
    // Without the thread the signals end the gateway the plain way.
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
  }
}

// One instance per machine: the kernel drops the lock when the holder dies,
// so a crash never blocks the next start. A second instance ends here.
void ClaimTheMachine(platform::InstanceLock& instance) {
  platform::Result<bool> acquired = instance.Acquire();
  if (!acquired)
    core::ConsoleLogF(core::ConsoleLevel::kError, kRunDirUnusable, instance.path().c_str(),
                      acquired.status().reason().c_str());
  if (!acquired || !*acquired) EndSecondInstance();
}

// Prints the banner; returns the version text clients are told.
std::string AnnounceVersion() {
  unsigned major = 0, minor = 0, build = 0, revision = 0;
  core::GetFileVersion(&major, &minor, &build, &revision);
  std::printf("%s\n", kBannerRule);
  std::printf(kBannerFormat, major, minor, build, revision);
  std::printf("\n%s\n", kBannerRule);
  std::fflush(stdout);
  char version[64];
  std::snprintf(version, sizeof version, kVersionFormat, major, minor, build, revision);
  return version;
}

// The interface record, which every report reaches from here on, and the
// monitor server on the port the record claims. Both live until the process
// ends (detached threads report through them); without the monitor server
// (null) the gateway runs without monitoring clients.
monitor::MonitorServer* StartReporting(core::ApplicationInfo& info, platform::Clock& clock) {
  auto* record = new monitor::InterfaceRecord(info.program_name, clock);
  g_record.store(record);
  core::SetReportSink(record, ForwardReport);
  // Said at once, so an operator sees why settings or log lines go missing.
  for (const std::string& line : CheckStartingPlaces(info.program_name)) {
    core::ConsoleLog(line, core::ConsoleLevel::kError);
    core::ReportToInterface(line, core::ReportLevel::kError);
  }
  info.monitor_port = record->GetMonitorPort();
  auto* monitor = new (std::nothrow) monitor::MonitorServer(info.monitor_port, info, clock);
  if (monitor == nullptr) core::ConsoleLog(kNoMonitor, core::ConsoleLevel::kError);

  std::this_thread::sleep_for(std::chrono::milliseconds(kStartPauseMs));
  if (monitor != nullptr) {
    record->SetMonitor(monitor);
    monitor->StartFullStatusThread();
  }
  record->ReportApplicationStarted(info.program_name, info.version);
  if (monitor != nullptr) {
    monitor->SetAlarmServerConnection(1);
    monitor->SetRemoteSystemConnection(1);
  }
  return monitor;
}

// The status port, when "StatusPort" asks for one.
void StartStatusPort(Gateway& gateway, monitor::MonitorServer* monitor,
                     const std::string& program_name) {
  const core::Settings& settings = gateway.settings;
  if (settings.status_port <= 0) return;
  status::StatusSources sources{settings, gateway.cameras, gateway.metrics, gateway.clock, {}};
  if (monitor != nullptr)
    sources.monitor_clients = [monitor] { return monitor->ConnectedClients(); };
  sources.job_history = &gateway.jobs->history();
  sources.video_servers = &gateway.video_servers;
  sources.log_name = program_name;
  gateway.status = std::make_unique<status::StatusServer>(std::move(sources));
  gateway.status->Start(settings.status_port, settings.status_bind_address,
                        settings.status_allowed_clients);
}

// Loads the configuration into a new gateway and starts everything it
// configures but the job watcher. Never destroyed: the threads use it
// until the process ends.
Gateway& BuildGateway(const core::ApplicationInfo& info, monitor::MonitorServer* monitor,
                      platform::Clock& clock) {
  auto* gateway = new Gateway(clock);
  const LoadedConfiguration loaded = LoadConfiguration(info.profile_file_name, gateway->tables());
  gateway->settings = loaded.settings;
  const core::Settings& settings = gateway->settings;
  if (settings.max_decoders > 0) gateway->cameras.decoder_budget().SetLimit(settings.max_decoders);
  gateway->alarms = std::make_unique<alarms::AlarmServer>(settings.log_directory, gateway->metrics,
                                                          gateway->clock);
  StartConfiguredThreads(loaded, gateway->tables(), *gateway->alarms, gateway->clock);
  RemoveTemporariesOfEarlierRuns(settings);
  gateway->jobs = std::make_unique<jobs::JobRunner>(
      jobs::JobContext{settings, gateway->cameras, gateway->commands, *gateway->alarms,
                       gateway->metrics, gateway->clock},
      jobs::HTTPCommand);
  StartStatusPort(*gateway, monitor, info.program_name);
  return *gateway;
}

// Jobs need the settings and the camera table, so the watcher starts last.
void StartJobWatcher(Gateway& gateway) {
  gateway.watcher = std::make_unique<jobs::JobWatcher>(*gateway.jobs);
  jobs::JobWatcher* watcher = gateway.watcher.get();
  if (!platform::StartThread([watcher] { watcher->Run(); })) {
    core::ConsoleLog(kNoJobWatcher, core::ConsoleLevel::kError);
    core::ReportToInterface(kNoJobWatcher, core::ReportLevel::kError);
  }
}

// Returns once the restart event is set.
void IdleUntilRestart(platform::NamedEvent& restart) {
  int idle_steps = 0;
  while (restart.Wait(kRestartWaitStepMs) == platform::NamedEvent::WaitResult::kTimeout) {
    // Memory freed after a busy moment (a burst of jobs, slow monitoring
    // clients' queues) stays in the heap's free lists, counted in the
    // process's size, until it is handed back; once a minute it is.
    if (++idle_steps % kTrimEverySteps == 0) malloc_trim(0);
  }
}

}  // namespace

// The gateway's whole run; returns only for "--version", "--help" and a bad
// command line.
int Run(int argc, char** argv) {
  // "--version" and "--help" answer before anything is locked or started.
  if (int code = HandleArguments(argc, argv,
                                 core::MakeApplicationInfo(platform::ModulePath()).program_name);
      code >= 0)
    return code;
  UseOneMallocArena();
  TakeStopSignals();
  core::InitConsole();
  platform::InstanceLock instance(kInstanceLockName);
  ClaimTheMachine(instance);

  // The restart event is cleared as soon as this instance owns the machine:
  // a flag left by an earlier run is forgotten, while a stop asked for during
  // the start (which may take a while with many cameras) is kept and ends the
  // gateway as soon as it idles.
  platform::NamedEvent restart(kRestartEventName);
  (void)restart.Reset();  // a flag that cannot be removed ends this run at once, as set

  // The one clock every decision about time in the gateway reads.
  platform::Clock& clock = platform::SystemClock();
  core::ApplicationInfo info = core::MakeApplicationInfo(platform::ModulePath());
  SockInit();  // only makes SIGPIPE harmless here
  info.version = AnnounceVersion();
  monitor::MonitorServer* monitor = StartReporting(info, clock);
  Gateway& gateway = BuildGateway(info, monitor, clock);
  StartJobWatcher(gateway);
  IdleUntilRestart(restart);

  // Detached threads are still running; ending the process here, without
  // running static destructors under them, is the orderly end.
  instance.Release();
  EndCleanly();
}

}  // namespace app

int main(int argc, char** argv) { return app::Run(argc, argv); }
