// The gateway's monitor port seen through the ocelam-monitor client, and the
// client itself against a stand-in server. Commands, bad clients, the allow
// list and the default alarm check are the unit tests' (tests/monitor).
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

// The gateway's own part of the status (the rest is the unit tests',
// tests/monitor): its profile's name and description, its statistics, the
// port of its register; the access keys are read, never written back.
TEST(MonitorGateway, ClientGetsTheGatewaysStatus) {
  GatewaySandbox box;
  WriteFile(box.IniFile("ocelam.ini"), "[Config]\nDescription=Gate north\n");
  auto gw = box.Start();
  // The start is through once the configuration has written its defaults.
  ASSERT_TRUE(box.WaitStarted() && WaitFor([&] {
                return ReadFile(box.IniFile("ocelam.ini")).find("NumberOfIPCams=") !=
                       std::string::npos;
              }));
  Child tool({kMonitorBin, "--no-stdin", "--wait", "60", "--port",
              std::to_string(box.monitor_port()), "--count", "14"},
             box.work(), {}, box.path("m1.out"));
  ASSERT_TRUE(tool.WaitExit(120));
  EXPECT_EQ(tool.exit_code(), 0);
  const std::string date = "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d";
  const std::string out = ReadFile(box.path("m1.out"));
  EXPECT_TRUE(std::regex_match(
      out,
      std::regex("<application protocole=ocelam inifile=ocelam\\.ini remotesystem=\"\" "
                 "physicallayer=\"\" fileversion=\"v\\.1\\.0\\.0\\.1\" direction=\"outgoing\" />\n"
                 "([^\n]*\n){5}<configuration parameter=description>Gate north</configuration>\n"
                 "([^\n]*\n){5}<statistics type=LastStartup label=\"" +
                 date + "\" />\n<statistics type=FirstInstall label=\"" + date + "\" />\n")))
      << out;
  EXPECT_NE(ReadFile(box.work() + testing_support::DatedName("/log/ocelam_%04d%02d%02d.log"))
                .find("ServerWaitConnThread started. Listening on the port " +
                      std::to_string(box.monitor_port())),
            std::string::npos);
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

  // A server that closes at once, as the gateway does with a client outside
  // its allow list, is said to have refused this client.
  Child refused({kMonitorBin, "--no-stdin", "--port", std::to_string(server.port())}, box.work(),
                {}, box.path("refused.out"));
  close(server.Accept());
  ASSERT_TRUE(refused.WaitExit(60));
  EXPECT_EQ(refused.exit_code(), 4);
  EXPECT_NE(ReadFile(box.path("refused.out")).find("the gateway refused this client"),
            std::string::npos);

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
