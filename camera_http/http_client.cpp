#include "camera_http/http_client.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "camera_http/socket.h"

namespace {

constexpr char kOpenFailed[] = "Camera %d: ERROR (%d): can not open socket for the command '%s'";
// Unlike its siblings this message has no quotes around the command.
constexpr char kConnectFailed[] = "Camera %d: ERROR (%d): can not connect socket for the command %s";
constexpr char kSendFailed[] =
    "Camera %d: ERROR (%d): can not write data on socket for the command '%s'";
constexpr char kNoData[] =
    "Camera %d: ERROR (%d): no data received on socket for the command '%s' - check your "
    "parameter 'GET' .....";
constexpr char kInvalidStatus[] =
    "Camera %d: ERROR (%d): invalid HTTP command '%s' - error code %d\n"
    "Data cause received from the server/camera: '%s'";

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr int kStatusOk = 200;
constexpr int kStatusNoContent = 204;

// Formats a failure into the caller's error text, cut to fit (a long body
// loses its end).
__attribute__((format(printf, 2, 3))) void FormatError(std::span<char, kHttpErrorTextSize> error_text,
                                                      const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(error_text.data(), error_text.size(), format, args);
  va_end(args);
}

bool Accepted(int status) { return status == kStatusOk || status == kStatusNoContent; }

}  // namespace

int SendHttpCommand(const char* host, int port, const char* command,
                    std::span<char, kHttpReplySize> reply_out, int camera,
                    std::span<char, kHttpErrorTextSize> error_text) {
  const char* text = command != nullptr ? command : "";
  error_text[0] = '\0';
  std::array<char, kHttpReplySize> body{};
  // The messages carry the system's error number; start from "no error" so
  // a failure that is not the system's (no reply, a refused status) does not
  // show a stale number from some earlier call of this thread.
  errno = 0;

  SockRecord record;
  if (SockOpen(record) != 0) {
    FormatError(error_text, kOpenFailed, camera, SockLastError(), text);
    SockClose(record);  // fails harmlessly: there is no socket
    return -1;
  }
  if (SockConnect(record, host, port) != 0) {
    FormatError(error_text, kConnectFailed, camera, SockLastError(), text);
    SockClose(record);
    return -1;
  }
  if (SockSendText(record, text) != 0) {
    FormatError(error_text, kSendFailed, camera, SockLastError(), text);
    SockClose(record);
    return -1;
  }

  // One receive only: whatever the camera sends after its first segment is
  // not read. An error or a close leaves the buffer empty, which the status
  // check below turns into status 0.
  std::array<char, kHttpReplySize> received{};
  int count = SockReceive(record, received, kHttpReplyTimeout);
  if (count == 0) {
    FormatError(error_text, kNoData, camera, SockLastError(), text);
    SockClose(record);
    return -1;
  }

  int status = GetReplyStatus(received.data(), body);
  if (!Accepted(status)) {
    FormatError(error_text, kInvalidStatus, camera, SockLastError(), text, status, body.data());
    SockClose(record);
    return -1;
  }

  if (count > 0) {
    // The receive left a NUL behind the bytes; it comes along.
    std::memcpy(reply_out.data(), received.data(), static_cast<std::size_t>(count) + 1);
  }
  SockClose(record);
  return 0;
}

int GetReplyStatus(const char* reply, std::span<char, kHttpReplySize> body_out) {
  if (reply == nullptr) reply = "";

  const char* after_header = std::strstr(reply, kHeaderEnd);
  const char* body = after_header != nullptr ? after_header + std::strlen(kHeaderEnd) : kUnknownErrorBody;
  std::size_t body_length = std::min(std::strlen(body), body_out.size() - 1);
  std::memcpy(body_out.data(), body, body_length);
  body_out[body_length] = '\0';

  // The status is read from what fits a reply buffer. Only the blank
  // separates words: a tab or a line end belongs to the word it touches.
  std::string_view line(reply, strnlen(reply, kHttpReplySize - 1));
  std::size_t at = 0;
  auto skip_blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  skip_blanks();
  if (at == line.size()) return 0;  // no protocol word
  while (at < line.size() && line[at] != ' ') ++at;
  skip_blanks();
  if (at == line.size()) return 0;  // no status word

  int status = 0;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
    int digit = line[at] - '0';
    // Garbage with endless digits saturates instead of overflowing.
    status = status > (INT_MAX - digit) / 10 ? INT_MAX : status * 10 + digit;
  }
  return status;
}
