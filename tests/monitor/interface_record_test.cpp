#include "monitor/interface_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>

#include "core/profile/user_profile.h"
#include "support/fake_clock.h"
#include "support/sandbox.h"

using namespace testing_support;

namespace {

// A working directory with "log/" and an ini directory named by the registry.
class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("log", 0755);
    mkdir("ini", 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_ / "ini" + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
  }
  std::string TodayLog(const std::string& name) {
    return ReadFile(dir_ / DatedName("log/" + name + "_%04d%02d%02d.log"));
  }
  std::string Ini(const std::string& name) { return dir_ / ("ini/" + name); }
  TempDir dir_;
  FakeClock clock_;
};

TEST_F(InterfaceTest, DailyLogLinesErrorRingAndStartStatistics) {
  monitor::InterfaceRecord record("ocelam", clock_);
  char info[] = "camera 3 <streaming>";
  record.Log(info, core::ReportLevel::kInfo);
  std::string long_line(600, 'x');
  record.Log(long_line.data(), core::ReportLevel::kLogOnly);
  char error[] = "ERROR: something failed";
  record.Log(error, core::ReportLevel::kError);
  std::istringstream log(TodayLog("ocelam"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(log, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex(R"(\d\d\.\d\d \d\d:\d\d:\d\d camera 3 <streaming>\r)")))
      << lines[0];
  EXPECT_EQ(lines[1].size(), core::kLogLineMax + 1);  // 511 characters and the CR
  // The error ring holds the same formatted line under index 1, written by
  // the record's own thread shortly after; the next error waits until a
  // second has gone by on the record's clock.
  auto errors = [] { return core::GetIniInt("Global", "NbErrors", -1, "ocelam_error.ini"); };
  ASSERT_TRUE(WaitFor([&] { return errors() == 1; }, 60));
  EXPECT_EQ(core::GetIniString("Error", "Error_1", "", "ocelam_error.ini", 600) + "\r", lines[2]);
  record.AddErrorEntry("ERROR: once more");
  EXPECT_FALSE(WaitFor([&] { return errors() == 2; }, 1.5));
  clock_.AdvanceSeconds(1);
  EXPECT_TRUE(WaitFor([&] { return errors() == 2; }, 60));
  // A start keeps the first installation's time and notes its own.
  ASSERT_TRUE(core::WriteIniString("Statistics", "FirstInstallation", "00000001", "ocelam.ini"));
  record.ReportApplicationStarted("ocelam", "v.1.0.0.1");
  EXPECT_EQ(core::GetIniString("Statistics", "FirstInstallation", "", "ocelam.ini") + " " +
                core::GetIniString("Statistics", "LastStartup", "", "ocelam.ini"),
            "00000001 6a18a501");
}

TEST_F(InterfaceTest, ErrorRingWrapsAndHandEditedCountsStayInRange) {
  WriteFile(Ini("gw_error.ini"), "; kept\n[Global]\nNbErrors=1022\n[Error]\nError_5=old\n");
  {
    monitor::InterfaceRecord record("gw", clock_);
    for (int i = 0; i < 5; ++i) record.AddErrorEntry("ERROR " + std::to_string(i));
    record.FlushErrorRing();
  }
  // One rewrite leaves what one profile write per entry and count did.
  EXPECT_EQ(ReadFile(Ini("gw_error.ini")),
            "; kept\n[Global]\nNbErrors=3\n[Error]\nError_5=old\nError_1023=ERROR 0\n"
            "Error_0=ERROR 1\nError_1=ERROR 2\nError_2=ERROR 3\nError_3=ERROR 4\n");
  ASSERT_TRUE(core::WriteIniString("Global", "NbErrors", "-5", "gw_error.ini"));
  {
    monitor::InterfaceRecord record("gw", clock_);
    record.AddErrorEntry("negative");
  }  // a clean end writes what is left
  EXPECT_EQ(core::GetIniString("Error", "Error_-4", "", "gw_error.ini"), "negative");
}

TEST_F(InterfaceTest, PortRegisterIsSharedByTheFamily) {
  monitor::InterfaceRecord first("ocelam", clock_), second("other", clock_);
  // The first found again on a restart.
  EXPECT_EQ(
      (std::vector<int>{first.GetMonitorPort(), second.GetMonitorPort(), first.GetMonitorPort()}),
      (std::vector<int>{22001, 22002, 22001}));
  EXPECT_EQ(core::GetIniString("Config", "FirstIPPort", "", monitor::kPortRegisterFile) + " " +
                core::GetIniString("Config", "LastIPPort", "", monitor::kPortRegisterFile) + " " +
                core::GetIniString("Interfaces", "22002", "", monitor::kPortRegisterFile),
            "22001 22499 other.ini");
  // The last port of the range is never handed out; with none left the
  // record says so in the error ring and falls back.
  WriteFile(Ini(monitor::kPortRegisterFile), "[Config]\nFirstIPPort=30000\nLastIPPort=30001\n");
  monitor::InterfaceRecord third("third", clock_);
  EXPECT_EQ(third.GetMonitorPort(), 30000);
  EXPECT_EQ(monitor::InterfaceRecord("fourth", clock_).GetMonitorPort(),
            monitor::kDefaultLastIPPort);
  EXPECT_NE(
      core::GetIniString("Error", "Error_1", "", "fourth_error.ini").find("no free monitor port"),
      std::string::npos);
  WriteFile(Ini(monitor::kPortRegisterFile), "[Config]\nFirstIPPort=0\nLastIPPort=2000000000\n");
  EXPECT_EQ(monitor::InterfaceRecord("huge", clock_).GetMonitorPort(), 1);
}

TEST_F(InterfaceTest, ProgramsStartingAtOnceGetDifferentPorts) {
  // Eight programs of the family, released together, each claim a port.
  constexpr int kPrograms = 8;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kPrograms; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char go;
      (void)!read(gate[0], &go, 1);  // returns when the parent closes the gate
      monitor::InterfaceRecord program("program" + std::to_string(i), clock_);
      std::_Exit(program.GetMonitorPort() - monitor::kDefaultFirstIPPort);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::set<int> ports;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status));
    ports.insert(monitor::kDefaultFirstIPPort + WEXITSTATUS(status));
  }
  EXPECT_EQ(ports.size(), static_cast<std::size_t>(kPrograms));
  for (int port : ports)
    EXPECT_EQ(core::GetIniString("Interfaces", std::to_string(port), "", monitor::kPortRegisterFile)
                  .rfind("program", 0),
              0u)
        << port;
}

}  // namespace
