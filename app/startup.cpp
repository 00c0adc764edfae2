#include "app/startup.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/crypto.h>

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

std::string Usage(const std::string& name) {
  return "usage: " + name + " [--version | --help | --hash-password]\n";
}

std::string Help(const std::string& name) {
  const std::string ini = "<ini directory>/";
  return Usage(name) +
         "\n"
         "The IP-camera gateway. Run it without arguments in its working directory; it\n"
         "runs until 'ocelam-event set ocelam_restart', SIGTERM or SIGINT ends it.\n"
         "\n"
         "  --version  print the version and end\n"
         "  --help     print this text and end\n"
         "  --hash-password\n"
         "             read a password (typed twice, unseen, on a terminal; else the first\n"
         "             line of standard input), print its hash for StatusPasswordHash\n"
         "             and end\n"
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
constexpr int kExitFailure = 1;
constexpr const char* kHashPasswordArgument = "--hash-password";
constexpr const char* kPasswordPrompt = "Password: ";
constexpr const char* kPasswordAgainPrompt = "Password again: ";
constexpr const char* kNoPassword = "%s: no password given\n";
constexpr const char* kPasswordTooLong = "%s: the password is longer than 1024 bytes\n";
constexpr const char* kPasswordsDiffer = "%s: the two passwords differ\n";
constexpr const char* kCannotHash = "%s: the password cannot be hashed (%s)\n";
constexpr std::size_t kPasswordMax = 1024;

// A password read into memory that is wiped when it is dropped; never grown,
// so no copy is left behind in freed memory.
class Secret {
 public:
  Secret() { text_.reserve(kPasswordMax + 1); }
  ~Secret() { OPENSSL_cleanse(text_.data(), text_.capacity()); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  std::string& text() { return text_; }

 private:
  std::string text_;
};

enum class LineRead { kRead, kNone, kTooLong };

// One line of `in` into `out`, without its line end ("\n", "\r\n"); on a
// terminal `prompt` goes to `err` and the typing is not echoed.
LineRead ReadPasswordLine(std::FILE* in, std::FILE* err, const char* prompt, Secret& out) {
  const int fd = fileno(in);
  termios saved{};
  const bool terminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
  if (terminal) {
    std::fputs(prompt, err);
    std::fflush(err);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    (void)tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string& text = out.text();
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF && c != '\n') {
    any = true;
    if (text.size() < kPasswordMax + 1) text.push_back(static_cast<char>(c));
  }
  if (terminal) {
    (void)tcsetattr(fd, TCSAFLUSH, &saved);
    std::fputc('\n', err);
  }
  if (!text.empty() && text.back() == '\r' && text.size() <= kPasswordMax) text.pop_back();
  if (text.size() > kPasswordMax) return LineRead::kTooLong;
  return any && !text.empty() ? LineRead::kRead : LineRead::kNone;
}

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
    return std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "--help") == 0 ||
           std::strcmp(arg, kHashPasswordArgument) == 0;
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
  if (argc == 2 && std::strcmp(argv[1], kHashPasswordArgument) == 0)
    return HashPassword(stdin, stdout, stderr, program_name);
  int bad = 1;
  while (bad < argc && known(argv[bad])) ++bad;
  if (bad < argc)
    std::fprintf(stderr, "%s: unknown argument '%s'\n", program_name.c_str(), argv[bad]);
  else
    std::fprintf(stderr, "%s: one argument at most\n", program_name.c_str());
  std::fputs(Usage(program_name).c_str(), stderr);
  return kExitUsage;
}

int HashPassword(std::FILE* in, std::FILE* out, std::FILE* err, const std::string& program_name,
                 int iterations) {
  auto fail = [&](const char* format, const char* reason = "") {
    std::fprintf(err, format, program_name.c_str(), reason);
    return kExitFailure;
  };
  Secret password, again;
  const bool terminal = isatty(fileno(in));
  LineRead read = ReadPasswordLine(in, err, kPasswordPrompt, password);
  if (read == LineRead::kRead && terminal) {
    read = ReadPasswordLine(in, err, kPasswordAgainPrompt, again);
    if (read == LineRead::kRead && again.text() != password.text()) return fail(kPasswordsDiffer);
  }
  if (read == LineRead::kNone) return fail(kNoPassword);
  if (read == LineRead::kTooLong) return fail(kPasswordTooLong);
  platform::Result<status::PasswordHash> hash =
      status::PasswordHash::Make(password.text(), iterations);
  if (!hash) return fail(kCannotHash, hash.status().reason().c_str());
  std::fprintf(out, "%s\n", hash.value().Text().c_str());
  return std::fflush(out) == 0 ? 0 : kExitFailure;
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
