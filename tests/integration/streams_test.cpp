// The gateway with simulated cameras: configuration to status file.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
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

std::string Today(const char* format, bool day_first) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[128];
  std::snprintf(buf, sizeof buf, format, tm.tm_year + 1900, day_first ? tm.tm_mday : tm.tm_mon + 1,
                day_first ? tm.tm_mon + 1 : tm.tm_mday);
  return buf;
}

TEST(Streams, PermanentAndOnDemandCamerasFillTheStatusFile) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=20000", "--camera",
                  "id=2,port=0,fps=10,size=20000,user=op,pass=secret"});
  ASSERT_TRUE(sim.ready());
  GatewaySandbox box;
  std::string files = box.path("file");
  WriteFile(box.IniFile("ocelam.ini"),
            "[Config]\nWatchPath=" + box.path("watch") + "\nDonePath=" + box.path("done") +
                "\nErrorPath=" + box.path("error") + "\nFilePath=" + files +
                "\nLogDirectory=" + box.path("alarms") +
                "\n"
                "[Scenario1]\nCameraRef=Gate\nCamPort=" +
                std::to_string(sim.port(1)) +
                "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\n"
                "[Scenario4]\nCameraRef=Yard\nCamPort=" +
                std::to_string(sim.port(2)) +
                "\nGetParam=GET /mjpg HTTP/1.0\nUsername=op\nPassword=secret\n");
  auto gw = box.Start();
  std::string status_file = box.IniFile("ocelam_status.ini");
  auto status = [&] { return ReadFile(status_file); };
  // The permanent camera streams; the on-demand camera is probed once.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string s = status();
        return s.find("[Scenario1]") != std::string::npos &&
               s.find("[Scenario4]") != std::string::npos &&
               std::regex_search(
                   s, std::regex("\\[Scenario4\\]\nStreaming=1\nCamStatus=[0-9A-F]{8}\n"));
      },
      60))
      << status();
  std::string ring = files + "/Gate/Gate_mjpegstream.mjpeg";
  ASSERT_TRUE(
      WaitFor([&] { return FileExists(ring) && std::filesystem::file_size(ring) > 100000; }, 60));
  EXPECT_FALSE(FileExists(files + "/Yard/Yard_mjpegstream.mjpeg"));  // probes write no stream
  // The probe got its image with the credentials (its CamStatus above); the
  // camera's challenge comes first, as the method is the camera's choice.
  EXPECT_GE(sim.Stat(2, "requests"), 1);
  EXPECT_LE(sim.Stat(2, "unauthorized"), sim.Stat(2, "connections"));

  // The camera log and the daily interface log.
  std::string camera_log = ReadFile(box.work() + Today("/LOG/Ocelam_1_%04d%02d%02d.log", true));
  EXPECT_NE(camera_log.find("Streaming MJPEG Thread started for camera 1 (http://127.0.0.1:" +
                            std::to_string(sim.port(1)) + "/mjpg)"),
            std::string::npos)
      << camera_log;
  std::string daily = ReadFile(box.work() + Today("/log/ocelam_%04d%02d%02d.log", false));
  EXPECT_NE(daily.find("(MJPEG Stream): socket on stream 'MJPEG Stream' started"),
            std::string::npos)
      << daily;

  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
  EXPECT_EQ(gw->exit_code(), 0);
}

}  // namespace
