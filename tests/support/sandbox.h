#pragma once
// Helpers shared by the tests: private temporary directories, files, waiting
// for a condition with a generous deadline (never a fixed sleep), free
// loopback ports and child processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef OCELAM_TEST_GTEST
#include <gtest/gtest.h>
#endif

namespace testing_support {

// A fresh directory under /tmp (or `base`), removed with everything in it at
// the end.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    path_ = (base / "ocelam_test_XXXXXX").string();
    if (!mkdtemp(path_.data())) std::abort();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The names in `dir`, sorted (none when it is missing).
inline std::vector<std::string> SortedNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// `format` with today's local year, month and day put into its three
// numbers (year, day, month when `day_before_month`), such as a daily log.
inline std::string DatedName(const std::string& format, bool day_before_month = false) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char name[512];
  std::snprintf(name, sizeof name, format.c_str(), tm.tm_year + 1900,
                day_before_month ? tm.tm_mday : tm.tm_mon + 1,
                day_before_month ? tm.tm_mon + 1 : tm.tm_mday);
  return name;
}

// True once a camera's ring file holds stream bytes at `position`: the file
// takes its whole size on the disk when it is made, so its size tells
// nothing; the room not yet written reads as zeros.
inline bool RingReached(const std::string& path, long long position) {
  char bytes[512] = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = pread(fd, bytes, sizeof bytes, static_cast<off_t>(position));
  close(fd);
  return got > 0 && std::any_of(bytes, bytes + got, [](char c) { return c != 0; });
}

// How often `what` is in `text`.
inline std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Polls `condition` until it holds or `seconds` pass; true when it held.
inline bool WaitFor(const std::function<bool()>& condition, double seconds = 30) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A loopback port nobody listens on right now (the kernel picks it).
inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Runs `check` as a user that file permissions apply to: here when we are
// not root, else in a child that has become "nobody" (root may write any
// file). The directories it uses must be open to others. Its result, or -1
// when the child could not be made or did not end normally.
inline int RunWithoutPrivileges(const std::function<int()>& check) {
  if (geteuid() != 0) return check();
  pid_t pid = fork();
  if (pid == 0) {
    const gid_t nobody = 65534;
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(125);
    _exit(check());
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A child process with its standard output and error in a file.
class Child {
 public:
  // Starts `argv[0]` in `cwd` with `env` added to this process's environment.
  // Standard error goes to `error_file` when one is named.
  Child(const std::vector<std::string>& argv, const std::string& cwd,
        const std::vector<std::string>& env, const std::string& output_file,
        const std::string& error_file = "")
      : program_(argv.empty() ? std::string() : argv[0]), output_file_(output_file) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
      auto redirect = [](const std::string& file, int flags, std::initializer_list<int> to) {
        int fd = open(file.c_str(), flags, 0644);
        for (int t : to) dup2(fd, t);
        if (fd > 2) close(fd);
      };
      redirect(output_file, O_WRONLY | O_CREAT | O_TRUNC, {1, 2});
      if (!error_file.empty()) redirect(error_file, O_WRONLY | O_CREAT | O_TRUNC, {2});
      redirect("/dev/null", O_RDONLY, {0});
      for (const std::string& e : env) putenv(strdup(e.c_str()));
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    CheckSanitizerReport();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int sig) { kill(pid_, sig); }

  // Waits up to `seconds` for the exit; true when it ended. Exit code in
  // exit_code() (128 + signal for a signal death).
  bool WaitExit(double seconds = 30) {
    if (exited_) return true;
    return WaitFor(
        [&] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
          exited_ = true;
          code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        seconds);
  }
  int exit_code() const { return code_; }
  bool running() { return !exited_ && !WaitExit(0); }

 private:
  // In the ThreadSanitizer tree our programs are instrumented too: a race
  // report goes to the child's output and ends it (halt_on_error). A test
  // that kills a still-running child would never look there, so the output
  // of every child is checked when it goes.
  void CheckSanitizerReport() const {
    std::string out = ReadFile(output_file_);
    if (out.find("ThreadSanitizer") == std::string::npos) return;
#ifdef OCELAM_TEST_GTEST
    ADD_FAILURE() << program_ << " reported a ThreadSanitizer error:\n" << out;
#else
    std::fprintf(stderr, "%s reported a ThreadSanitizer error:\n%s\n", program_.c_str(),
                 out.c_str());
#endif
  }

  std::string program_;
  std::string output_file_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

}  // namespace testing_support
