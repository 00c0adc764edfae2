// The gateway with simulated cameras and video servers. First the alarm
// inputs: the servers send input lines, the gateway starts the mapped alarms
// through "ocelam.bat" and shrugs off garbage without holding up other
// servers (what each line does is the unit tests', camera_http, as are
// silences and reconnections). Then configuration to status file: a
// permanent camera streams into its ring file, an on-demand one with
// credentials is probed, and every camera with a time-out has its watchdog
// running (when it starts its alarm is the clock's, tests/acquisition).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

using sim_test::RecordedRequest;
using sim_test::SimProcess;
using testing_support::FileExists;
using testing_support::GatewaySandbox;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

const std::string kOnLine = "ioboxid=2 pin=4 state=on type=input";

TEST(Streams, AlarmInputsThenStatusFileRingFileAndWatchdogs) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=20000", "--camera",
                  "id=2,port=0,fps=10,size=20000,user=op,pass=secret", "--videoserver",
                  "id=1,port=0,heartbeat=300,hbtext=HEARTBEAT", "--videoserver", "id=2,port=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  GatewaySandbox box;
  const std::string files = box.path("file");
  // IO box 2 of video server 1 is camera 7 (pin 4: alarm 9601), that of
  // server 2 camera 8 (no alarm of its own: the server's default 9650).
  std::string ini = "[Config]\nWatchPath=" + box.path("watch") + "\nDonePath=" + box.path("done") +
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
                    "\nGetParam=GET /mjpg HTTP/1.0\nUsername=op\nPassword=secret\nAllowBasicAuth=1\nTimeout=1\n"
                    "[IOBoxCameraMapping]\n1-2=7\n2-2=8\n[Scenario7]\nStartAlrOnPin4=9601\n";
  for (int n : {1, 2})
    ini += "[VideoServer" + std::to_string(n) + "]\nid=" + std::to_string(n) +
           "\nIPAddress=127.0.0.1\nIPPort=" + std::to_string(sim.port("videoserver", n)) +
           "\nNbCameraConnected=1\n";
  WriteFile(box.IniFile("ocelam.ini"), ini);
  WriteFile(box.IniFile("qxacam.ini"),
            "[sonyrsm]\nGetAlarmInput=GET /inputs HTTP/1.0\\r\\n\\r\\n\n"
            "AlarmInputRegExp=ioboxid=([0-9]+) pin=([0-9]+) state=([a-z0-9]+) type=([a-z]+)\n"
            "AlarmInputIOBoxIDSubst=\\1\nAlarmInputPinNumberSubst=\\2\n"
            "AlarmInputPinStateSubst=\\3\nAlarmInputPinTypeSubst=\\4\n"
            "AlarmInputPinRawDataSubst=&\nHeartBeatString=heartbeat\n"
            "AlarmInputIOValidPinType=input\n");
  mkdir(box.path("alarms").c_str(), 0755);
  // The alarm server's side, in the gateway's working directory: it records
  // the input alarms' arguments, one line a start.
  const std::string script = box.work() + "/ocelam.bat", started = box.path("started.txt");
  WriteFile(script, "#!/bin/sh\necho \"$*\" >> " + started + "\n");
  chmod(script.c_str(), 0755);

  auto gw = box.Start();
  // The alarm starts so far, the reference written as REF.
  auto starts = [&] {
    static const std::regex kReference(" [0-9A-F]{8} ");
    std::vector<std::string> lines;
    std::istringstream text(std::regex_replace(ReadFile(started), kReference, " REF "));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  };
  // How often `line` is in server `server`'s daily logs.
  auto count = [&](int server, const std::string& line) {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(box.work() + "/LOG"))
      if (e.path().filename().string().starts_with("ocelam_alarminput_server_" +
                                                   std::to_string(server) + "_"))
        all += ReadFile(e.path());
    return testing_support::CountOf(all, " " + line + "\n");
  };

  for (int server : {1, 2}) {
    std::vector<RecordedRequest> got = sim.AwaitRequests("videoserver", server, 1);
    ASSERT_EQ(got.size(), 1u) << box.Output();
    EXPECT_EQ(got[0].bytes, std::string("GET /inputs HTTP/1.0\r\n\r\n") + '\0');
  }
  ASSERT_TRUE(WaitFor([&] { return count(1, "hb") >= 2; }));

  sim.Control("send videoserver 1 \\x00\\x01\\xff\\xfe\\x1b[2J");
  for (int i = 0; i < 4; ++i) sim.Control("send videoserver 1 " + std::string(2500, 'x'));
  sim.Control("sendline videoserver 1 ");
  sim.Control("sendline videoserver 2 " + kOnLine);
  ASSERT_TRUE(WaitFor([&] { return starts().size() == 1; })) << box.Output();
  EXPECT_EQ(starts()[0], "9650 REF 0 ocelam_camera8");

  // Of another type (the valid type comes from the model profile): nothing;
  // the active pin behind it starts alarm 9601 of camera 7. (What each line
  // does is the unit tests'.)
  for (const char* type : {"output", "input"})
    EXPECT_EQ(
        sim.Control("sendline videoserver 1 ioboxid=2 pin=4 state=on type=" + std::string(type)),
        "ok connections=1\n");
  ASSERT_TRUE(WaitFor([&] { return starts().size() == 2; })) << box.Output();
  EXPECT_EQ(starts()[1], "9601 REF 0 ocelam_camera7");
  EXPECT_EQ(count(1, "Pin type is 'output' (io box '2') - onyl start alarm for type 'input'"), 1u);
  EXPECT_NE(box.Output().find("AlarmInputThread started for video server 1"), std::string::npos);
  // The fresh reference has its ".L1" file in the alarm server's directory.
  std::smatch m;
  std::string text = ReadFile(started);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("[0-9A-F]{8}")));
  EXPECT_TRUE(testing_support::FileExists(box.path("alarms/" + m.str() + ".L1")));

  // One request, on one connection, all along.
  EXPECT_EQ(sim.Requests("videoserver", 1).size(), 1u);
  EXPECT_EQ(sim.Stat("videoserver", 1, "extra"), 0);

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
      WaitFor([&] { return testing_support::RingReached(ring, 100000); }, 60));
  EXPECT_FALSE(FileExists(files + "/Yard/Yard_mjpegstream.mjpeg"));  // probes write no stream
  // The probe got its image with the credentials (its CamStatus above: this
  // Basic camera is allowed Basic); the camera's challenge comes first, as
  // the method is the camera's choice.
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

  for (int n : {1, 2, 3}) {
    std::string log = ReadFile(box.work() + testing_support::DatedName(
                                                "/LOG/Ocelam_" + std::to_string(n) + "_%04d%02d%02d.log",
                                                true));
    EXPECT_NE(log.find("Start Watchdog Thread for camera " + std::to_string(n)), std::string::npos)
        << log;
  }
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
  EXPECT_EQ(gw->exit_code(), 0);
}

}  // namespace
