#include "alarm/launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "support/sandbox.h"

using namespace testing_support;

namespace {

void Script(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

// A command writing `what` into `file`, aside and renamed, so the test never
// reads a half-written file.
std::string Into(const std::string& file, const std::string& what) {
  return what + " > " + file + ".tmp; mv " + file + ".tmp " + file + "; ";
}

TEST(Launcher, FindsTheCommandHereBeforePath) {
  TempDir dir;
  mkdir((dir / "bin").c_str(), 0755);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  setenv("PATH", (dir / "bin:/usr/bin:/bin").c_str(), 1);
  Script(dir / "bin/qxarun.cmd", Into(dir / "path.out", "echo path $1"));
  alarms::Launcher from_path("qxarun.cmd 9601");
  ASSERT_TRUE(from_path.Start(1, 1));
  from_path.Detach();
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir / "path.out"); }));
  EXPECT_EQ(ReadFile(dir / "path.out"), "path 9601\n");
  // The same name in the working directory wins, and runs in a session of its
  // own with no inherited descriptors.
  Script(dir / "qxarun.cmd", Into(dir / "fds.out", "ls /proc/$$/fd") +
                                 Into(dir / "sid.out", "ps -o sid= -p $$ | tr -d ' '") +
                                 Into(dir / "here.out", "echo here $1 $2"));
  ASSERT_EQ(dup2(open("/dev/null", O_RDONLY), 57), 57);
  alarms::Launcher here("qxarun.cmd   1  two");
  ASSERT_TRUE(here.Start(1, 1));
  pid_t pid = here.ProcessHandle();
  here.Detach();
  EXPECT_EQ(here.ProcessHandle(), 0);
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir / "here.out"); }));
  EXPECT_EQ(ReadFile(dir / "here.out") + ReadFile(dir / "sid.out"),
            "here 1 two\n" + std::to_string(pid) + "\n");
  // A descriptor of ours without close-on-exec is not inherited.
  EXPECT_EQ(ReadFile(dir / "fds.out").find("\n57\n"), std::string::npos);
}

TEST(Launcher, FailsWithoutARunnableCommandAndSaysWhy) {
  TempDir dir;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_FALSE(alarms::Launcher(nullptr).Start(1, 1) || alarms::Launcher("").Start(1, 1));
  // What, "run.cmd" (when not null) and its mode, the command, the failure.
  const std::tuple<const char*, const char*, mode_t, const char*, const char*> cases[] = {
      {"missing file", nullptr, 0, "no-such-command-anywhere 1", "no such file or directory"},
      {"no execute bit", "#!/bin/sh\ntrue\n", 0644, "run.cmd 1", "permission denied"},
      {"no interpreter line", "true\n", 0755, "run.cmd 1", "exec format error"},
      {"CR LF line ends", "#!/bin/sh\r\ntrue\r\n", 0755, "run.cmd 1",
       "no such file or directory: the interpreter line ends with CR (CR LF line ends?)"},
      {"missing interpreter", "#!/no/such/shell -e\ntrue\n", 0755, "run.cmd 1",
       "no such file or directory: interpreter '/no/such/shell' not found"},
  };
  for (const auto& [what, file, mode, command, failure] : cases) {
    SCOPED_TRACE(what);
    if (file) {
      WriteFile(dir / "run.cmd", file);
      chmod((dir / "run.cmd").c_str(), mode);
    }
    EXPECT_EQ(alarms::Launcher(command).Start(1, 1).reason(), failure);
  }
}

TEST(Launcher, ExitCodesAndTermination) {
  TempDir dir;
  Script(dir / "exit3.cmd", "exit 3");
  alarms::Launcher exits((dir / "exit3.cmd").c_str());
  ASSERT_TRUE(exits.Start(1, 1));
  ASSERT_TRUE(WaitFor([&] { return exits.IsRunning() == 0; }));
  EXPECT_TRUE(exits.exit_code() == 3u && exits.ProcessHandle() == 0);
  pid_t pid;
  {
    alarms::Launcher sleeper("sleep 600");
    ASSERT_TRUE(sleeper.Start(1, 1));
    pid = sleeper.ProcessHandle();
    EXPECT_EQ(sleeper.IsRunning(), 1);
  }  // destroyed without detach: terminated
  EXPECT_NE(kill(pid, 0), 0);
}

TEST(Launcher, ThousandDetachedStartsLeaveNoZombie) {
  for (int i = 0; i < 1000; ++i) {
    alarms::Launcher launcher("true");
    ASSERT_TRUE(launcher.Start(1, 1));
    launcher.Detach();
  }
  // No exited child is left unreaped, nothing of ours stays open for them.
  auto unreaped = [] {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 ? info.si_pid : 0;
  };
  EXPECT_TRUE(WaitFor([&] { return unreaped() == 0; }, 60)) << unreaped();
  EXPECT_LT(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), 20);
}

}  // namespace
