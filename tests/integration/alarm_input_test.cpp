// Alarm inputs of a whole gateway: simulated video servers send input lines,
// the gateway starts the mapped alarms through "ocelam.bat" and shrugs off
// garbage without holding up other servers. What each line does is the unit
// tests' (camera_http), as are silences and reconnections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

using sim_test::RecordedRequest;
using sim_test::SimProcess;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

const std::string kOnLine = "ioboxid=2 pin=4 state=on type=input";

// Server 1 sends garbage and an endless line while server 2's input starts
// its alarm; then server 1's own inputs are judged and its active pin starts
// its alarm.
TEST(AlarmInput, InputsStartTheirAlarmsAndGarbageHoldsUpNoOtherServer) {
  SimProcess sim({"--videoserver", "id=1,port=0,heartbeat=300,hbtext=HEARTBEAT", "--videoserver",
                  "id=2,port=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  // IO box 2 of server 1 is camera 3 (pin 4: alarm 9601), that of server 2
  // camera 4 (no alarm of its own: the server's default 9650).
  testing_support::GatewaySandbox box;
  std::string ini = "[Config]\nWatchPath=" + box.path("watch") + "\nDonePath=" + box.path("done") +
                    "\nErrorPath=" + box.path("error") + "\nFilePath=" + box.path("file") +
                    "\nLogDirectory=" + box.path("alarms") +
                    "\n[IOBoxCameraMapping]\n1-2=3\n2-2=4\n[Scenario3]\nStartAlrOnPin4=9601\n";
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
  // The alarm server's side: it records its arguments, one line a start.
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
  EXPECT_EQ(starts()[0], "9650 REF 0 ocelam_camera4");

  // Of another type (the valid type comes from the model profile): nothing;
  // the active pin behind it starts alarm 9601 of camera 3. (What each line
  // does is the unit tests'.)
  for (const char* type : {"output", "input"})
    EXPECT_EQ(
        sim.Control("sendline videoserver 1 ioboxid=2 pin=4 state=on type=" + std::string(type)),
        "ok connections=1\n");
  ASSERT_TRUE(WaitFor([&] { return starts().size() == 2; })) << box.Output();
  EXPECT_EQ(starts()[1], "9601 REF 0 ocelam_camera3");
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
  EXPECT_TRUE(gw->running());
  gw->Signal(SIGTERM);
  EXPECT_TRUE(gw->WaitExit(10));
}

}  // namespace
