// The gateway with simulated cameras, configuration to status file: a
// permanent camera streams into its ring file, an on-demand one with
// credentials is probed, and the stream watchdog raises the alarm of a dead
// camera, on-demand (its probes fail) or permanent (its connections are
// refused), after its time-out; a streaming one never does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
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

TEST(Streams, StatusFileRingFileAndWatchdogAlarmsOfDeadCamerasOnly) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=20000", "--camera",
                  "id=2,port=0,fps=10,size=20000,user=op,pass=secret"});
  ASSERT_TRUE(sim.ready());
  GatewaySandbox box;
  const std::string files = box.path("file");
  WriteFile(box.IniFile("ocelam.ini"),
            "[Config]\nWatchPath=" + box.path("watch") + "\nDonePath=" + box.path("done") +
                "\nErrorPath=" + box.path("error") + "\nFilePath=" + files +
                "\nLogDirectory=" + box.path("alarms") +
                "\n[Scenario1]\nCameraRef=Gate\nCamPort=" + std::to_string(sim.port(1)) +
                "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\nTimeout=1\nWatchdogAlarm=9555\n"
                "[Scenario2]\nCameraRef=Dead\nCamPort=" +
                std::to_string(testing_support::FreeLoopbackPort()) +
                "\nRequestUri=/mjpg\nTimeout=1\nSleepAfterAlarm=60\n"
                "[Scenario3]\nCameraRef=Refused\nCamPort=" +
                std::to_string(testing_support::FreeLoopbackPort()) +
                "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\nTimeout=1\nSleepAfterAlarm=60\n"
                "WatchdogAlarm=9602\n[Scenario4]\nCameraRef=Yard\nCamPort=" +
                std::to_string(sim.port(2)) +
                "\nGetParam=GET /mjpg HTTP/1.0\nUsername=op\nPassword=secret\nTimeout=1\n");
  // The alarm server's command, found in the gateway's working directory.
  const std::string alarms = box.path("alarms.txt");
  WriteFile(box.work() + "/qxarun.cmd", "#!/bin/sh\necho \"$@\" >> " + alarms + "\n");
  chmod((box.work() + "/qxarun.cmd").c_str(), 0755);

  auto start = std::chrono::steady_clock::now();
  auto gw = box.Start();
  std::string status_file = box.IniFile("ocelam_status.ini");
  // The permanent camera streams; the on-demand camera is probed.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string s = ReadFile(status_file);
        return s.find("[Scenario1]") != std::string::npos &&
               std::regex_search(
                   s, std::regex("\\[Scenario4\\]\nStreaming=1\nCamStatus=[0-9A-F]{8}\n"));
      },
      60))
      << ReadFile(status_file);
  std::string ring = files + "/Gate/Gate_mjpegstream.mjpeg";
  ASSERT_TRUE(
      WaitFor([&] { return FileExists(ring) && std::filesystem::file_size(ring) > 100000; }, 60));
  EXPECT_FALSE(FileExists(files + "/Yard/Yard_mjpegstream.mjpeg"));  // probes write no stream
  // The probe got its image with the credentials (its CamStatus above); the
  // camera's challenge comes first, as the method is the camera's choice.
  EXPECT_GE(sim.Stat(2, "requests"), 1);
  EXPECT_LE(sim.Stat(2, "unauthorized"), sim.Stat(2, "connections"));
  std::string camera_log =
      ReadFile(box.work() + testing_support::DatedName("/LOG/Ocelam_1_%04d%02d%02d.log", true));
  EXPECT_NE(camera_log.find("Streaming MJPEG Thread started for camera 1 (http://127.0.0.1:" +
                            std::to_string(sim.port(1)) + "/mjpg)"),
            std::string::npos)
      << camera_log;
  std::string daily =
      ReadFile(box.work() + testing_support::DatedName("/log/ocelam_%04d%02d%02d.log"));
  EXPECT_NE(daily.find("(MJPEG Stream): socket on stream 'MJPEG Stream' started"),
            std::string::npos)
      << daily;

  // The dead cameras' alarms (on-demand Dead: the default 9601), not before
  // the first minute.
  auto both = [&] {
    std::string a = ReadFile(alarms);
    return a == "9601\n9602\n" || a == "9602\n9601\n";
  };
  ASSERT_TRUE(WaitFor([&] { return ReadFile(alarms).find('\n') != std::string::npos; }, 150));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 55);
  ASSERT_TRUE(WaitFor(both, 30)) << ReadFile(alarms);
  // The status file is written after the alarm is started.
  const std::regex last_alarm("\\[Scenario2\\][^\\[]*LastAlarm=[0-9A-F]{8}");
  EXPECT_TRUE(WaitFor([&] { return std::regex_search(ReadFile(status_file), last_alarm); }, 30))
      << ReadFile(status_file);
  std::string status = ReadFile(status_file);
  EXPECT_FALSE(std::regex_search(status, std::regex("\\[Scenario1\\][^\\[]*LastAlarm=")));
  // The streaming cameras pass their own time-out without an alarm.
  ASSERT_TRUE(WaitFor(
      [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(70); }, 90));
  EXPECT_TRUE(both()) << ReadFile(alarms);
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
  EXPECT_EQ(gw->exit_code(), 0);
}

}  // namespace
