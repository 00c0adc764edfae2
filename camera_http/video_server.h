#pragma once
// One video server (or IO box server) whose alarm inputs the gateway watches:
// its identity, the texts that say how its input lines read (the same for
// every server, from the "sonyrsm" section of "qxacam.ini") and the times
// its alarm-input connection keeps.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "camera_http/input_report.h"
#include "core/camera_identity.h"
#include "platform/socket.h"

namespace camera_http {

// Longest request, line expression, heartbeat and valid pin type kept.
inline constexpr std::size_t kVideoServerTextMax = 255;
// Longest substitution text kept, and longest text a substitution gives.
inline constexpr std::size_t kSubstitutionMax = 63;

// The section of "qxacam.ini" every video server reads its texts from,
// whatever its model.
inline constexpr char kVideoServerSection[] = "sonyrsm";

// How long the alarm-input connection waits. The defaults are the gateway's.
// The retry and reconnect pauses are waited on the thread's clock, which
// tests step; the socket's own waits are real time, and tests shorten them.
struct AlarmInputTimings {
  // Tenths of a second for the server to complete a connection.
  int connect_timeout = kSockConnectTimeout;
  // Tenths of a second without a byte before the server is asked again.
  int receive_timeout = 1000;
  // After a socket that cannot be opened, connected or written to.
  int retry_ms = 30000;
  // After a silent or closed connection, before the next one (5 s + 0.5 s).
  int reconnect_ms = 5500;
  // After each block that completed a line, before the next receive.
  int block_pause_ms = 300;
};

class VideoServer : public core::CameraIdentity {
 public:
  // Stores address, port, reference (the name) and server number, then reads
  // the nine alarm-input texts with "\r" and "\n" turned into CR and LF.
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  int log_server_number = 0;     // the server number in its log names and messages
  std::string request;           // "GetAlarmInput": the whole request sent
  int default_alarm_number = 0;  // "DefaultInputAlrNbr"
  std::string line_expression;   // "AlarmInputRegExp"
  std::string heartbeat;         // "HeartBeatString"
  std::string valid_pin_type;    // "AlarmInputIOValidPinType"
  std::string raw_data_subst;    // "AlarmInputPinRawDataSubst"
  std::string pin_type_subst;    // "AlarmInputPinTypeSubst"
  std::string pin_state_subst;   // "AlarmInputPinStateSubst"
  std::string pin_number_subst;  // "AlarmInputPinNumberSubst"
  std::string iobox_subst;       // "AlarmInputIOBoxIDSubst"

  AlarmInputTimings timings;
  // What its alarm input shows the operator's page (its own lock).
  InputReport report;
};

// The video servers, by server number. The gateway holds one table, filled
// by the configuration loader before any thread starts; each alarm-input
// thread then owns its server's record.
using VideoServerTable = std::array<VideoServer, core::kVideoServerSlots>;

}  // namespace camera_http
