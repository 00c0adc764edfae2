#include "alarm/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread.h"

extern char** environ;

namespace alarms {

namespace {

constexpr auto kReapInterval = std::chrono::milliseconds(200);

std::unique_ptr<char[]> Copy(const char* text) {
  if (!text) return nullptr;
  std::size_t n = std::strlen(text) + 1;
  auto copy = std::make_unique<char[]>(n);
  std::memcpy(copy.get(), text, n);
  return copy;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Detached children are collected here and reaped by one background thread,
// so their exit never leaves a zombie and nothing else waits for them.
class Reaper {
 public:
  static Reaper& Instance() {
    static Reaper* reaper = new Reaper;  // never destroyed: its thread runs to the end
    return *reaper;
  }
  void Adopt(pid_t pid) {
    platform::MutexLock guard(mutex_);
    pids_.push_back(pid);
    if (!started_) started_ = platform::StartThread([this] { Run(); }).ok();
    wake_.Signal();
  }

 private:
  void Run() {
    platform::MutexLock lock(mutex_);
    for (;;) {
      wake_.WaitFor(mutex_, kReapInterval);
      for (std::size_t i = 0; i < pids_.size();) {
        pid_t r = waitpid(pids_[i], nullptr, WNOHANG);
        if (r == pids_[i] || (r < 0 && errno == ECHILD)) {
          pids_[i] = pids_.back();
          pids_.pop_back();
        } else {
          ++i;
        }
      }
    }
  }
  platform::Mutex mutex_;
  platform::CondVar wake_;
  std::vector<pid_t> pids_ GUARDED_BY(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
};

// The system's words for an error, as they stand inside one of our lines:
// "permission denied", "exec format error", "no such file or directory".
std::string Reason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

// What a file that is there but "not found" by exec names as its
// interpreter: a script whose "#!" line ends in CR (written with CR LF line
// ends) asks for "/bin/sh\r", which no system has.
std::string MissingInterpreter(const std::string& program) {
  constexpr std::size_t kLineMax = 256;
  constexpr std::size_t kShownMax = 64;
  std::ifstream in(program, std::ios::binary);
  std::string line(kLineMax, '\0');
  in.read(line.data(), static_cast<std::streamsize>(line.size()));
  line.resize(static_cast<std::size_t>(in.gcount()));
  if (line.rfind("#!", 0) != 0) return {};
  line.resize(std::min(line.find('\n'), line.size()));
  if (!line.empty() && line.back() == '\r')
    return "the interpreter line ends with CR (CR LF line ends?)";
  std::size_t start = line.find_first_not_of(" \t", 2);
  if (start == std::string::npos) return {};
  std::string interpreter = line.substr(start, line.find_first_of(" \t", start) - start);
  interpreter.resize(std::min(interpreter.size(), kShownMax));
  for (char& c : interpreter)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return "interpreter '" + interpreter + "' not found";
}

platform::Status StartFailed(int error, const std::string& detail = {}) {
  std::string reason = Reason(error);
  if (!detail.empty()) reason += ": " + detail;
  return platform::Status::Failure(std::move(reason), error);
}

std::vector<std::string> SplitAtBlanks(const char* line) {
  std::vector<std::string> words;
  const char* p = line;
  while (*p) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    if (p > start) words.emplace_back(start, p);
  }
  return words;
}

}  // namespace

std::string ResolveCommand(const std::string& word) {
  if (word.empty()) return {};
  if (word.find('/') != std::string::npos) return IsExecutableFile(word) ? word : "";
  if (IsExecutableFile("./" + word)) return "./" + word;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + word;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

Launcher::Launcher(const char* command_line) : command_line_(Copy(command_line)) {}

Launcher::Launcher(const Launcher& other)
    : command_line_(Copy(other.command_line_.get())),
      exit_code_(other.exit_code_),
      pid_(other.pid_) {}

Launcher& Launcher::operator=(const Launcher& other) {
  if (this != &other) {
    command_line_ = Copy(other.command_line_.get());
    exit_code_ = other.exit_code_;
    pid_ = other.pid_;
  }
  return *this;
}

Launcher::~Launcher() {
  if (command_line_ && IsRunning()) Terminate();
  pid_ = 0;
}

platform::Status Launcher::Start(int, int) {
  if (!command_line_) return StartFailed(ENOENT);
  std::vector<std::string> words = SplitAtBlanks(command_line_.get());
  if (words.empty()) return StartFailed(ENOENT);
  std::string program = ResolveCommand(words[0]);
  if (program.empty()) {
    // Found but not runnable says so; otherwise it is not there at all.
    struct stat st {};
    bool there = stat(words[0].c_str(), &st) == 0 || stat(("./" + words[0]).c_str(), &st) == 0;
    if (!there) return StartFailed(ENOENT);
    return StartFailed(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  // The alarm server's tools must not inherit our sockets and files.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);  // SIGPIPE is ignored here, not in the child
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // glibc's posix_spawn hands the child's exec error back as its result.
  if (rc != 0) {
    // The file is there (we found it): what is missing is its interpreter.
    return StartFailed(rc, rc == ENOENT ? MissingInterpreter(program) : std::string());
  }
  pid_ = pid;
  return {};
}

void Launcher::Detach() {
  if (pid_ > 0) Reaper::Instance().Adopt(pid_);
  pid_ = 0;
  exit_code_ = 0;
}

int Launcher::IsRunning() {
  if (!command_line_ || pid_ <= 0) return 0;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return 1;
  if (r == pid_) exit_code_ = WIFEXITED(status) ? static_cast<unsigned>(WEXITSTATUS(status)) : 0;
  pid_ = 0;
  return 0;
}

void Launcher::Terminate() {
  if (IsRunning()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
    exit_code_ = 0;
  }
}

}  // namespace alarms
