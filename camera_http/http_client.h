#pragma once
// The one-shot HTTP client of the camera commands: a fresh connection per
// command, the command text sent as it is (followed by one NUL byte), one
// reply segment read, the status judged, the connection closed. It writes no
// line itself; on failure it hands the message back in the caller's error
// text, and the command records log it.
#include <cstddef>
#include <span>

// Size of the reply, body and error text buffers; each holds at most one
// character less and a terminating NUL.
inline constexpr std::size_t kHttpReplySize = 2048;
inline constexpr std::size_t kHttpErrorTextSize = 2048;

// How long the camera has to start its reply, in tenths of a second.
inline constexpr int kHttpReplyTimeout = 100;

// The body text when the reply has no empty line ending its header.
inline constexpr char kUnknownErrorBody[] = "unknown error";

// Sends `command` (a complete HTTP request, NUL-terminated; the NUL goes on
// the wire behind it) to `host`:`port` and judges the first reply segment.
// 0 when the camera answered 200 or 204: `reply_out` then holds the bytes
// received (the caller clears it beforehand). Otherwise -1 with `error_text`
// holding the message; `camera` is used only in the messages. `error_text`
// is emptied at the start.
int SendHttpCommand(const char* host, int port, const char* command,
                    std::span<char, kHttpReplySize> reply_out, int camera,
                    std::span<char, kHttpErrorTextSize> error_text);

// Splits a reply into its status code (the leading digits of its second
// blank-separated word; 0 when there is none) and its body: everything behind
// the first "\r\n\r\n", or "unknown error" when there is no such line. The
// body is cut to fit `body_out`.
int GetReplyStatus(const char* reply, std::span<char, kHttpReplySize> body_out);
