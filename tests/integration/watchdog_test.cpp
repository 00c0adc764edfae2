// The stream watchdog of a whole gateway: a dead camera, on-demand (its
// probes fail) or permanent (its connections are refused), raises its alarm
// after its time-out; a streaming one never does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <regex>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

using sim_test::SimProcess;
using testing_support::FileExists;
using testing_support::GatewaySandbox;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

TEST(Watchdog, DeadCameraRaisesItsAlarmStreamingCameraNever) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=20000"});
  ASSERT_TRUE(sim.ready());
  GatewaySandbox box;
  int dead_port = testing_support::FreeLoopbackPort();
  int refused_port = testing_support::FreeLoopbackPort();
  WriteFile(
      box.IniFile("ocelam.ini"),
      "[Config]\nWatchPath=" + box.path("watch") + "\nDonePath=" + box.path("done") +
          "\nErrorPath=" + box.path("error") + "\nFilePath=" + box.path("file") +
          "\n[Scenario1]\nCameraRef=Alive\nCamPort=" + std::to_string(sim.port(1)) +
          "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\nTimeout=1\nWatchdogAlarm=9555\n"
          "[Scenario2]\nCameraRef=Dead\nCamPort=" +
          std::to_string(dead_port) +
          "\nRequestUri=/mjpg\nTimeout=1\nSleepAfterAlarm=60\n"
          "[Scenario3]\nCameraRef=Refused\nCamPort=" +
          std::to_string(refused_port) +
          "\nRequestUri=/"
          "mjpg\nMJPEGPermanentRecording=1\nTimeout=1\nSleepAfterAlarm=60\nWatchdogAlarm=9602\n");
  // The alarm server's command, found in the gateway's working directory.
  std::string alarms = box.path("alarms.txt");
  WriteFile(box.work() + "/qxarun.cmd", "#!/bin/sh\necho \"$@\" >> " + alarms + "\n");
  chmod((box.work() + "/qxarun.cmd").c_str(), 0755);

  auto start = std::chrono::steady_clock::now();
  auto gw = box.Start();
  auto both = [&] {
    std::string a = ReadFile(alarms);
    return a == "9601\n9602\n" || a == "9602\n9601\n";
  };
  ASSERT_TRUE(WaitFor([&] { return ReadFile(alarms).find('\n') != std::string::npos; }, 150));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 55);
  ASSERT_TRUE(WaitFor(both, 30)) << ReadFile(alarms);
  std::string status = ReadFile(box.IniFile("ocelam_status.ini"));
  EXPECT_TRUE(std::regex_search(status, std::regex("\\[Scenario2\\][^\\[]*LastAlarm=[0-9A-F]{8}")))
      << status;
  EXPECT_FALSE(std::regex_search(status, std::regex("\\[Scenario1\\][^\\[]*LastAlarm=")));
  // The streaming camera passes its own time-out without an alarm.
  ASSERT_TRUE(WaitFor(
      [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(70); }, 90));
  EXPECT_TRUE(both()) << ReadFile(alarms);
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
}

}  // namespace
