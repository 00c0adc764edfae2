#pragma once
// The alarm-input connection of a video server. Video servers and IO boxes
// report their input pins to a client that keeps one request open: after the
// request they send one text line per input event, with heartbeat lines in
// between. One AlarmInputThread per server holds that connection, matches
// every line against the server's line expression, takes IO box, pin number,
// pin state and pin type out of it, and when a pin of the valid type becomes
// active starts the alarm that "ocelam.ini" maps to that pin of the IO box's
// camera. The thread never ends: it connects again after every failure or
// silence.
//
// Device text is never trusted: a line is copied as it came, never used as a
// format, and control bytes in it are written as escapes ("\r", "\n", "\t",
// "\xHH") wherever it is logged, so one line of the log stays one line.
#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "alarm/alarm_start.h"
#include "camera_http/alarm_start_pacer.h"
#include "camera_http/line_assembler.h"
#include "camera_http/video_server.h"
#include "core/log_text.h"
#include "platform/clock.h"

namespace camera_http {

// The thread's daily log and the socket failure log, per server number, with
// the date as year, day of the month, month.
inline constexpr char kAlarmInputLogFormat[] = "./LOG/ocelam_alarminput_server_%d_%04d%02d%02d.log";
inline constexpr char kServerLogFormat[] = "./LOG/ocelam_server_%d_%04d%02d%02d.log";

// The profile that maps IO boxes to cameras and input pins to alarms; this
// name whatever the program is called.
inline constexpr char kInputMappingFile[] = "ocelam.ini";

// One receive: at most this many bytes less one.
inline constexpr std::size_t kAlarmInputBlockSize = 2048;
// Characters of a line that are examined.
inline constexpr std::size_t kAlarmInputLineMax = 511;
// Bytes a line may reach while it waits for its end; past that it is
// dropped up to its end with one log line.
inline constexpr std::size_t kAlarmInputPendingMax = LineAssembler::kDefaultLimit;

// FindInputAlarm's result when the IO box has no camera.
inline constexpr int kNoCameraForIOBox = -1;

// Starts AlarmInputThread for `server` on a detached thread (0x20000-byte
// stack); its alarms start through `alarms`, its pauses are measured on
// `clock`. All three must outlive the process's threads. False, after
// reporting it, when the thread cannot be created.
bool StartAlarmInputThread(VideoServer& server, alarms::AlarmServer& alarms,
                           platform::Clock& clock);

// The thread body: RunAlarmInput without end.
[[noreturn]] void AlarmInputThread(VideoServer* server, alarms::AlarmServer* alarms,
                                   platform::Clock* clock);

// Connect, send the request (with its NUL), read and act on blocks until the
// server is silent for the receive time-out (the socket's own) or the
// connection fails, then connect again after the reconnect pause; after an
// open, connect or send failure, or a refusal, try again after the retry
// pause. Both pauses are waited on `clock`; the short pause after a block
// that completed a line only paces the reading and is plain sleeping.
// Returns only when `stop` is given and set (tests); waits end early then.
void RunAlarmInput(VideoServer& server, alarms::AlarmServer& alarms, platform::Clock& clock,
                   const std::atomic<bool>* stop);

// Acts on one received block of a connection. `lines` holds what earlier
// blocks of the same connection left unfinished; every line the block
// completes (ended by CR LF, LF or CR; cut to kAlarmInputLineMax
// characters) is a heartbeat, an input event or garbage, and is logged as
// such, and a line that reaches kAlarmInputPendingMax bytes without its end
// is logged once and dropped up to its end. An alarm starts only when
// `pacer` admits it; the starts it held back are told once their second is
// over. Returns the number of lines the block completed (an overlong one
// included).
int ProcessAlarmInputBlock(VideoServer& server, alarms::AlarmServer& alarms, LineAssembler& lines,
                           AlarmStartPacer& pacer, std::string_view block);

// The connection has ended: a line it left unfinished is logged as
// "ERROR: No valid data received '%s'", never examined (it may be cut
// anywhere), starts `pacer` held back are told at once, and `lines` is
// ready for the next connection.
void EndAlarmInputConnection(VideoServer& server, LineAssembler& lines, AlarmStartPacer& pacer);

// Tells the starts `pacer` held back in one line (the server's log, the
// console and the interface, as errors), once their second is over or at
// once with `now_anyway`.
void ReportHeldAlarmStarts(const VideoServer& server, AlarmStartPacer& pacer, bool now_anyway);

// The alarm configured for `pin` of the camera that "IOBoxCameraMapping"
// gives for "<server number>-<iobox>": "StartAlrOnPin<pin>" of
// "Scenario<camera>", by default the server's default alarm. The camera
// number text goes to `camera_out`. kNoCameraForIOBox, logged and shown on
// the console, when the IO box has no camera.
int FindInputAlarm(const VideoServer& server, std::string_view iobox, std::string_view pin,
                   std::string* camera_out);

// Reports the calling thread's last socket error for server `server_number`
// on the console, in the server log and to the interface.
void ReportServerSocketError(const VideoServer& server, int server_number);

// Device text as one log or console line: every control byte written as
// "\r", "\n", "\t" or "\xHH" (core/log_text.h).
using core::PrintableText;

}  // namespace camera_http
