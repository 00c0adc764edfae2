#pragma once
// Why a camera's connection was lost, shared by its two kinds of stream
// (MJPEG over HTTP, video over RTSP): the kind is the state the log's
// "stream lost" lines follow, so a reason worded alike is one state.
#include <string>

namespace acquisition {

// Why a transfer failed: its kind (kNone when it did not) and the text for
// the log.
struct StreamLoss {
  int kind = 0;
  std::string text;
};

namespace stream_loss {

inline constexpr int kNone = 0;
inline constexpr int kConnectTimeout = 1;
inline constexpr int kStalled = 2;
inline constexpr int kClosed = 3;
inline constexpr int kNoImage = 4;
inline constexpr int kNoVideo = 5;
inline constexpr int kCodec = 6;
inline constexpr int kRedirect = 7;
inline constexpr int kUnresolved = 8;
inline constexpr int kBasicRefused = 9;  // a Basic challenge not answered: a 401 all the same
inline constexpr int kNotStarted = 10;   // the configuration keeps the stream from starting
inline constexpr int kStatus = 1000;    // + the HTTP or RTSP status
inline constexpr int kTransfer = 2000;  // + libcurl's result
inline constexpr int kVideo = 3000;     // + FFmpeg's error, negated

inline constexpr const char* kReasonConnectTimeout = "time-out, no connection within %d s";
inline constexpr const char* kReasonUnauthorized = "401 authentication refused";
inline constexpr const char* kReasonNotFound = "404 not found";
inline constexpr const char* kReasonBasicRefused =
    "401 asks for Basic authentication only, which sends the password in clear: not answered "
    "(AllowBasicAuth of its section is not 1)";
inline constexpr const char* kReasonRefused = "refused (%s)";
inline constexpr const char* kReasonClosed = "closed by the camera";

}  // namespace stream_loss

}  // namespace acquisition
