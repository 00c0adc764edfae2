// Alarm inputs of a whole gateway: simulated video servers send input lines,
// the gateway starts the mapped alarms through "ocelam.bat" or the alarm
// server's tool, shrugs off garbage without holding up other servers, and asks
// a silent server again after 100 seconds.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

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

const std::string kNul(1, '\0');
const std::string kRequest = "GET /inputs HTTP/1.0\r\n\r\n";
const std::string kOnLine = "ioboxid=2 pin=4 state=on type=input";

// A gateway whose video servers 1 and 2 are the simulator's, with the IO box
// 2 of server 1 on camera 3 (pin 4: alarm 9601) and that of server 2 on
// camera 4 (no alarm of its own: the server's default 9650).
class AlarmInputGateway {
 public:
  AlarmInputGateway(const SimProcess& sim, bool batch_file) {
    std::string servers;
    for (int n = 1; n <= 2; ++n) {
      if (sim.port("videoserver", n) < 0) continue;
      servers += "[VideoServer" + std::to_string(n) + "]\nid=" + std::to_string(n) +
                 "\nIPAddress=127.0.0.1\nIPPort=" + std::to_string(sim.port("videoserver", n)) +
                 "\nNbCameraConnected=1\n";
    }
    WriteFile(box_.IniFile("ocelam.ini"),
              "[Config]\nWatchPath=" + box_.path("watch") + "\nDonePath=" + box_.path("done") +
                  "\nErrorPath=" + box_.path("error") + "\nFilePath=" + box_.path("file") +
                  "\nLogDirectory=" + box_.path("alarms") + "\n" + servers +
                  "[IOBoxCameraMapping]\n1-2=3\n2-2=4\n[Scenario3]\nStartAlrOnPin4=9601\n");
    WriteFile(box_.IniFile("qxacam.ini"),
              "[sonyrsm]\nGetAlarmInput=GET /inputs HTTP/1.0\\r\\n\\r\\n\n"
              "AlarmInputRegExp=ioboxid=([0-9]+) pin=([0-9]+) state=([a-z0-9]+) type=([a-z]+)\n"
              "AlarmInputIOBoxIDSubst=\\1\nAlarmInputPinNumberSubst=\\2\n"
              "AlarmInputPinStateSubst=\\3\nAlarmInputPinTypeSubst=\\4\n"
              "AlarmInputPinRawDataSubst=&\nHeartBeatString=heartbeat\n"
              "AlarmInputIOValidPinType=input\n");
    mkdir(box_.path("alarms").c_str(), 0755);
    mkdir(box_.path("bin").c_str(), 0755);
    // The alarm server's side: each records its arguments, one line a start.
    std::string recorder = "#!/bin/sh\necho \"$*\" >> " + started_ + "\n";
    std::string script = batch_file ? box_.work() + "/ocelam.bat" : box_.path("bin/qxe");
    WriteFile(script, recorder);
    chmod(script.c_str(), 0755);
    std::vector<std::string> env = box_.Env();
    env.push_back("PATH=" + box_.path("bin") + ":" + std::getenv("PATH"));
    gateway_ = std::make_unique<testing_support::Child>(std::vector<std::string>{OCELAM_BIN},
                                                        box_.work(), env, box_.path("ocelam.out"));
  }
  ~AlarmInputGateway() {
    if (gateway_->running()) gateway_->Signal(SIGTERM);
    gateway_->WaitExit(10);
  }

  testing_support::Child& process() { return *gateway_; }
  std::string Output() const { return ReadFile(box_.path("ocelam.out")); }
  std::string AlarmsDirectory() const { return box_.path("alarms"); }

  std::string RawStarted() const { return ReadFile(started_); }
  // The alarm starts so far, the reference written as REF.
  std::vector<std::string> Started() const {
    static const std::regex kReference("(-s3| )[0-9A-F]{8}( |\n)");
    std::string text = std::regex_replace(RawStarted(), kReference, "$1REF$2");
    std::vector<std::string> lines;
    std::size_t pos = 0, eol;
    while ((eol = text.find('\n', pos)) != std::string::npos) {
      lines.push_back(text.substr(pos, eol - pos));
      pos = eol + 1;
    }
    return lines;
  }
  // The lines (without their time) of the daily logs starting with `prefix`.
  std::vector<std::string> Log(const std::string& prefix) const {
    std::vector<std::string> names, lines;
    if (DIR* d = opendir((box_.work() + "/LOG").c_str())) {
      while (dirent* e = readdir(d))
        if (std::string(e->d_name).rfind(prefix, 0) == 0) names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string text = ReadFile(box_.work() + "/LOG/" + name);
      std::size_t pos = 0, eol;
      while ((eol = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos + 9, eol - pos - 9));
        pos = eol + 1;
      }
    }
    return lines;
  }
  std::size_t Count(int server, const std::string& line) const {
    auto lines = Log("ocelam_alarminput_server_" + std::to_string(server) + "_");
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }

 private:
  GatewaySandbox box_;
  std::string started_ = box_.path("started.txt");
  std::unique_ptr<testing_support::Child> gateway_;
};

TEST(AlarmInput, ActivePinStartsItsAlarmThroughTheBatchFileOthersNothing) {
  SimProcess sim({"--videoserver", "id=1,port=0,heartbeat=300,hbtext=HEARTBEAT"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  AlarmInputGateway gw(sim, true);
  std::vector<RecordedRequest> got = sim.AwaitRequests("videoserver", 1, 1);
  ASSERT_EQ(got.size(), 1u) << gw.Output();
  EXPECT_EQ(got[0].bytes, kRequest + kNul);
  ASSERT_TRUE(WaitFor([&] { return gw.Count(1, "hb") >= 2; }));

  // Inactive, of another type, from an unknown IO box: nothing is started.
  // The active pin behind them starts its alarm, which shows that they
  // have been seen.
  for (const char* line :
       {"ioboxid=2 pin=4 state=off type=input", "ioboxid=2 pin=4 state=0 type=input",
        "ioboxid=2 pin=4 state=on type=output", "ioboxid=8 pin=4 state=on type=input",
        "ioboxid=2 pin=4 state=on type=input"})
    EXPECT_EQ(sim.Control(std::string("sendline videoserver 1 ") + line), "ok connections=1\n");
  ASSERT_TRUE(WaitFor([&] { return gw.Started().size() == 1; })) << gw.Output();
  EXPECT_EQ(gw.Started()[0], "9601 REF 0 ocelam_camera3");
  EXPECT_EQ(gw.Count(1, "Status of pin '4' is 'off' (io box '2') - do not start alarm"), 1u);
  EXPECT_EQ(gw.Count(1, "Status of pin '4' is '0' (io box '2') - do not start alarm"), 1u);
  EXPECT_EQ(gw.Count(1, "Pin type is 'output' (io box '2') - onyl start alarm for type 'input'"),
            1u);
  EXPECT_EQ(gw.Count(1, "ERROR: No valid camera ID found for the io box '8'"), 1u);
  EXPECT_EQ(gw.Count(1, "Camera 3: start alarm 9601 on input pin activation (pin number 4)"), 1u);
  std::string output = gw.Output();
  EXPECT_NE(output.find("AlarmInputThread started for video server 1"), std::string::npos);
  EXPECT_NE(output.find("ERROR: No valid camera ID found for the io box '8'"), std::string::npos);
  EXPECT_NE(output.find("Camera 3: start alarm 9601 on input pin activation (pin number 4)"),
            std::string::npos);
  // The fresh reference has its ".L1" file in the alarm server's directory.
  std::smatch m;
  std::string started = gw.RawStarted();
  ASSERT_TRUE(std::regex_search(started, m, std::regex("[0-9A-F]{8}")));
  EXPECT_TRUE(FileExists(gw.AlarmsDirectory() + "/" + m.str() + ".L1"));

  // One request, on one connection, all along.
  EXPECT_EQ(sim.Requests("videoserver", 1).size(), 1u);
  EXPECT_EQ(sim.Stat("videoserver", 1, "extra"), 0);
  EXPECT_TRUE(gw.process().running());
}

TEST(AlarmInput, WithoutTheBatchFileTheAlarmServersToolRuns) {
  SimProcess sim({"--videoserver", "id=2,port=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  AlarmInputGateway gw(sim, false);
  ASSERT_EQ(sim.AwaitRequests("videoserver", 2, 1).size(), 1u) << gw.Output();
  sim.Control("sendline videoserver 2 " + kOnLine);
  ASSERT_TRUE(WaitFor([&] { return gw.Started().size() == 1; })) << gw.Output();
  // Server 2's IO box 2 is camera 4, whose pin 4 has no alarm: the default.
  EXPECT_EQ(gw.Started()[0], "qxarun 1 -i49650 -s3REF -s8ocelam_camera4 -s9alr");
}

TEST(AlarmInput, GarbageIsLoggedAndHoldsUpNoOtherServer) {
  SimProcess sim({"--videoserver", "id=1,port=0", "--videoserver", "id=2,port=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  AlarmInputGateway gw(sim, true);
  ASSERT_EQ(sim.AwaitRequests("videoserver", 1, 1).size(), 1u) << gw.Output();
  ASSERT_EQ(sim.AwaitRequests("videoserver", 2, 1).size(), 1u) << gw.Output();

  // Server 1: binary bytes, then a line of 10,000 characters: one message,
  // the line dropped.
  sim.Control("send videoserver 1 \\x00\\x01\\xff\\xfe\\x1b[2J");
  for (int i = 0; i < 4; ++i) sim.Control("send videoserver 1 " + std::string(2500, 'x'));
  sim.Control("sendline videoserver 1 ");
  // Server 2 meanwhile: its input starts its alarm.
  sim.Control("sendline videoserver 2 " + kOnLine);
  ASSERT_TRUE(WaitFor([&] { return gw.Started().size() == 1; })) << gw.Output();
  EXPECT_EQ(gw.Started()[0], "9650 REF 0 ocelam_camera4");

  // Server 1 then takes an input with printf directives in it as it is.
  const std::string percent = kOnLine + " %s%s%s%n%n%n";
  sim.Control("sendline videoserver 1 " + percent);
  ASSERT_TRUE(WaitFor([&] { return gw.Started().size() == 2; })) << gw.Output();
  EXPECT_EQ(gw.Started()[1], "9601 REF 0 ocelam_camera3");
  EXPECT_EQ(gw.Count(1, percent), 1u) << "logged exactly as received";
  EXPECT_EQ(gw.Count(1,
                     "ERROR: no line end within 4096 bytes on socket for the command "
                     "'GET /inputs HTTP/1.0\\r\\n\\r\\n' - the line is dropped up to its "
                     "end; it begins '\\x00\\x01\xff\xfe\\x1B[2J" +
                         std::string(56, 'x') + "'"),
            1u)
      << ::testing::PrintToString(gw.Log("ocelam_alarminput_server_1_"));
  EXPECT_TRUE(gw.process().running());
  EXPECT_EQ(sim.Requests("videoserver", 1).size(), 1u);
}

TEST(AlarmInput, SilentServerIsAskedAgainAfter100Seconds) {
  SimProcess sim({"--videoserver", "id=1,port=0", "--videoserver",
                  "id=2,port=0,heartbeat=1000,hbtext=heartbeat"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  AlarmInputGateway gw(sim, true);
  std::vector<RecordedRequest> got = sim.AwaitRequests("videoserver", 1, 1);
  ASSERT_EQ(got.size(), 1u) << gw.Output();
  ASSERT_TRUE(WaitFor([&] { return sim.Requests("videoserver", 1).size() == 2; }, 160));
  got = sim.Requests("videoserver", 1);
  // 100 s without a byte, then 5.5 s before the new connection.
  long long gap = got[1].time_us - got[0].time_us;
  EXPECT_GE(gap, 105'000'000);
  EXPECT_LT(gap, 135'000'000);
  EXPECT_EQ(got[1].connection, 2u);
  EXPECT_EQ(got[1].bytes, kRequest + kNul);
  EXPECT_EQ(gw.Count(1,
                     "ERROR: no data received on socket for the command "
                     "'GET /inputs HTTP/1.0\\r\\n\\r\\n' - check your parameter 'GET'...."),
            1u);
  // The server with heartbeats kept its one connection.
  EXPECT_EQ(sim.Requests("videoserver", 2).size(), 1u);
  EXPECT_GE(gw.Count(2, "hb"), 90u);
}

}  // namespace
