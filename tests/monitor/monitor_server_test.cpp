// The monitor server in-process, against plain loopback clients.
#include "monitor/monitor_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <tuple>

#include "core/profile/user_profile.h"
#include "monitor/interface_record.h"
#include "support/fake_clock.h"
#include "support/monitor_test_client.h"
#include "support/sandbox.h"
#include "support/vm001_table.h"

using namespace testing_support;

namespace {

constexpr const char* kVersion = "v.1.2.3.4";
constexpr const char* kTestInfoReply = "<TestSendInfo message=\"\" lastnbr=\"\" description=\"\"/>";
constexpr std::size_t kStatusCount = 14;  // messages of a full status before the log history
constexpr std::time_t kSomeTime = 0x5f5e1000;
constexpr const char* kSomeTimeHex = "5f5e1000";  // as the statistics keep it

std::string ShownTime(std::time_t t) {
  char buf[64];
  std::tm tm{};
  std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", localtime_r(&t, &tm));
  return buf;
}

// A working directory with "log/", an ini directory named by the registry
// and a run directory; the program is named after the test, so lines of
// monitors left running by earlier tests of the process go elsewhere.
class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const char* d : {"log", "ini", "run"}) mkdir(d, 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_ / "ini" + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    setenv("OCELAM_RUNDIR", (dir_ / "run").c_str(), 1);
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  // A monitor the way main starts it, on a free port unless one is given.
  monitor::MonitorServer* Start(int port = 0) {
    core::ApplicationInfo info;
    info.program_name = name_;
    info.version = kVersion;
    info.profile_file_name = name_ + ".ini";
    port_ = port ? port : FreeLoopbackPort();
    auto* monitor = new monitor::MonitorServer(port_, info, clock_);
    monitor->StartFullStatusThread();
    monitor->SetAlarmServerConnection(1);
    monitor->SetRemoteSystemConnection(1);
    return monitor;
  }
  std::string Log() { return ReadFile(dir_ / DatedName("log/" + name_ + "_%04d%02d%02d.log")); }
  bool LogHas(const std::string& text, double seconds = 60) {
    return WaitFor([&] { return Log().find(text) != std::string::npos; }, seconds);
  }
  // Connects and reads the first full status (no log history in it).
  void ConnectAndDrain(MonitorTestClient& client) {
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_EQ(client.Take(kStatusCount).size(), kStatusCount);
  }
  // A second after the last on the server's clock (within the client's log
  // budget, answerable), sends a command and waits until the server has
  // taken it in, so the next one is received apart from it.
  void Command(MonitorTestClient& client, const std::string& text) {
    clock_.AdvanceSeconds(1);
    auto line =
        monitor::ReceivedCommandLogLine(monitor::ParseMonitorCommand(text.c_str()), text.c_str());
    const std::size_t before = CountOf(Log(), line);
    ASSERT_TRUE(client.Send(text));
    ASSERT_TRUE(WaitFor([&] { return CountOf(Log(), line) > before; }, 60)) << text;
  }
  TempDir dir_;
  // Like the monitors, never destroyed: their threads outlive the test.
  FakeClock& clock_ = *new FakeClock;
  std::string name_;
  int port_ = 0;
};

// Forwards a copy of `text` (ForwardLog edits its line in place).
void Forward(monitor::MonitorServer* monitor, std::string text,
             core::ReportLevel level = core::ReportLevel::kInfo) {
  monitor->ForwardLog(text.data(), level);
}

std::regex LogEvent(int level, const std::string& text) {
  return std::regex("<event type=\"log\" display=" + std::to_string(level) +
                    " label=\"\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d " + text + "\"/>");
}

TEST_F(MonitorTest, NewClientGetsFullStatusAndHistoryTwice) {
  const std::string hex = kSomeTimeHex;
  WriteFile(dir_ / ("ini/" + name_ + ".ini"),
            "[Config]\nDescription=North gate\nRemoteSystemName=RS1\nPhysicalLayer=TCP\n"
            "[Statistics]\nLastWD=" +
                hex + "\nLastWDAlr=" + hex + "\nLastDataSent=\nLastStartup=" + hex + "\n");
  monitor::MonitorServer* monitor = Start();
  for (int i = 1; i <= 25; ++i)  // any level is forwarded
    Forward(monitor, "line " + std::to_string(i) + " <x>", static_cast<core::ReportLevel>(i % 4));
  MonitorTestClient client;
  ASSERT_TRUE(client.Connect(port_));
  std::vector<std::string> got = client.Take(kStatusCount + 40);
  ASSERT_EQ(got.size(), kStatusCount + 40);
  const std::string app = "<application protocole=" + name_ + " inifile=" + name_ +
                          ".ini remotesystem=\"RS1\" physicallayer=\"TCP\" fileversion=\"" +
                          kVersion + "\"";
  const std::string stat = "<statistics type=";
  EXPECT_EQ(
      std::vector<std::string>(got.begin(), got.begin() + kStatusCount),
      (std::vector<std::string>{
          app + " direction=\"outgoing\" />", app + " />",
          "<event type=\"OrvConnection\" state=1 />", "<event type=\"RSConnection\" state=1 />",
          "<configuration parameter=comport>[Undefined]</configuration>",
          "<configuration parameter=mode>[Undefined]</configuration>",
          "<configuration parameter=description>North gate</configuration>",
          stat + "LastAlarm label=\"No alarm started yet\" />",
          stat + "LastWD label=\"No 7-layer data watchdog - only physical supervision\" />",
          stat + "LastWDAlr label=\"" + ShownTime(kSomeTime) + "\" />",
          stat + "LastDataSent label=\"No data sent yet\" />",
          stat + "LastDataReceived label=\"No data received yet\" />",
          stat + "LastStartup label=\"" + ShownTime(kSomeTime) + "\" />",
          stat + "FirstInstall label=\"ERROR\" />"}));
  // The last 20 lines, oldest first, twice; brackets gone.
  for (int k = 0; k < 40; ++k) {
    const int i = 6 + k % 20;
    EXPECT_TRUE(std::regex_match(got[kStatusCount + k],
                                 LogEvent(i % 4, "line " + std::to_string(i) + " x")))
        << got[kStatusCount + k];
  }
  // One NUL after every message, nothing else between them.
  std::string framed;
  for (const std::string& m : got) framed += m + '\0';
  EXPECT_EQ(client.raw().substr(0, framed.size()), framed);
  EXPECT_TRUE(LogHas("TCP connection created with index 0"));
  EXPECT_TRUE(
      LogHas("ServerWaitConnThread started. Listening on the port " + std::to_string(port_)));
  EXPECT_TRUE(LogHas("ServerWaitEventThread started"));
}

TEST_F(MonitorTest, CommandsInAnyLetterCase) {
  monitor::MonitorServer* monitor = Start();
  MonitorTestClient client;
  ConnectAndDrain(client);
  Command(client, "<COMMAND TYPE=INIT />");
  std::vector<std::string> again = client.Until("<statistics type=FirstInstall");
  ASSERT_EQ(again.size(), kStatusCount);
  EXPECT_TRUE(again[0].starts_with("<application protocole=" + name_)) << again[0];
  EXPECT_TRUE(LogHas("String received from interface monitor: <COMMAND TYPE=INIT />"));
  // Texts that are not exactly one command are only written to the log,
  // control bytes escaped: with a line feed, two commands in one receive,
  // garbage, a forged log line.
  for (auto [text, logged] : std::vector<std::pair<std::string, std::string>>{
           {"<command type=init />\n", "<command type=init />\\n"},
           {"<command type=init /><command type=log state=OFF />",
            "<command type=init /><command type=log state=OFF />"},
           {"\x01\x02 h\\ello\x7f", "\\x01\\x02 h\\\\ello\\x7F"},
           {"x\r\n05.12 ERROR: camera 1 fake", "x\\r\\n05.12 ERROR: camera 1 fake"}}) {
    Command(client, text);
    EXPECT_TRUE(LogHas("String received from interface monitor: " + logged)) << logged;
    Command(client, "<GetTestSendInfo/>");
    EXPECT_EQ(client.Until("<TestSendInfo"), std::vector<std::string>{kTestInfoReply}) << logged;
  }
  EXPECT_FALSE(std::regex_search(Log(), std::regex("[\r\n]05.12 ERROR")));
  EXPECT_TRUE(LogHas("TestSendInfos requested from interface monitor: <GetTestSendInfo/>"));
  EXPECT_TRUE(LogHas(std::string("Send TestInfo to Interface Monitor: ") + kTestInfoReply));
  // Log lines off: status messages and the test reply still come, log
  // events (the history of an init included) do not.
  Forward(monitor, "seen before");
  ASSERT_EQ(client.Take(1).size(), 1u);
  Command(client, "<Command Type=Log State=off />");
  EXPECT_TRUE(LogHas("String received from interface monitor: <Command Type=Log State=off />"));
  Forward(monitor, "hidden line");
  monitor->SetAlarmServerConnection(0);
  EXPECT_EQ(client.Take(1), std::vector<std::string>{"<event type=\"OrvConnection\" state=OFF />"});
  Command(client, "<command type=init />");
  again = client.Until("<statistics type=FirstInstall");
  ASSERT_EQ(again.size(), kStatusCount);
  EXPECT_EQ(again[2], "<event type=\"OrvConnection\" state=0 />");
  Command(client, "<getTestSendInfo/>");
  EXPECT_EQ(client.Until("<TestSendInfo"), std::vector<std::string>{kTestInfoReply});
  Command(client, "<command type=LOG state=On />");
  Forward(monitor, "visible line", core::ReportLevel::kError);
  std::string m;
  ASSERT_TRUE(client.Next(&m));
  EXPECT_TRUE(std::regex_match(m, LogEvent(3, "visible line"))) << m;
}

TEST_F(MonitorTest, FullStatusVariantsAndForwardedLines) {
  monitor::MonitorServer* monitor = Start();
  ASSERT_TRUE(core::WriteIniString("Statistics", "LastWD", kSomeTimeHex, name_ + ".ini"));
  MonitorTestClient client;
  ConnectAndDrain(client);
  const std::string app =
      "<application protocole=gw inifile=gw.ini remotesystem=\"\" "
      "physicallayer=\"\" fileversion=\"v.9\"";
  // Layer, watchdog, direction, the configuration ("<name>value") before the
  // description, LastWD.
  const std::tuple<int, int, int, std::vector<std::string>, std::string> cases[] = {
      // clang-format off
      {monitor::kPhysicalLayerIp, monitor::kWatchdogData, 0, {"ipaddress>10.1.2.3", "ipport>5000"}, ShownTime(kSomeTime)},
      {monitor::kPhysicalLayerPort, monitor::kWatchdogNone, 1, {"ipport>5000"}, "No watchdog activated"},
      {7, monitor::kWatchdogPhysical, 0, {}, "No 7-layer data watchdog - only physical supervision"},
      // clang-format on
  };
  for (const auto& [layer, watchdog, direction, configuration, last_wd] : cases) {
    SCOPED_TRACE(layer);
    monitor->SendFullStatus("gw", "gw.ini", "v.9", "COM1", "9600", layer, "10.1.2.3", 5000,
                            watchdog, direction);
    std::vector<std::string> got = client.Until("<statistics type=FirstInstall");
    std::vector<std::string> expected;
    if (direction) expected.push_back(app + " direction=\"outgoing\" />");
    expected.insert(expected.end(), {app + " />", "<event type=\"OrvConnection\" state=1 />",
                                     "<event type=\"RSConnection\" state=1 />"});
    for (const std::string& v : configuration)
      expected.push_back("<configuration parameter=" + v + "</configuration>");
    expected.insert(expected.end(), {"<configuration parameter=description></configuration>",
                                     "<statistics type=LastAlarm label=\"No alarm started yet\" />",
                                     "<statistics type=LastWD label=\"" + last_wd + "\" />"});
    ASSERT_EQ(got.size(), expected.size() + 5);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + expected.size()), expected);
  }
  // Lines of the record lose their angle brackets for the clients only;
  // both show them masked, a '"' of the label as "&quot;".
  monitor::InterfaceRecord record(name_, clock_);
  record.SetMonitor(monitor);
  char text[] = "camera <3> \"up\" \x1b[2J pwd=x1", secret[] = "file only";
  record.Log(text, core::ReportLevel::kInfo);
  EXPECT_STREQ(text, "camera 3 \"up\" \x1b[2J pwd=x1");  // edited in place
  record.Log(secret, core::ReportLevel::kLogOnly);
  std::string long_line(2000, 'y');
  record.Log(long_line.data(), core::ReportLevel::kSuccess);
  std::vector<std::string> got = client.Take(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      got[0], LogEvent(1, "camera 3 &quot;up&quot; \\\\x1B\\[2J pwd=\\*\\*\\*")))
      << got[0];
  // The dated line is cut at 511 characters: 20 of date and time, the rest text.
  EXPECT_TRUE(std::regex_match(got[1], LogEvent(0, std::string(511 - 20, 'y')))) << got[1].size();
  EXPECT_TRUE(LogHas("camera <3> \"up\" \\x1B[2J pwd=***") && LogHas("file only"));
}

// Who gets in: those on the allow list (bad entries reported and skipped),
// at most MonitorMaxClientsPerAddress from one address, 50 in all; those
// arriving at the same instant all get in; a freed slot is taken again.
TEST_F(MonitorTest, AllowListPerAddressAndFiftyClientsAtMost) {
  // Without a list, this machine only; a list names everyone admitted.
  std::vector<std::string> bad;
  const std::tuple<const char*, const char*, bool> admits[] = {
      {"", "127.0.0.5", true}, {"", "10.1.2.3", false}, {"10.0.0.0/8", "127.0.0.1", false},
      {"10.0.0.0/8", "10.1.2.3", true}, {"bogus", "127.0.0.1", false}};
  for (const auto& [list, peer, admitted] : admits) {
    in_addr address{};
    inet_pton(AF_INET, peer, &address);
    EXPECT_EQ(monitor::ReadAllowList(list, &bad).Allows(address), admitted) << list << peer;
  }
  WriteFile(dir_ / ("ini/" + name_ + ".ini"),
            "[Config]\nMonitorAllowedClients=127.0.0.0/28, 10.0.0.0/8;bogus 127.0.0.4/33\n"
            "MonitorMaxClientsPerAddress=10\n");
  Start();
  EXPECT_TRUE(
      LogHas("ERROR: MonitorAllowedClients: 'bogus' is neither an IPv4 address nor a "
             "range a.b.c.d/n, ignored"));
  EXPECT_TRUE(LogHas("'127.0.0.4/33' is neither"));
  const std::string refused =
      "Connection to the interface monitor from 127.0.0.20 refused: not in MonitorAllowedClients";
  for (int i = 0; i < 3; ++i) {
    MonitorTestClient stranger;
    EXPECT_TRUE(stranger.RefusedWithoutAWord(port_, "127.0.0.20")) << i;
  }
  ASSERT_TRUE(LogHas(refused));
  // The refused address was written once, not once per attempt; again once
  // a minute has gone by on the server's clock.
  EXPECT_EQ(CountOf(Log(), refused), 1u);
  clock_.AdvanceSeconds(60);
  EXPECT_TRUE(MonitorTestClient().RefusedWithoutAWord(port_, "127.0.0.20"));
  EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), refused) == 2; }, 60));
  // Ten from one address at the same instant: each gets the full status.
  std::vector<std::unique_ptr<MonitorTestClient>> clients(10);
  for (auto& c : clients) {
    c = std::make_unique<MonitorTestClient>();
    ASSERT_TRUE(c->TryConnect(port_));
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    std::vector<std::string> status = clients[i]->Until("<statistics type=FirstInstall");
    ASSERT_EQ(status.size(), kStatusCount) << i << ::testing::PrintToString(status);
    EXPECT_TRUE(status[0].starts_with("<application protocole=" + name_)) << i;
  }
  // The eleventh is closed without a word; other addresses still get in,
  // up to the 50 slots.
  MonitorTestClient eleventh;
  EXPECT_TRUE(eleventh.RefusedWithoutAWord(port_));
  EXPECT_TRUE(
      LogHas("Connection to the interface monitor from 127.0.0.1 refused: already 10 "
             "connections from there"));
  for (int i = 10; i < monitor::kMonitorClients; ++i) {
    std::string from = "127.0.0." + std::to_string(1 + i / 10);
    clients.push_back(std::make_unique<MonitorTestClient>());
    ASSERT_TRUE(clients.back()->Connect(port_, 60, from.c_str())) << i;
  }
  MonitorTestClient late;
  EXPECT_TRUE(late.RefusedWithoutAWord(port_, "127.0.0.9"));
  ASSERT_TRUE(
      LogHas("oh oh already 50 clients are connected - disconnect them for establishing "
             "a new connection"));
  clients[12]->Close();
  EXPECT_TRUE(LogHas("TCP Connection with index 12 closed"));
  EXPECT_TRUE(late.Connect(port_, 60, "127.0.0.9"));
  EXPECT_TRUE(LogHas("TCP connection created with index 12"));
  std::string m;
  ASSERT_TRUE(late.Next(&m));
  EXPECT_TRUE(m.starts_with("<application protocole=")) << m;
}

TEST_F(MonitorTest, BadClientsHoldUpNobody) {
  monitor::MonitorServer* monitor = Start();
  MonitorTestClient reader;
  ConnectAndDrain(reader);
  // A client that never reads after its first message.
  MonitorTestClient stuck;
  ASSERT_TRUE(stuck.Connect(port_));
  // Clients that vanish with a reset, one maybe before it is even accepted
  // (flooding and polite leaving: the gateway's own monitor test).
  for (int i = 0; i < 2; ++i) {
    MonitorTestClient gone;
    ASSERT_TRUE(gone.Connect(port_));
    linger hard{1, 0};
    setsockopt(gone.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  MonitorTestClient().TryConnect(port_);
  EXPECT_TRUE(WaitFor([&] { return monitor->ConnectedClients() == 2; }, 60));
  // A stream of long lines
  // in bursts below the queue limit: the reader gets every one, in order,
  // while the stuck client's socket and queue are full.
  std::string m;
  const std::string filler(400, 'z');
  const std::regex numbered("<event type=\"log\" display=1 label=\".* z+ (\\d+)\"/>");
  int expected = 0;
  for (int burst = 0; burst < 25; ++burst) {
    for (int i = 0; i < 800; ++i) Forward(monitor, filler + " " + std::to_string(burst * 800 + i));
    while (expected < (burst + 1) * 800) {
      ASSERT_TRUE(reader.Next(&m, 60)) << expected;
      std::smatch number;
      // Skip the full status and log history of an init still under way.
      if (!std::regex_match(m, number, numbered) || std::stoi(number[1]) < expected) continue;
      ASSERT_EQ(std::stoi(number[1]), expected);
      ++expected;
    }
  }
  Command(reader, "<getTestSendInfo/>");
  EXPECT_FALSE(reader.Until("<TestSendInfo").empty());
  // The stuck client really was stuck: lines beyond its socket buffers and
  // its 1024 queue positions were dropped for it alone.
  EXPECT_LT(stuck.Take(20000, 5).size(), 20000u);
}

TEST_F(MonitorTest, NoClientFloodsTheLog) {
  WriteFile(dir_ / ("ini/" + name_ + ".ini"), "[Config]\nMonitorMaxClientsPerAddress=50\n");
  Start();
  // Lines the clients cause: their receives and requests, and the answers.
  auto caused = [&] {
    return CountOf(Log(), " from interface monitor: ") + CountOf(Log(), " to Interface Monitor: ");
  };
  constexpr std::size_t kClients = 20;
  std::vector<std::unique_ptr<MonitorTestClient>> clients(kClients);
  for (auto& c : clients) {
    c = std::make_unique<MonitorTestClient>();
    ASSERT_TRUE(c->Connect(port_));
  }
  // Within one second of the server's clock each asks for the test
  // information again and again: at most 100 lines of them all reach the log.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    for (auto& c : clients) c->Send("<getTestSendInfo/>");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(caused(), monitor::kClientLogLinesPerSecond);
  // Once the second is over, the count of the others is written.
  clock_.AdvanceSeconds(1);
  EXPECT_TRUE(LogHas("lines caused by the interface monitor clients left out of this log"));
  // And one sends a megabyte of NULs and leaves: what it left unread goes
  // with it, it is not logged for the next minutes.
  MonitorTestClient flood;
  ASSERT_TRUE(flood.Connect(port_));
  std::string nuls(1 << 20, '\0');
  send(flood.fd(), nuls.data(), nuls.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  // Requests of the others still being read under load may fill the next
  // second's budget too: the clock goes on until the flood's line is in.
  int stepped = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        clock_.AdvanceSeconds(1);
        ++stepped;
        return Log().find("String received from interface monitor: \r\n") != std::string::npos;
      },
      60));
  flood.Close();
  EXPECT_TRUE(LogHas("TCP Connection with index " + std::to_string(kClients) + " closed", 30));
  clients.clear();
  ASSERT_TRUE(WaitFor([&] { return CountOf(Log(), " closed\r\n") >= kClients + 1; }, 60));
  // Every second of the clock: at most 100 lines.
  EXPECT_LE(caused(), static_cast<std::size_t>(2 + stepped) * monitor::kClientLogLinesPerSecond);
}

// Asking for the full status again and again within a second gets it once
// at once and once when the second is over, for every client.
TEST_F(MonitorTest, FullStatusAtMostOnceASecondPerClient) {
  Start();
  MonitorTestClient asking, watching;
  ConnectAndDrain(asking);
  ConnectAndDrain(watching);
  const std::string init = "<command type=init />";
  const std::string logged = "String received from interface monitor: " + init;
  for (std::size_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(asking.Send(init));
    ASSERT_TRUE(WaitFor([&] { return CountOf(Log(), logged) == i; }, 60)) << i;
  }
  auto statuses = [](const std::vector<std::string>& got) {
    return std::count_if(got.begin(), got.end(), [](const std::string& m) {
      return m.starts_with("<statistics type=FirstInstall");
    });
  };
  EXPECT_EQ(watching.Until("<statistics type=FirstInstall").size(), kStatusCount);
  clock_.AdvanceSeconds(1);
  EXPECT_EQ(watching.Until("<statistics type=FirstInstall").size(), kStatusCount);
  // Nothing more was owed: the next message after a test request is its reply.
  Command(watching, "<getTestSendInfo/>");
  EXPECT_EQ(statuses(watching.Until("<TestSendInfo")), 0);
}

TEST_F(MonitorTest, PortTakenAtStartIsBoundLater) {
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = FreeLoopbackPort();
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  Start(port);
  ASSERT_TRUE(LogHas("Can not open socket connection (index 0)"));
  // Then the port and why, at once and once a minute; the bind is tried
  // every ten seconds.
  const std::string why = "Port " + std::to_string(port) + ": Address already in use";
  ASSERT_TRUE(LogHas(why));
  for (int step = 1; step <= 7; ++step) {
    ASSERT_TRUE(clock_.AwaitSleepers(1));
    EXPECT_EQ(CountOf(Log(), why), step <= 6 ? 1u : 2u) << step;
    clock_.AdvanceSeconds(10);
    ASSERT_TRUE(WaitFor([&] {
      return CountOf(Log(), "Can not open socket connection (index 0)") == 1u + step;
    }));
  }
  close(blocker);
  // The bind is tried again once ten seconds have gone by on the server's
  // clock, not before.
  MonitorTestClient client;
  EXPECT_FALSE(client.TryConnect(port));
  ASSERT_TRUE(WaitFor([&] { return clock_.AdvanceSeconds(10), client.TryConnect(port); }, 60));
  EXPECT_TRUE(LogHas("TCP connection created with index 0"));
}

TEST_F(MonitorTest, DefaultAlarmCheckReportsTheLastFailingTestToClients) {
  monitor::MonitorServer* monitor = Start();
  char text[monitor::kDefaultAlarmTextSize];
  // Without a table: -1, written to the log.
  EXPECT_EQ(monitor->CheckDefaultAlarm(text, sizeof text), -1);
  EXPECT_TRUE(LogHas("failed opening VMDB"));
  // The table lies where "Vm001Path" says, drive letter and backslashes
  // included.
  mkdir("alarms", 0755);
  WriteFile(dir_ / "ini/qxaconf.ini", "[Config]\nVm001Path=C:" + dir_ / "alarms" + "\\\n");
  const std::string table = dir_ / "alarms/vm001.dbf";
  const std::string exists =
      "WARNING: The default alarm 4 does not exist - please create it and "
      "configure it from the alarm central";
  const std::string group =
      "WARNING: A valid group is required for the default alarm - please "
      "set a valid group to the default alarm 4";
  const std::string second =
      "WARNING: It's recommended the default alarm 4 to be configured for starting a second "
      "technical alarm - please configure it from the alarm configurator, page 'Extended "
      "Settings'. The default alarm shoud only be started in case of problem when decoding the "
      "data";
  auto vm001 = [&](std::array<long, 3> f) {
    return WriteVm001Fields(table, 4,
                            {{"T02", std::to_string(f[0])},
                             {"T30", std::to_string(f[1])},
                             {"T65", std::to_string(f[2])}});
  };
  // ScanDbForAlarm; T02 (91: the alarm exists), T30 (its group) and T65 (a
  // second technical alarm) of alarm 4; the result and the text.
  const std::tuple<int, std::array<long, 3>, int, std::string> cases[] = {
      // clang-format off
      {0, {0, 0, 0}, 0, ""},      // not scanning: nothing
      {1, {91, 9, 1}, 0, ""}, {1, {91, 12, 0}, 1, second}, {1, {91, 8, 3}, 1, group},
      {1, {90, 12, 3}, 1, exists}, {1, {91, 0, 0}, 1, group},
      {1, {0, 0, 0}, 1, exists},  // all three fail: the last one is reported
      // clang-format on
  };
  for (const auto& [scan, fields, result, want] : cases) {
    ASSERT_TRUE(vm001(fields));
    WriteFile(dir_ / ("ini/" + name_ + ".ini"),
              "[DBAlarmScan]\nScanDbForAlarm=" + std::to_string(scan) + "\nDefaultAlarmNbr=4\n");
    std::fill(std::begin(text), std::end(text), '\0');
    SCOPED_TRACE(testing::Message() << scan << " " << testing::PrintToString(fields));
    EXPECT_EQ(monitor->CheckDefaultAlarm(text, sizeof text), result);
    EXPECT_EQ(text, want);
  }
  // Each connection checks again; the warning goes to every client that
  // takes log lines, not to one that switched them off.
  ASSERT_TRUE(vm001({91, 0, 5}));
  const std::string warning = "<config_warning label=\"" + group + "\" />";
  MonitorTestClient quiet, taking;
  ConnectAndDrain(quiet);
  clock_.Advance(monitor::kDefaultAlarmCheckDelayUs);
  EXPECT_EQ(quiet.Until("<config_warning"), std::vector<std::string>{warning});
  Command(quiet, "<command type=log state=OFF />");
  ConnectAndDrain(taking);
  clock_.Advance(monitor::kDefaultAlarmCheckDelayUs);
  EXPECT_EQ(taking.Until("<config_warning"), std::vector<std::string>{warning});
  Command(quiet, "<getTestSendInfo/>");
  for (const std::string& m : quiet.Until("<TestSendInfo"))
    EXPECT_FALSE(m.starts_with("<config_warning")) << m;
}

}  // namespace
