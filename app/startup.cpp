#include "app/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/application_info.h"
#include "core/profile/user_profile.h"
#include "core/version.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace app {

namespace {

std::string Usage(const std::string& name) { return "usage: " + name + " [--version | --help]\n"; }

std::string Help(const std::string& name) {
  const std::string ini = "<ini directory>/";
  return Usage(name) +
         "\n"
         "The IP-camera gateway. Run it without arguments in its working directory; it\n"
         "runs until 'ocelam-event set ocelam_restart', SIGTERM or SIGINT ends it.\n"
         "\n"
         "  --version  print the version and end\n"
         "  --help     print this text and end\n"
         "\n"
         "Environment:\n"
         "  OCELAM_REGISTRY  the registry file (default /etc/ocelam/registry.ini)\n"
         "  OCELAM_RUNDIR    directory of the single-instance lock and the named events\n"
         "                   (default /run/ocelam)\n"
         "  PATH             where the alarm server's commands (qxarun.cmd, ...) are\n"
         "                   looked for after the working directory\n"
         "\n"
         "Files read (the ini directory is the value IniFilePath of\n"
         "[SOFTWARE\\Talvane\\Orvanta\\Settings] in the registry file; without it, the\n"
         "working directory):\n"
         "  " +
         ini + name +
         ".ini  settings; missing keys are written back\n"
         "  " +
         ini +
         "qxmoninterfaces.ini  monitor port register\n"
         "  " +
         ini +
         "qx_alarm_db.ini  event job files\n"
         "  " +
         ini +
         "qxacam.ini  camera models and command templates\n"
         "  " +
         ini +
         "qxaconf.ini  the alarm server's settings\n"
         "\n"
         "Files written:\n"
         "  " +
         ini + name + "_status.ini and " + name +
         "_error.ini\n"
         "  log/" +
         name +
         "_YYYYMMDD.log  daily interface log, below the working directory\n"
         "  LOG/  camera and device logs, below the working directory\n"
         "  (log and LOG are not created: without them those lines are dropped)\n";
}

constexpr int kExitUsage = 2;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WorkingDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

}  // namespace

int HandleArguments(int argc, const char* const* argv, const std::string& program_name) {
  if (argc <= 1) return -1;
  auto known = [](const char* arg) {
    return std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "--help") == 0;
  };
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %u.%u.%u.%u\n", program_name.c_str(), OCELAM_VERSION_MAJOR,
                OCELAM_VERSION_MINOR, OCELAM_VERSION_PATCH, OCELAM_VERSION_TWEAK);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(Help(program_name).c_str(), stdout);
    return 0;
  }
  int bad = 1;
  while (bad < argc && known(argv[bad])) ++bad;
  if (bad < argc)
    std::fprintf(stderr, "%s: unknown argument '%s'\n", program_name.c_str(), argv[bad]);
  else
    std::fprintf(stderr, "%s: one argument at most\n", program_name.c_str());
  std::fputs(Usage(program_name).c_str(), stderr);
  return kExitUsage;
}

std::vector<std::string> CheckStartingPlaces(const std::string& program_name) {
  std::vector<std::string> lines;
  const std::string cwd = WorkingDirectory();
  const std::string registry = platform::RegistryFilePath();
  std::string ini_directory;
  if (access(registry.c_str(), F_OK) != 0) {
    lines.push_back(platform::StringPrintf(
        "WARNING: registry file %s is missing: ini files are read from and written to the working "
        "directory %s; create it with [%s] IniFilePath=<ini directory>",
        registry.c_str(), cwd.c_str(), platform::kRegistrySettingsKey));
  } else if (access(registry.c_str(), R_OK) != 0) {
    lines.push_back(platform::StringPrintf(
        "ERROR: registry file %s cannot be read (%s): ini files are read from and written to the "
        "working directory %s; make it readable",
        registry.c_str(), std::strerror(errno), cwd.c_str()));
  } else if (core::GetIniDirectory().empty()) {
    lines.push_back(platform::StringPrintf(
        "WARNING: registry file %s has no IniFilePath in [%s]: ini files are read from and written "
        "to the working directory %s; add IniFilePath=<ini directory>",
        registry.c_str(), platform::kRegistrySettingsKey, cwd.c_str()));
  } else {
    ini_directory = core::GetIniDirectory();
  }
  std::string ini_shown = ini_directory.empty() ? cwd : ini_directory;
  if (!IsDirectory(ini_shown)) {
    lines.push_back(platform::StringPrintf(
        "ERROR: the ini directory %s does not exist: %s.ini and the other ini files can be neither "
        "read nor written; create it",
        ini_shown.c_str(), program_name.c_str()));
  } else if (access(ini_shown.c_str(), W_OK) != 0) {
    lines.push_back(platform::StringPrintf(
        "ERROR: the ini directory %s is not writable (%s): missing keys cannot be written back and "
        "status files are lost; make it writable for this user",
        ini_shown.c_str(), std::strerror(errno)));
  }
  std::string log = platform::JoinPath(cwd, "log");
  if (!IsDirectory(log))
    lines.push_back(platform::StringPrintf(
        "WARNING: no directory %s: the lines of the daily interface log are dropped; create %s",
        log.c_str(), log.c_str()));
  std::string camera_log = platform::JoinPath(cwd, "LOG");
  if (!IsDirectory(camera_log))
    lines.push_back(platform::StringPrintf(
        "WARNING: no directory %s: the camera and device logs are dropped; create %s",
        camera_log.c_str(), camera_log.c_str()));
  return lines;
}

}  // namespace app
