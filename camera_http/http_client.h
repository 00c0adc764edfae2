#pragma once
// The one-shot HTTP client of the camera commands: a fresh connection per
// command, the command text sent as it is (followed by one NUL byte), the
// whole reply read (its head, then its body by Content-Length, by chunks or
// until the camera closes), the status judged, the connection closed. A
// command refused with 401 is answered once when the camera has credentials
// and the template brings no Authorization line of its own. It writes no
// line itself; on failure it hands the message back in the caller's error
// text, and the command records log it. What the camera sent (a reply body,
// what was wrong with its reply or its challenge) stands in a message as
// core::PrintableText writes it; the command stands as written, and the
// log's writers mask its passwords (core/log_text.h).
#include <cstddef>
#include <span>
#include <string_view>

#include "camera_http/http_auth.h"
#include "camera_http/http_reply.h"
#include "platform/socket.h"

namespace camera_http {

// Size of the error text buffer (kHttpReplySize is the reply's).
inline constexpr std::size_t kHttpErrorTextSize = 2048;

// How long the camera has for its whole reply, from the moment the command
// has been sent, in tenths of a second.
inline constexpr int kHttpReplyTimeout = 100;

// The waits of one command, in tenths of a second; tests shorten them.
struct HttpTimings {
  int connect_timeout = kSockConnectTimeout;
  int reply_timeout = kHttpReplyTimeout;
};

// The body text when the reply has no empty line ending its header.
inline constexpr char kUnknownErrorBody[] = "unknown error";

// Sends `command` (a complete HTTP request, NUL-terminated; the NUL goes on
// the wire behind it) to `host`:`port` and judges the reply. 0 when the
// camera answered 200 or 204: `reply_out` then holds the reply's head and
// its body (chunks joined), cut to the buffer (the caller clears it
// beforehand). Otherwise -1 with `error_text` holding the message; `camera`
// is used only in the messages. `error_text` is emptied at the start.
// With `credentials`, a 401 with a Digest challenge (or a Basic one, when
// the credentials allow Basic) to a command without an Authorization line
// is answered on a new connection, once.
int SendHttpCommand(const char* host, int port, const char* command,
                    std::span<char, kHttpReplySize> reply_out, int camera,
                    std::span<char, kHttpErrorTextSize> error_text,
                    const HttpCredentials& credentials = {}, const HttpTimings& timings = {});

// The status code of a reply as GetReplyStatus reads it (0 when none).
int HttpStatusCode(std::string_view reply);

// Splits a reply into its status code (the leading digits of its second
// blank-separated word; 0 when there is none) and its body: everything behind
// the first "\r\n\r\n", or "unknown error" when there is no such line. The
// body is cut to fit `body_out`.
int GetReplyStatus(const char* reply, std::span<char, kHttpReplySize> body_out);

}  // namespace camera_http
