// The gateway's monitor port seen through the ocelam-monitor client, and the
// client itself against a stand-in server. Commands, bad clients and the
// default alarm check are the unit tests' (tests/monitor).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/gateway_sandbox.h"
#include "support/loopback_camera.h"
#include "support/sim_client.h"

using testing_support::Child;
using testing_support::FreeLoopbackPort;
using testing_support::GatewaySandbox;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

const std::string kMonitorBin =
    (std::filesystem::path(OCELAM_BIN).parent_path() / "tools/monitor/ocelam-monitor").string();

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

// Runs ocelam-monitor with `args` to its end; its output lines.
std::vector<std::string> RunMonitor(GatewaySandbox& box, std::vector<std::string> args,
                                    const std::string& output, int* exit_code = nullptr) {
  args.insert(args.begin(), {kMonitorBin, "--no-stdin", "--wait", "60"});
  Child tool(args, box.work(), {}, box.path(output));
  EXPECT_TRUE(tool.WaitExit(120));
  if (exit_code) *exit_code = tool.exit_code();
  return Lines(ReadFile(box.path(output)));
}

// True once the start is through: the connection states are announced
// before the configuration is loaded, which writes its defaults back.
bool WaitRunning(GatewaySandbox& box) {
  return box.WaitStarted() && WaitFor([&] {
           return ReadFile(box.IniFile("ocelam.ini")).find("NumberOfIPCams=") != std::string::npos;
         });
}

TEST(MonitorGateway, ClientGetsTheFullStatusOrIsToldItIsNotAllowed) {
  GatewaySandbox box;
  WriteFile(box.IniFile("ocelam.ini"), "[Config]\nDescription=Gate north\n");
  auto gw = box.Start();
  ASSERT_TRUE(WaitRunning(box));
  int code = -1;
  std::vector<std::string> got = RunMonitor(
      box, {"--port", std::to_string(box.monitor_port()), "--count", "14"}, "m1.out", &code);
  EXPECT_EQ(code, 0);
  ASSERT_EQ(got.size(), 14u) << ReadFile(box.path("m1.out"));
  const std::string app =
      "<application protocole=ocelam inifile=ocelam.ini remotesystem=\"\" "
      "physicallayer=\"\" fileversion=\"v.1.0.0.1\"";
  const std::vector<std::string> head = {
      app + " direction=\"outgoing\" />",
      app + " />",
      "<event type=\"OrvConnection\" state=1 />",
      "<event type=\"RSConnection\" state=1 />",
      "<configuration parameter=comport>[Undefined]</configuration>",
      "<configuration parameter=mode>[Undefined]</configuration>",
      "<configuration parameter=description>Gate north</configuration>",
      "<statistics type=LastAlarm label=\"No alarm started yet\" />",
      "<statistics type=LastWD label=\"No 7-layer data watchdog - only physical supervision\" />",
      "<statistics type=LastWDAlr label=\"No watchdog alarm started yet\" />",
      "<statistics type=LastDataSent label=\"No data sent yet\" />",
      "<statistics type=LastDataReceived label=\"No data received yet\" />"};
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 12), head);
  const std::string date = "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d";
  EXPECT_TRUE(std::regex_match(
      got[12], std::regex("<statistics type=LastStartup label=\"" + date + "\" />")))
      << got[12];
  EXPECT_TRUE(std::regex_match(
      got[13], std::regex("<statistics type=FirstInstall label=\"" + date + "\" />")))
      << got[13];
  std::string log =
      ReadFile(box.work() + testing_support::DatedName("/log/ocelam_%04d%02d%02d.log"));
  EXPECT_NE(log.find("ServerWaitConnThread started. Listening on the port " +
                     std::to_string(box.monitor_port())),
            std::string::npos)
      << log;
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));

  // A client outside the allow list is told plainly.
  WriteFile(box.IniFile("ocelam.ini"),
            "[Config]\nMonitorBindAddress=127.0.0.1\nMonitorAllowedClients=127.0.0.2\n");
  gw = box.Start();
  ASSERT_TRUE(WaitRunning(box));
  got = RunMonitor(box, {"--port", std::to_string(box.monitor_port()), "--wait", "1"}, "m6.out",
                   &code);
  EXPECT_EQ(code, 4);
  ASSERT_EQ(got.size(), 1u) << ReadFile(box.path("m6.out"));
  EXPECT_NE(got[0].find("the gateway refused this client"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("MonitorAllowedClients"), std::string::npos) << got[0];
  // The keys are read, not written back.
  EXPECT_EQ(ReadFile(box.IniFile("ocelam.ini")).find("MonitorMaxClientsPerAddress"),
            std::string::npos);
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
}

// The client alone, against a stand-in server.
TEST(MonitorTool, PrintsMessagesSendsFramedCommandsAndRefusesBadArguments) {
  GatewaySandbox box(false);
  camera_test::LoopbackListener server;
  // Commands typed on stdin, one unknown; then the options' command.
  WriteFile(box.path("typed.txt"), "log off\nbogus\n  testinfo \n<command type=init />\n");
  Child child({"/bin/sh", "-c", "exec \"$0\" --port \"$1\" --count 3 --log-on < \"$2\"",
               kMonitorBin, std::to_string(server.port()), box.path("typed.txt")},
              box.work(), {}, box.path("tool.out"));
  const int fd = server.Accept();
  ASSERT_GE(fd, 0);
  std::string got;
  auto receive = [&](const std::string& want) {
    got.clear();
    camera_test::ReadUntil(fd, got, [&] { return got.size() >= want.size(); });
    EXPECT_EQ(got, want);
  };
  receive(std::string("<command type=log state=OFF />") + '\0' + "<getTestSendInfo/>" + '\0' +
          "<command type=init />" + '\0');
  // The options' commands wait for the first message.
  sim_test::SendText(fd, std::string("first") + '\0' + "sec");
  receive(std::string("<command type=log state=ON />") + '\0');
  sim_test::SendText(fd, std::string("ond") + '\0' + "third" + '\0' + "fourth" + '\0');
  ASSERT_TRUE(child.WaitExit(60));
  close(fd);
  EXPECT_EQ(child.exit_code(), 0);
  std::string out = ReadFile(box.path("tool.out"));
  EXPECT_NE(out.find("first\nsecond\nthird\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("fourth"), std::string::npos) << out;
  EXPECT_NE(out.find("unknown command 'bogus'"), std::string::npos) << out;

  // Bad arguments, and nobody listening.
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, 2},
      {{"--port", "0"}, 2},
      {{"--port", "22001", "--count", "-1"}, 2},
      {{"--port", "22001", "--bogus"}, 2},
      {{"--port", std::to_string(FreeLoopbackPort())}, 1},
  };
  for (auto [args, code] : cases) {
    args.insert(args.begin(), {kMonitorBin, "--no-stdin"});
    Child tool(args, box.work(), {}, box.path("bad.out"));
    ASSERT_TRUE(tool.WaitExit(30));
    EXPECT_EQ(tool.exit_code(), code) << args.back();
  }
}

}  // namespace
