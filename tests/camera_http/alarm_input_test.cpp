// The alarm-input server: what one received block does (heartbeats, input
// events, garbage), and the connection to simulated video servers
// (heartbeats, close, unreachable server, a server that asks for
// credentials) with the socket's waits shortened and the pauses stepped on a
// clock of the test's. The whole gateway's runs are in tests/integration.
#include "camera_http/alarm_input.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "alarm/alarm_start.h"
#include "core/console.h"
#include "core/profile/user_profile.h"
#include "platform/socket.h"
#include "support/fake_clock.h"
#include "support/loopback_camera.h"
#include "support/report_capture.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

namespace {

using sim_test::RecordedRequest;
using sim_test::SimProcess;
using testing_support::CountOf;
using testing_support::ReadFile;
using testing_support::ReportCapture;
using testing_support::TempDir;
using testing_support::WaitFor;
using testing_support::WriteFile;

const std::string kNul(1, '\0');
const std::string kExpression =
    "ioboxid=([0-9A-Za-z]+) pin=([0-9]+) state=([A-Za-z0-9]+) type=([A-Za-z]+)";
// As written in "qxacam.ini": the request's line ends as "\r\n".
const std::string kDefinitions =
    "[sonyrsm]\nAlarmInputRegExp=" + kExpression +
    "\nAlarmInputIOBoxIDSubst=\\1\nAlarmInputPinNumberSubst=\\2\nAlarmInputPinStateSubst=\\3\n"
    "AlarmInputPinTypeSubst=\\4\nAlarmInputPinRawDataSubst=&\nHeartBeatString=HEARTBEAT\n"
    "AlarmInputIOValidPinType=input\n"
    "GetAlarmInput=GET /alarm/input HTTP/1.0\\r\\nAccept: text/plain\\r\\n\\r\\n\n";
const std::string kRequest = "GET /alarm/input HTTP/1.0\r\nAccept: text/plain\r\n\r\n";
const std::string kRequestShown = "GET /alarm/input HTTP/1.0\\r\\nAccept: text/plain\\r\\n\\r\\n";
const std::string kMapping =
    "[IOBoxCameraMapping]\n1-2=3\n1-5=7\n2-2=4\n"
    "[Scenario3]\nStartAlrOnPin4=9601\nStartAlrOnPin6=0\n"
    "[Scenario4]\nStartAlrOnPin4=9604\n"
    "[Scenario7]\nCameraRef=Yard\n";
constexpr int kDefaultAlarm = 9652;
const std::string kOnLine = "ioboxid=2 pin=4 state=on type=input";

// Runs RunAlarmInput on a thread of its own, with a clock of its own,
// until destroyed.
class InputThread {
 public:
  InputThread(camera_http::VideoServer& server, alarms::AlarmServer& alarms)
      : thread_([this, &server, &alarms] {
          camera_http::RunAlarmInput(server, alarms, clock_, &stop_);
          done_ = true;
        }) {}
  ~InputThread() {
    stop_ = true;
    // A pause ends once its clock has gone far enough.
    for (; !done_; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
      clock_.AdvanceSeconds(1);
    thread_.join();
  }
  // Steps the thread's clock by `seconds` until `condition` holds.
  bool StepUntil(double seconds, const std::function<bool()>& condition) {
    return WaitFor([&] { return clock_.AdvanceSeconds(seconds), condition(); });
  }

 private:
  testing_support::FakeClock clock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Works in a directory of its own: the working directory with "LOG" and
// "ocelam.bat", the ini directory the registry file names, and the alarm
// server's log directory for the ".L1" files.
class AlarmInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SockInit();
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const char* d : {"LOG", "alarms", "ini"}) mkdir((dir_ / d).c_str(), 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_ / "ini" + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    WriteFile(dir_ / "ini/qxacam.ini", kDefinitions);
    WriteFile(dir_ / "ini/ocelam.ini", kMapping);
    // It adds a line to "started.txt" (its arguments are the whole gateway's tests').
    WriteFile(dir_ / alarms::kAlarmBatchFile, "#!/bin/sh\necho >> " + dir_ / "started.txt" + "\n");
    chmod((dir_ / alarms::kAlarmBatchFile).c_str(), 0755);
  }

  // A server of the alarm inputs; `quick`: silent for a second is silent,
  // and the pacing between blocks is short.
  std::unique_ptr<camera_http::VideoServer> Server(int number, int port, bool quick = false) {
    auto server = std::make_unique<camera_http::VideoServer>();
    server->Init("127.0.0.1", port, "", number);
    server->log_server_number = number;
    server->default_alarm_number = kDefaultAlarm;
    if (quick) {
      server->timings.receive_timeout = 10;  // 1 s
      server->timings.block_pause_ms = 50;
    }
    return server;
  }

  // The lines of every daily log whose name starts with `prefix` (without
  // their time), oldest first.
  std::vector<std::string> Log(const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "LOG"))
      if (e.path().filename().string().starts_with(prefix)) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    std::vector<std::string> lines;
    for (const std::string& name : names) {
      std::string text = ReadFile(name);
      for (std::size_t pos = 0, eol; (eol = text.find('\n', pos)) != std::string::npos;
           pos = eol + 1)
        lines.push_back(text.substr(pos + 9, eol - pos - 9));  // without "HH:MM:SS "
    }
    return lines;
  }
  std::vector<std::string> InputLog(int server = 1) {
    return Log("ocelam_alarminput_server_" + std::to_string(server) + "_");
  }
  std::size_t CountInLog(int server, const std::string& line) {
    auto lines = InputLog(server);
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
  // The alarm start command lines reported so far, with the fresh
  // reference written as REF.
  std::vector<std::string> Starts() {
    static const std::regex kReference(" [0-9A-F]{8} ");
    std::vector<std::string> starts;
    for (auto& [text, level] : capture_.Take())
      if (text.rfind("start '", 0) == 0)
        starts.push_back(std::regex_replace(text, kReference, " REF "));
    return starts;
  }

  TempDir dir_;
  ReportCapture capture_;
  core::Metrics metrics_;
  alarms::AlarmServer alarms_{dir_ / "alarms", metrics_, platform::SystemClock()};
};

TEST_F(AlarmInputTest, InitReadsTheServerTextsOfTheSonyrsmSection) {
  std::string long_text(300, 'e');
  std::string long_subst(100, 's');
  WriteFile(dir_ / "ini/qxacam.ini",
            "[Cam1Data]\nAlarmInputRegExp=not this one\n[SONYRSM]\nAlarmInputRegExp=" + long_text +
                "\nAlarmInputIOBoxIDSubst=" + long_subst +
                "\nHeartBeatString=hb\\r\\n\nGetAlarmInput=GET /a\\r\\n\\r\\n\n");
  auto server = Server(5, 4321);
  EXPECT_EQ(
      std::vector<std::string>({server->line_expression, server->iobox_subst, server->heartbeat,
                                server->request, server->pin_number_subst}),
      std::vector<std::string>(
          {std::string(255, 'e'), std::string(63, 's'), "hb\r\n", "GET /a\r\n\r\n", ""}));
}

TEST_F(AlarmInputTest, WhatEachBlockDoes) {
  const std::string started_3 = "Camera 3: start alarm 9601 on input pin activation (pin number 4)";
  const std::string start_3 = "start 'ocelam.bat 9601  REF 0 ocelam_camera3'";
  const std::string no_match = "ERROR: unable to execute the regexp '" + kExpression + "' on ";
  const std::string percent = kOnLine + " %s%n%x%%";
  // A flood: one pin twelve times, twelve pins once each.
  std::string one_pin, one_pin_log = kOnLine + "\n" + started_3 + "\n", pins, pins_log;
  for (int i = 0; i < 12; ++i) {
    const std::string pin = std::to_string(7 + i);
    const std::string line = "ioboxid=2 pin=" + pin + " state=on type=input";
    one_pin += kOnLine + "\r\n", pins += line + "\r\n";
    if (i > 0) one_pin_log += kOnLine + "\n";
    pins_log += line + "\n";
    if (i < camera_http::kServerStartsPerSecond)
      pins_log += "Camera 3: start alarm 9652 on input pin activation (pin number " + pin + ")\n";
  }
  const std::string held =
      " input alarm starts of video server 1 held back (at most one per pin and 10 per server in "
      "a second); the last for io box '2' pin ";
  // Each case is one connection: its blocks in turn, a second apart on the
  // pacer's clock, then its end; the result, the log (lines each ended by
  // "\n") and the alarm starts.
  const std::tuple<const char*, std::vector<std::string>, int, std::string,
                   std::vector<std::string>>
      cases[] = {
          {"each kind of line",
           {"HEARTBEAT\r\nheartBeat\r\n" + kOnLine +
            "\r\n"
            "ioboxid=2 pin=5 state=ON type=INPUT\r\n"   // no alarm for the pin: the default
            "ioboxid=5 pin=1 state=1 type=input\r\n"    // camera section without alarms
            "ioboxid=2 pin=4 state=OFF type=input\r\n"  // off
            "ioboxid=2 pin=4 state=0 type=input\r\n"    // off too
            "ioboxid=2 pin=4 state=on type=output\r\n"  // other pin type
            "ioboxid=9 pin=4 state=on type=input\r\n"   // unknown IO box
            "ioboxid=2 pin=6 state=on type=input\r\n"   // alarm number 0
            "garbage\r\n",
            percent + "\r\n"},
           12,
           "hb\nhb\n" + kOnLine + "\n" + started_3 +
               "\nioboxid=2 pin=5 state=ON type=INPUT\n"
               "Camera 3: start alarm 9652 on input pin activation (pin number 5)\n"
               "ioboxid=5 pin=1 state=1 type=input\n"
               "Camera 7: start alarm 9652 on input pin activation (pin number 1)\n"
               "ioboxid=2 pin=4 state=OFF type=input\n"
               "Status of pin '4' is 'OFF' (io box '2') - do not start alarm\n"
               "ioboxid=2 pin=4 state=0 type=input\n"
               "Status of pin '4' is '0' (io box '2') - do not start alarm\n"
               "ioboxid=2 pin=4 state=on type=output\n"
               "Pin type is 'output' (io box '2') - onyl start alarm for type 'input'\n"
               "ioboxid=9 pin=4 state=on type=input\n"
               "ERROR: No valid camera ID found for the io box '9'\n"
               "ioboxid=2 pin=6 state=on type=input\n" +
               no_match + "'garbage'\n" + percent + "\n" + started_3 + "\n",
           {start_3, "start 'ocelam.bat 9652  REF 0 ocelam_camera3'",
            "start 'ocelam.bat 9652  REF 0 ocelam_camera7'", start_3}},
          // Empty lines count; LF alone and CR alone end lines; CR LF split
          // between blocks is one line end; a line may come in three blocks.
          {"line ends and pieces",
           {"\r\n\r\nheartbeat\r", "\nioboxid=2 pi", "n=4 state=on",
            " type=input\nheartbeat\rgarbage\n"},
           6,
           "hb\n" + kOnLine + "\n" + started_3 + "\nhb\n" + no_match + "'garbage'\n",
           {start_3}},
          {"a connection ending inside a line",
           {"heartbeat\r\n" + kOnLine},
           1,
           "hb\nERROR: No valid data received '" + kOnLine + "'\n",
           {}},
          // Told once the second is over, or when the connection ends.
          {"one pin flooding",
           {one_pin, "heartbeat\r\n"},
           13,
           one_pin_log + "hb\nERROR: 11" + held + "'4'\n",
           {start_3}},
          {"twelve pins at once",
           {pins},
           12,
           pins_log + "ERROR: 2" + held + "'18'\n",
           std::vector<std::string>(10, "start 'ocelam.bat 9652  REF 0 ocelam_camera3'")},
          // Control bytes escaped, others kept; a NUL byte; a long line cut.
          {"hostile bytes",
           {"\x01\x1b[2J\x7f\xff\r\n" + kOnLine + kNul + "x\r\nheartbeat\r\n" +
            std::string(600, 'x') + "\r\n"},
           4,
           no_match + "'\\x01\\x1B[2J\\x7F\xff'\nERROR: line with a NUL byte not examined '" +
               kOnLine + "\\x00x'\nhb\n" + no_match + "'" + std::string(511, 'x') + "'\n",
           {}},
          {"no line end within the limit: one line, dropped up to its end",
           {std::string(3000, 'x'), std::string(3000, 'x'), std::string(3000, 'x') + kOnLine,
            "\r\nheartbeat\r\n"},
           2,
           "ERROR: no line end within 4096 bytes on socket for the command '" + kRequestShown +
               "' - the line is dropped up to its end; it begins '" + std::string(64, 'x') +
               "'\nhb\n",
           {}},
      };
  auto server = Server(1, 0);
  for (const auto& [what, blocks, result_wanted, log_wanted, starts] : cases) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(dir_ / "LOG");
    mkdir((dir_ / "LOG").c_str(), 0755);
    camera_http::LineAssembler lines;
    testing_support::FakeClock clock;
    camera_http::AlarmStartPacer pacer(clock);
    int result = 0;
    for (const std::string& block : blocks) {
      result += camera_http::ProcessAlarmInputBlock(*server, alarms_, lines, pacer, block);
      clock.AdvanceSeconds(1);
    }
    camera_http::EndAlarmInputConnection(*server, lines, pacer);
    EXPECT_EQ(result, result_wanted);
    std::string log;
    for (const std::string& line : InputLog()) log += line + "\n";
    EXPECT_EQ(log, log_wanted);
    EXPECT_EQ(Starts(), starts);
  }
  // The batch file ran for each.
  EXPECT_TRUE(WaitFor([&] { return CountOf(ReadFile(dir_ / "started.txt"), "\n") == 16; }));
}

TEST_F(AlarmInputTest, MappingIsPerServerAndABadExpressionMatchesNothing) {
  // IO box 2 belongs to camera 3 on server 1, to camera 4 on server 2 and to
  // no camera on server 3.
  const std::tuple<int, const char*, int, const char*> cases[] = {
      {1, "4", 9601, "3"},
      {2, "4", 9604, "4"},
      {2, "7", kDefaultAlarm, "4"},
      {3, "4", camera_http::kNoCameraForIOBox, ""}};
  for (const auto& [number, pin, alarm, camera_wanted] : cases) {
    std::string camera;
    EXPECT_EQ(camera_http::FindInputAlarm(*Server(number, 0), "2", pin, &camera), alarm) << number;
    EXPECT_EQ(camera, camera_wanted) << number;
  }
  EXPECT_EQ(InputLog(3),
            std::vector<std::string>{"ERROR: No valid camera ID found for the io box '2'"});

  auto server = Server(1, 0);
  server->line_expression = "ioboxid=(";
  camera_http::LineAssembler lines;
  testing_support::FakeClock clock;
  camera_http::AlarmStartPacer pacer(clock);
  EXPECT_EQ(camera_http::ProcessAlarmInputBlock(*server, alarms_, lines, pacer,
                                                kOnLine + "\r\n" + kOnLine + "\r\n"),
            2);
  EXPECT_EQ(InputLog(),
            std::vector<std::string>(2, "ERROR: unable to compile the regexp 'ioboxid=('"));
  EXPECT_TRUE(Starts().empty());
}

TEST_F(AlarmInputTest, SilenceCloseOrRefusalMeanANewConnectionHeartbeatsKeepIt) {
  SimProcess sim({"--videoserver", "id=1,port=0", "--videoserver",
                  "id=2,port=0,heartbeat=100,hbtext=HEARTBEAT"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  auto silent = Server(1, sim.port("videoserver", 1), true);
  const std::string no_data = "ERROR: no data received on socket for the command '" +
                              kRequestShown + "' - check your parameter 'GET'....";
  auto beating = Server(2, sim.port("videoserver", 2), true);
  {
    // And an unreachable server, which is tried again.
    auto unreachable = Server(4, testing_support::FreeLoopbackPort(), true);
    InputThread quiet(*silent, alarms_), thread(*beating, alarms_), refused(*unreachable, alarms_);
    // A second of silence, then the reconnect pause (5.5 s) on the thread's
    // clock before the next connection.
    ASSERT_TRUE(WaitFor([&] { return CountInLog(1, no_data) == 1; }));
    EXPECT_EQ(sim.Requests("videoserver", 1).size(), 1u);
    ASSERT_TRUE(quiet.StepUntil(5.5, [&] { return sim.Requests("videoserver", 1).size() >= 2; }));
    EXPECT_EQ(sim.Requests("videoserver", 1)[1].connection, 2u);
    ASSERT_TRUE(WaitFor([&] { return CountInLog(2, "hb") >= 5; }));
    EXPECT_EQ(sim.Requests("videoserver", 2).size(), 1u);
    sim.Control("close videoserver 2");
    ASSERT_TRUE(thread.StepUntil(5.5, [&] { return sim.Requests("videoserver", 2).size() >= 2; }));
    std::vector<RecordedRequest> got = sim.Requests("videoserver", 2);
    EXPECT_EQ(got[1].connection, 2u);
    EXPECT_EQ(got[1].bytes, kRequest + kNul);  // the text and exactly one NUL
    // The unreachable one is tried again after the retry pause (30 s).
    const std::string cannot_connect =
        "ERROR: can not connect socket for the command '" + kRequestShown + "'";
    ASSERT_TRUE(refused.StepUntil(30, [&] { return CountInLog(4, cannot_connect) >= 2; }))
        << ::testing::PrintToString(InputLog(4));
  }
  std::vector<std::string> log = InputLog(2);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0] + "|" + log[1],
            "AlarmInputThread started for video server 2|socket for the command '" + kRequestShown +
                "' started");
  EXPECT_EQ(CountInLog(2, no_data), 1u) << "the closed connection";
  std::vector<std::string> server_log = Log("ocelam_server_4_");
  ASSERT_GE(server_log.size(), 2u);
  EXPECT_EQ(server_log[0], "Server 4: ERROR socket 111");  // ECONNREFUSED
  auto lines = capture_.Take();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), std::pair{server_log[0], core::ReportLevel::kInfo}),
      lines.end());
}

// A server that asks for credentials gets our answer at once on a new
// connection; when it refuses that too, the next connection asks as
// configured again (an answer holds only for its challenge), and the
// refusal is told once while the server goes on refusing. Basic is answered
// only where its section allows it.
TEST_F(AlarmInputTest, ChallengeIsAnsweredOnANewConnectionAndARefusalToldOnce) {
  camera_test::LoopbackListener listener;
  auto server = Server(1, listener.port(), true);
  server->user_name = "op";
  server->password = "secret";
  const std::string answered =
      "GET /alarm/input HTTP/1.0\r\nAuthorization: Basic b3A6c2VjcmV0\r\nAccept: "
      "text/plain\r\n\r\n";
  std::vector<std::string> asked;
  auto serve = [&](int connections) {
    InputThread thread(*server, alarms_);
    for (int i = 0; i < connections; ++i) {
      // After a refusal the next connection waits for the retry pause.
      int fd = -1;
      ASSERT_TRUE(thread.StepUntil(1, [&] { return (fd = listener.Accept(20)) >= 0; }));
      std::string got;
      camera_test::ReadUntil(fd, got, [&] { return got.find('\0') != std::string::npos; });
      asked.push_back(got);
      sim_test::SendText(
          fd, "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"io\"\r\n\r\n");
      close(fd);
    }
  };
  serve(2);
  EXPECT_EQ(asked, (std::vector<std::string>(2, kRequest + kNul)));
  EXPECT_EQ(CountInLog(1,
                       "ERROR: can not answer the authentication the server asks for the command '" +
                           kRequestShown +
                           "' - only Basic authentication is offered, which sends the password in "
                           "clear: not answered (set 'AllowBasicAuth=1' in its section to allow "
                           "it)"),
            1u)
      << ::testing::PrintToString(InputLog(1));
  server->allow_basic_auth = true;
  asked.clear();
  serve(4);
  EXPECT_EQ(asked, (std::vector<std::string>{kRequest + kNul, answered + kNul, kRequest + kNul,
                                             answered + kNul}));
  EXPECT_EQ(CountInLog(1,
                       "ERROR: the server refused the user 'op' (Basic authentication) for the "
                       "command '" +
                           kRequestShown +
                           "' - check 'Username' and 'Password' of its section VideoServer1"),
            1u)
      << ::testing::PrintToString(InputLog(1));
}

}  // namespace
