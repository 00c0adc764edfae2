#include "camera_http/alarm_input.h"

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "alarm/alarm_start.h"
#include "camera_http/http_auth.h"
#include "camera_http/http_client.h"
#include "camera_http/regex.h"
#include "core/console.h"
#include "core/daily_log.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "platform/socket.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace camera_http {

namespace {

constexpr const char* kThreadStarted = "AlarmInputThread started for video server %d\n";
constexpr const char* kSocketStarted = "socket for the command '%s' started";
constexpr const char* kCannotOpen = "ERROR: can not open socket for the command '%s'";
constexpr const char* kCannotConnect = "ERROR: can not connect socket for the command '%s'";
constexpr const char* kCannotWrite = "ERROR: can not write data on socket for the command '%s'";
constexpr const char* kNoData =
    "ERROR: no data received on socket for the command '%s' - check your parameter 'GET'....";
constexpr const char* kSocketError = "Server %d: ERROR socket %d";
constexpr const char* kNoValidData = "ERROR: No valid data received '%s'";
constexpr const char* kLineTooLong =
    "ERROR: no line end within %zu bytes on socket for the command '%s' - the line is dropped up "
    "to its end; it begins '%s'";
// Bytes of an overlong line shown in its message.
constexpr std::size_t kOverlongShown = 64;
constexpr const char* kHeartbeatSeen = "hb";
constexpr const char* kNulInLine = "ERROR: line with a NUL byte not examined '%s'";
constexpr const char* kWrongPinType =
    "Pin type is '%s' (io box '%s') - onyl start alarm for type '%s'";
constexpr const char* kPinInactive =
    "Status of pin '%s' is '%s' (io box '%s') - do not start alarm";
constexpr const char* kNoCamera = "ERROR: No valid camera ID found for the io box '%s'";
constexpr const char* kAlarmStarted =
    "Camera %s: start alarm %d on input pin activation (pin number %s)";
constexpr const char* kAuthNoCredentials =
    "ERROR: the server asks for authentication for the command '%s' - set 'Username' and "
    "'Password' of its section VideoServer%d";
constexpr const char* kAuthCannotAnswer =
    "ERROR: can not answer the authentication the server asks for the command '%s' - %s";
constexpr const char* kAuthRefused =
    "ERROR: the server refused the user '%s' (%s authentication) for the command '%s' - check "
    "'Username' and 'Password' of its section VideoServer%d";
constexpr const char* kThreadNotStarted =
    "ERROR: unable to start the AlarmInputThread for video server %d";
constexpr const char* kStartsHeldBack =
    "ERROR: %d input alarm starts of video server %d held back (at most one per pin and %d per "
    "server in a second); the last for io box '%s' pin '%s'";
// While starts wait to be told, a receive waits at most this long (tenths
// of a second), so the line comes even when the device has gone quiet.
constexpr int kHeldReportWaitTenths = 10;

constexpr const char* kMappingSection = "IOBoxCameraMapping";
constexpr const char* kMappingKey = "%d-%s";
constexpr const char* kCameraSection = "Scenario%s";
constexpr const char* kPinAlarmKey = "StartAlrOnPin%s";
constexpr const char* kCameraName = "ocelam_camera%s";
constexpr const char* kStateOff[] = {"0", "off"};

// A substituted value: at most kSubstitutionMax characters and a NUL.
using SubstitutedText = std::array<char, kSubstitutionMax + 1>;

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void Log(const VideoServer& server, std::string_view text) {
  core::AppendDailyLog(kAlarmInputLogFormat, server.log_server_number, text);
}

// With a stop flag a pause is cut into steps this long, so a test's thread
// ends promptly.
constexpr std::int64_t kStopCheckUs = 20 * platform::kMicrosPerMilli;

// Waits until `clock` has gone on `ms` milliseconds; false when the stop
// flag was set meanwhile.
bool Pause(platform::Clock& clock, const std::atomic<bool>* stop, int ms) {
  const std::int64_t end = clock.MonotonicMicros() + std::int64_t{ms} * platform::kMicrosPerMilli;
  if (!stop) {
    clock.SleepUntil(end);
    return true;
  }
  while (!stop->load()) {
    const std::int64_t now = clock.MonotonicMicros();
    if (now >= end) return true;
    clock.SleepUntil(std::min(now + kStopCheckUs, end));
  }
  return false;
}

// Whether bytes the device sent already wait to be read.
bool MoreWaiting(const SockRecord& socket) {
  char byte = 0;
  return recv(socket.socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// The pacing between two blocks: plain sleeping, no decision of ours about
// time. False when the stop flag was set.
bool Pace(const std::atomic<bool>* stop, int ms) {
  constexpr auto kStep = std::chrono::microseconds(kStopCheckUs);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    if (stop && stop->load()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, end - now));
  }
  return !(stop && stop->load());
}

bool Stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// One line, already cut to its length: a heartbeat, an input event or
// something to log and leave.
void ProcessAlarmInputLine(VideoServer& server, alarms::AlarmServer& alarms,
                           AlarmStartPacer& pacer, std::string_view line) {
  if (line.empty()) return;
  server.report.Line("", line);
  if (EqualNoCase(line, server.heartbeat)) {
    Log(server, kHeartbeatSeen);
    return;
  }
  // The engine reads C text: a NUL byte would hide the rest of the line from
  // it, so such a line is not half-examined but left, with a word in the log.
  const std::string text(line);
  if (text.find('\0') != std::string::npos) {
    Log(server, platform::StringPrintf(kNulInLine, PrintableText(text).c_str()));
    return;
  }
  const std::string expression = PrintableText(server.line_expression);
  RegexpPtr prog(regcompile(server.line_expression.c_str()));
  if (!prog) {
    Log(server, platform::StringPrintf(kRegexpCompileFailed, expression.c_str()));
    return;
  }
  if (!regexecute(prog.get(), text.c_str())) {
    Log(server, platform::StringPrintf(kRegexpExecuteFailed, expression.c_str(),
                                       PrintableText(text).c_str()));
    return;
  }
  Log(server, PrintableText(text));

  SubstitutedText iobox{}, pin{}, state{}, type{}, raw{};
  regsub(prog.get(), server.iobox_subst.c_str(), iobox.data(), iobox.size());
  regsub(prog.get(), server.pin_number_subst.c_str(), pin.data(), pin.size());
  regsub(prog.get(), server.pin_state_subst.c_str(), state.data(), state.size());
  regsub(prog.get(), server.pin_type_subst.c_str(), type.data(), type.size());
  // Taken for the devices that expect it of us; nothing reads it.
  regsub(prog.get(), server.raw_data_subst.c_str(), raw.data(), raw.size());
  prog.reset();  // the values are copies: the expression is done with

  server.report.Line(iobox.data(), line);
  const std::string iobox_shown = PrintableText(iobox.data());
  if (!EqualNoCase(type.data(), server.valid_pin_type)) {
    Log(server,
        platform::StringPrintf(kWrongPinType, PrintableText(type.data()).c_str(),
                               iobox_shown.c_str(), PrintableText(server.valid_pin_type).c_str()));
    return;
  }
  for (const char* off : kStateOff) {
    if (EqualNoCase(state.data(), off)) {
      Log(server, platform::StringPrintf(kPinInactive, PrintableText(pin.data()).c_str(),
                                         PrintableText(state.data()).c_str(), iobox_shown.c_str()));
      return;
    }
  }
  std::string camera;
  int alarm = FindInputAlarm(server, iobox.data(), pin.data(), &camera);
  if (alarm < 1) return;
  // A device that floods its input is not followed line by line.
  if (!pacer.Admit(iobox.data(), pin.data())) return;

  char reference[alarms::kAlarmReferenceSize] = {};
  // When no ".L1" file can be made the alarm is started all the same under
  // the reference given, since a missed alarm is worse than one without its
  // file.
  if (platform::Status made = alarms.CreateReference(reference); !made)
    core::ConsoleAndReport(made.reason(), core::ConsoleLevel::kError, core::ReportLevel::kError);
  if (platform::Status launched =
          alarms.LaunchAlarm(alarms::kAlarmBatchFile, alarm, "", reference, 0,
                             platform::StringPrintf(kCameraName, camera.c_str()));
      !launched)
    core::ConsoleAndReport(launched.reason(), core::ConsoleLevel::kError,
                           core::ReportLevel::kError);
  std::string started = platform::StringPrintf(kAlarmStarted, PrintableText(camera).c_str(), alarm,
                                               PrintableText(pin.data()).c_str());
  Log(server, started);
  core::ConsoleLog(started, core::ConsoleLevel::kSuccess);
  server.report.AlarmStarted(iobox.data());
}

// Logs a failed step of the connection.
void ConnectionFailed(const VideoServer& server, const char* format, const std::string& request) {
  ReportServerSocketError(server, server.log_server_number);
  Log(server, platform::StringPrintf(format, request.c_str()));
}

}  // namespace

void ReportServerSocketError(const VideoServer& /*server*/, int server_number) {
  std::string message = platform::StringPrintf(kSocketError, server_number, SockLastError());
  core::ConsoleLog(message, core::ConsoleLevel::kError);
  core::AppendDailyLog(kServerLogFormat, server_number, message);
  core::ReportToInterface(message, core::ReportLevel::kInfo);
}

int FindInputAlarm(const VideoServer& server, std::string_view iobox, std::string_view pin,
                   std::string* camera_out) {
  core::ProfileFile profile(kInputMappingFile);
  const std::string iobox_text(iobox);
  const std::string pin_text(pin);
  std::string camera = profile.GetString(
      kMappingSection, platform::StringPrintf(kMappingKey, server.number, iobox_text.c_str()), "",
      kSubstitutionMax);
  if (camera.empty()) {
    std::string message = platform::StringPrintf(kNoCamera, PrintableText(iobox_text).c_str());
    Log(server, message);
    core::ConsoleLog(message, core::ConsoleLevel::kError);
    return kNoCameraForIOBox;
  }
  int alarm = server.default_alarm_number;
  profile.GetInt(platform::StringPrintf(kCameraSection, camera.c_str()),
                 platform::StringPrintf(kPinAlarmKey, pin_text.c_str()),
                 server.default_alarm_number, &alarm);
  if (camera_out) *camera_out = camera;
  return alarm;
}

int ProcessAlarmInputBlock(VideoServer& server, alarms::AlarmServer& alarms, LineAssembler& lines,
                           AlarmStartPacer& pacer, std::string_view block) {
  // Cut first, act after: the lines of a block are fixed before any of them
  // starts an alarm.
  std::vector<LineAssembler::Line> complete = lines.Feed(block);
  for (const LineAssembler::Line& line : complete) {
    if (line.overlong) {
      Log(server,
          platform::StringPrintf(
              kLineTooLong, lines.limit(), PrintableText(server.request).c_str(),
              PrintableText(std::string_view(line.text).substr(0, kOverlongShown)).c_str()));
      continue;
    }
    ProcessAlarmInputLine(server, alarms, pacer,
                          std::string_view(line.text).substr(0, kAlarmInputLineMax));
  }
  ReportHeldAlarmStarts(server, pacer, false);
  return static_cast<int>(complete.size());
}

void EndAlarmInputConnection(VideoServer& server, LineAssembler& lines, AlarmStartPacer& pacer) {
  ReportHeldAlarmStarts(server, pacer, true);
  std::string rest = lines.TakeUnfinished();
  if (rest.empty()) return;
  rest.resize(std::min(rest.size(), kAlarmInputLineMax));
  Log(server, platform::StringPrintf(kNoValidData, PrintableText(rest).c_str()));
}

void ReportHeldAlarmStarts(const VideoServer& server, AlarmStartPacer& pacer, bool now_anyway) {
  const AlarmStartPacer::HeldStarts held = pacer.TakeReport(now_anyway);
  if (held.count == 0) return;
  const std::string message = platform::StringPrintf(
      kStartsHeldBack, held.count, server.log_server_number, kServerStartsPerSecond,
      PrintableText(held.iobox).c_str(), PrintableText(held.pin).c_str());
  Log(server, message);
  core::ConsoleAndReport(message, core::ConsoleLevel::kError, core::ReportLevel::kError);
}

namespace {

constexpr const char* kHttpPrefix = "HTTP/";
constexpr const char* kHeadEnd = "\r\n\r\n";
constexpr int kStatusUnauthorized = 401;

// Whether a first block is a refusal for want of credentials.
bool IsUnauthorized(std::string_view block) {
  return block.substr(0, std::strlen(kHttpPrefix)) == kHttpPrefix &&
         HttpStatusCode(block) == kStatusUnauthorized;
}

// Reads on until `head` holds a whole reply head, the buffer's worth has
// come, or the server stops sending.
void ReadHead(SockRecord& socket, std::span<char> buffer, int timeout, std::string* head) {
  while (head->find(kHeadEnd) == std::string::npos && head->size() < buffer.size() - 1) {
    int count = SockReceive(socket, buffer, timeout).value_or(-1);
    if (count <= 0) return;
    head->append(buffer.data(), static_cast<std::size_t>(count));
  }
}

}  // namespace

namespace {

// One alarm-input thread's state across its connections.
struct AlarmInputRun {
  VideoServer& server;
  alarms::AlarmServer& alarms;
  platform::Clock& clock;
  const std::atomic<bool>* stop;
  AlarmStartPacer pacer;  // across the connections: a flood does not end with one
  std::string request;  // as the log shows it
  HttpCredentials credentials;
  // The request of the next connection: as configured, or once with our
  // answer to the server's challenge.
  std::string wire_request;
  std::array<char, kAlarmInputBlockSize> buffer{};
  std::string answered_scheme{};  // not empty while wire_request carries an answer
  bool refusal_reported = false;  // a refusal is told once until a server takes us
};

// How a connection ended.
enum class ConnectionEnd { kSilent, kRefused, kAnswerNow, kStopped };

// Opens, connects and sends the request: null when the request is out,
// else the format of the failed step's message.
const char* OpenConnection(AlarmInputRun& run, SockRecord& socket) {
  if (!SockOpen(socket)) return kCannotOpen;
  if (!SockConnect(socket, run.server.address.c_str(), run.server.port,
                   run.server.timings.connect_timeout))
    return kCannotConnect;
  // A server that vanished is then noticed within a minute even while it
  // owes us no line; failing to ask for it changes nothing else.
  (void)SockKeepAlive(socket, kDeviceKeepAliveIdleSeconds, kDeviceKeepAliveIntervalSeconds,
                      kDeviceKeepAliveProbes);
  if (!SockSendText(socket, run.wire_request.c_str())) return kCannotWrite;
  return nullptr;
}

// A first block that refused us for want of credentials: answered on a new
// connection when we can (kAnswerNow), else told once (kRefused).
ConnectionEnd HandleChallenge(AlarmInputRun& run, SockRecord& socket, std::string_view block) {
  const VideoServer& server = run.server;
  std::string head(block);
  ReadHead(socket, run.buffer, server.timings.receive_timeout, &head);
  std::string authorized, scheme, why;
  std::string message;
  if (!run.answered_scheme.empty()) {
    message = platform::StringPrintf(kAuthRefused, PrintableText(run.credentials.user).c_str(),
                                     run.answered_scheme.c_str(), run.request.c_str(),
                                     server.log_server_number);
  } else if (run.credentials.empty() || HasAuthorizationLine(server.request)) {
    message =
        platform::StringPrintf(kAuthNoCredentials, run.request.c_str(), server.log_server_number);
  } else if (!AnswerChallenge(server.request, head, run.credentials, &authorized, &scheme, &why)) {
    message =
        platform::StringPrintf(kAuthCannotAnswer, run.request.c_str(), PrintableText(why).c_str());
  } else {
    run.wire_request = std::move(authorized);
    run.answered_scheme = scheme;
    return ConnectionEnd::kAnswerNow;
  }
  if (!run.refusal_reported) {
    Log(server, message);
    core::ConsoleLog(message, core::ConsoleLevel::kError);
    run.refusal_reported = true;
  }
  return ConnectionEnd::kRefused;
}

// Reads and acts on the connection's blocks. A time-out, an error and a
// closed connection all end the reading the same way (kSilent): the server
// is asked again on a new connection.
ConnectionEnd ReadConnection(AlarmInputRun& run, SockRecord& socket) {
  LineAssembler lines(kAlarmInputPendingMax);
  ConnectionEnd end = ConnectionEnd::kSilent;
  const int silence = run.server.timings.receive_timeout;
  int silent = 0;  // tenths waited since the last block
  bool first = true;
  for (;;) {
    run.buffer.fill('\0');
    // Starts held back are told within a second or so, even if the device
    // says nothing more; the silence is still the whole receive time-out.
    const int wait = run.pacer.HasHeld() && silence - silent > kHeldReportWaitTenths
                         ? kHeldReportWaitTenths
                         : silence - silent;
    int count = SockReceive(socket, run.buffer, wait).value_or(-1);
    if (count == 0 && wait < silence - silent) {
      silent += wait;
      ReportHeldAlarmStarts(run.server, run.pacer, false);
      continue;
    }
    if (count <= 0) break;
    silent = 0;
    std::string_view block(run.buffer.data(), static_cast<std::size_t>(count));
    if (first && IsUnauthorized(block)) {
      end = HandleChallenge(run, socket, block);
      break;
    }
    if (first) run.refusal_reported = false;  // the server has taken the request
    first = false;
    // A block that only carries on a line has nothing to act on: the rest
    // of the line is read at once (a long one is not paced block by block).
    // Nor is a burst: while more of it already waits, it is read on, so the
    // starts it asks for are paced by when it came, not by our reading.
    if (ProcessAlarmInputBlock(run.server, run.alarms, lines, run.pacer, block) > 0 &&
        !MoreWaiting(socket) && !Pace(run.stop, run.server.timings.block_pause_ms)) {
      end = ConnectionEnd::kStopped;
      break;
    }
  }
  EndAlarmInputConnection(run.server, lines, run.pacer);
  return end;
}

// One connection and the pause after it; false when the stop flag was set.
bool RunConnection(AlarmInputRun& run) {
  const AlarmInputTimings& times = run.server.timings;
  Log(run.server, platform::StringPrintf(kSocketStarted, run.request.c_str()));
  SockRecord socket;
  if (const char* failure = OpenConnection(run, socket)) {
    ConnectionFailed(run.server, failure, run.request);
    (void)SockClose(socket);  // fails when the open itself failed: nothing to close
    return Pause(run.clock, run.stop, times.retry_ms);
  }
  run.server.report.Connected(true);
  const ConnectionEnd end = ReadConnection(run, socket);
  run.server.report.Connected(false);
  (void)SockClose(socket);
  if (end == ConnectionEnd::kStopped) return false;
  if (end == ConnectionEnd::kAnswerNow) return true;  // the answer goes out at once
  // Every new connection starts with the request as configured: a Digest
  // answer holds only for the nonce it was made for.
  run.wire_request = run.server.request;
  run.answered_scheme.clear();
  if (end == ConnectionEnd::kRefused) return Pause(run.clock, run.stop, times.retry_ms);
  Log(run.server, platform::StringPrintf(kNoData, run.request.c_str()));
  return Pause(run.clock, run.stop, times.reconnect_ms);
}

}  // namespace

void RunAlarmInput(VideoServer& server, alarms::AlarmServer& alarms, platform::Clock& clock,
                   const std::atomic<bool>* stop) {
  std::string started = platform::StringPrintf(kThreadStarted, server.log_server_number);
  // The message ends in a line feed of its own; the console and the log end
  // every line anyway, so it is not doubled into an empty line.
  if (!started.empty() && started.back() == '\n') started.pop_back();
  core::ConsoleLog(started, core::ConsoleLevel::kNormal);
  Log(server, started);
  server.report.SetClock(&clock);

  AlarmInputRun run{.server = server,
                    .alarms = alarms,
                    .clock = clock,
                    .stop = stop,
                    .pacer = AlarmStartPacer(clock),
                    .request = PrintableText(server.request),
                    .credentials = {server.user_name, server.password, server.allow_basic_auth},
                    .wire_request = server.request};
  while (!Stopped(stop) && RunConnection(run)) {
  }
}

void AlarmInputThread(VideoServer* server, alarms::AlarmServer* alarms, platform::Clock* clock) {
  while (true) RunAlarmInput(*server, *alarms, *clock, nullptr);
}

bool StartAlarmInputThread(VideoServer& server, alarms::AlarmServer& alarms,
                           platform::Clock& clock) {
  VideoServer* record = &server;
  alarms::AlarmServer* starter = &alarms;
  platform::Clock* time = &clock;
  if (platform::StartThread([record, starter, time] { AlarmInputThread(record, starter, time); })
          .ok())
    return true;
  std::string message = platform::StringPrintf(kThreadNotStarted, server.log_server_number);
  core::ConsoleLog(message, core::ConsoleLevel::kError);
  core::ReportToInterface(message, core::ReportLevel::kError);
  return false;
}

}  // namespace camera_http
