#include "camera_http/http_client.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/log_text.h"
#include "platform/socket.h"
#include "platform/strings.h"

namespace camera_http {

namespace {

constexpr char kOpenFailed[] = "Camera %d: ERROR (%d): can not open socket for the command '%s'";
// Unlike its siblings this message has no quotes around the command.
constexpr char kConnectFailed[] =
    "Camera %d: ERROR (%d): can not connect socket for the command %s";
constexpr char kSendFailed[] =
    "Camera %d: ERROR (%d): can not write data on socket for the command '%s'";
constexpr char kNoData[] =
    "Camera %d: ERROR (%d): no data received on socket for the command '%s' - check your "
    "parameter 'GET' .....";
constexpr char kInvalidStatus[] =
    "Camera %d: ERROR (%d): invalid HTTP command '%s' - error code %d\n"
    "Data cause received from the server/camera: '%s'";
constexpr char kUnfinished[] =
    "Camera %d: ERROR (%d): the reply to the command '%s' did not end within %d seconds (%d bytes "
    "received) - connection closed";
constexpr char kBadReply[] =
    "Camera %d: ERROR (%d): invalid reply to the command '%s' - %s - connection closed";
constexpr char kCannotAnswer[] =
    "Camera %d: ERROR (%d): can not answer the authentication the camera asks for the command "
    "'%s' - %s";
constexpr char kRefused[] =
    "Camera %d: ERROR (%d): the camera refused the user '%s' (%s authentication) for the command "
    "'%s' - check its 'Username' and 'Password'";

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr int kStatusOk = 200;
constexpr int kStatusNoContent = 204;
constexpr int kStatusUnauthorized = 401;
// What a reply keeps: one character less than its buffer, for the NUL.
constexpr std::size_t kReplyMax = kHttpReplySize - 1;
constexpr std::int64_t kMillisecondsPerTenth = 100;

// Formats a failure into the caller's error text, cut to fit (a long body
// loses its end).
__attribute__((format(printf, 2, 3))) void FormatError(
    std::span<char, kHttpErrorTextSize> error_text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::StringPrintfV(format, args);
  va_end(args);
  std::size_t n = std::min(text.size(), error_text.size() - 1);
  std::memcpy(error_text.data(), text.data(), n);
  error_text[n] = '\0';
}

bool Accepted(int status) { return status == kStatusOk || status == kStatusNoContent; }

// One connection's exchange: the request out, the reply in.
struct Exchange {
  enum class Outcome {
    kOpenFailed,
    kConnectFailed,
    kSendFailed,
    kNoData,
    kUnfinished,
    kBadReply,
    kReply
  };
  Outcome outcome = Outcome::kReply;
  int error = 0;      // the system's error number when the outcome was decided
  std::string reply;  // head and body as far as they came
  std::string why;    // for kBadReply
};

Exchange RunExchange(const char* host, int port, const char* text, const HttpTimings& timings) {
  using Clock = std::chrono::steady_clock;
  Exchange x;
  auto fail = [&](Exchange::Outcome outcome) {
    x.outcome = outcome;
    x.error = SockLastError();
    return x;
  };
  SockRecord record;  // closed when it goes
  if (!SockOpen(record)) return fail(Exchange::Outcome::kOpenFailed);
  if (!SockConnect(record, host, port, timings.connect_timeout))
    return fail(Exchange::Outcome::kConnectFailed);
  // Without keepalive the reply time-out still bounds the wait: a failure
  // to set it changes nothing else.
  int saved = errno;
  (void)SockKeepAlive(record, kDeviceKeepAliveIdleSeconds, kDeviceKeepAliveIntervalSeconds,
                      kDeviceKeepAliveProbes);
  errno = saved;
  if (!SockSendText(record, text)) return fail(Exchange::Outcome::kSendFailed);

  // The whole reply has the reply time-out from now, however it is cut
  // into segments. The receive buffer is on the heap: command threads have
  // small stacks.
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timings.reply_timeout * kMillisecondsPerTenth);
  std::vector<char> buffer(kHttpReplySize);
  HttpReplyReader reader;
  bool any = false;
  while (!reader.finished()) {
    auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int count = 0;
    if (left_ms > 0) {
      int tenths = static_cast<int>(std::min<decltype(left_ms)>(
          (left_ms + kMillisecondsPerTenth - 1) / kMillisecondsPerTenth, INT_MAX));
      count = SockReceive(record, buffer, tenths).value_or(-1);
    }
    if (count == 0) {
      x = fail(any ? Exchange::Outcome::kUnfinished : Exchange::Outcome::kNoData);
      x.reply = reader.reply();
      return x;
    }
    if (count < 0) {
      // A close or an error ends the reply; an empty one reads as status 0.
      reader.Closed();
      break;
    }
    any = true;
    reader.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
  }
  x.reply = reader.reply();
  if (reader.bad()) {
    x.outcome = Exchange::Outcome::kBadReply;
    x.why = reader.why();
  }
  x.error = SockLastError();
  return x;
}

// Puts the message of a failed exchange into the error text; false when
// the exchange brought a reply to judge.
bool ReportFailure(const Exchange& x, int camera, const char* text, const HttpTimings& timings,
                   std::span<char, kHttpErrorTextSize> error_text) {
  using Outcome = Exchange::Outcome;
  switch (x.outcome) {
    case Outcome::kOpenFailed:
      FormatError(error_text, kOpenFailed, camera, x.error, text);
      return true;
    case Outcome::kConnectFailed:
      FormatError(error_text, kConnectFailed, camera, x.error, text);
      return true;
    case Outcome::kSendFailed:
      FormatError(error_text, kSendFailed, camera, x.error, text);
      return true;
    case Outcome::kNoData:
      FormatError(error_text, kNoData, camera, x.error, text);
      return true;
    case Outcome::kUnfinished:
      FormatError(error_text, kUnfinished, camera, x.error, text, timings.reply_timeout / 10,
                  static_cast<int>(x.reply.size()));
      return true;
    case Outcome::kBadReply:
      FormatError(error_text, kBadReply, camera, x.error, text, core::PrintableText(x.why).c_str());
      return true;
    case Outcome::kReply:
      return false;
  }
  return false;
}

std::string_view HeadOf(std::string_view reply) {
  std::size_t end = reply.find(kHeaderEnd);
  return end == std::string_view::npos ? reply : reply.substr(0, end + 4);
}

}  // namespace

int SendHttpCommand(const char* host, int port, const char* command,
                    std::span<char, kHttpReplySize> reply_out, int camera,
                    std::span<char, kHttpErrorTextSize> error_text,
                    const HttpCredentials& credentials, const HttpTimings& timings) {
  const char* text = command != nullptr ? command : "";
  error_text[0] = '\0';
  // The messages carry the system's error number; start from "no error" so
  // a failure that is not the system's (no reply, a refused status) does not
  // show a stale number from some earlier call of this thread.
  errno = 0;

  Exchange x = RunExchange(host, port, text, timings);
  if (ReportFailure(x, camera, text, timings, error_text)) return -1;
  int status = HttpStatusOfLine(std::string_view(x.reply.c_str()));

  // Asked for credentials that the template does not bring itself: answer
  // once, on a new connection. The messages show the command as written;
  // the answer (a password in Basic) never reaches a log.
  if (status == kStatusUnauthorized && !credentials.empty() && !HasAuthorizationLine(text)) {
    std::string authorized, scheme, why;
    if (!AnswerChallenge(text, HeadOf(x.reply), credentials, &authorized, &scheme, &why)) {
      FormatError(error_text, kCannotAnswer, camera, SockLastError(), text,
                  core::PrintableText(why).c_str());
      return -1;
    }
    x = RunExchange(host, port, authorized.c_str(), timings);
    if (ReportFailure(x, camera, text, timings, error_text)) return -1;
    status = HttpStatusOfLine(std::string_view(x.reply.c_str()));
    if (status == kStatusUnauthorized) {
      FormatError(error_text, kRefused, camera, x.error, credentials.user.c_str(),
                  core::PrintableText(scheme).c_str(), text);
      return -1;
    }
  }

  if (!Accepted(status)) {
    std::array<char, kHttpReplySize> body{};
    GetReplyStatus(x.reply.c_str(), body);
    FormatError(error_text, kInvalidStatus, camera, x.error, text, status,
                core::PrintableText(body.data()).c_str());
    return -1;
  }
  std::memcpy(reply_out.data(), x.reply.c_str(), x.reply.size() + 1);
  return 0;
}

int HttpStatusCode(std::string_view reply) {
  return HttpStatusOfLine(reply.substr(0, std::min(reply.find('\0'), kReplyMax)));
}

int GetReplyStatus(const char* reply, std::span<char, kHttpReplySize> body_out) {
  if (reply == nullptr) reply = "";

  const char* after_header = std::strstr(reply, kHeaderEnd);
  const char* body =
      after_header != nullptr ? after_header + std::strlen(kHeaderEnd) : kUnknownErrorBody;
  std::size_t body_length = std::min(std::strlen(body), body_out.size() - 1);
  std::memcpy(body_out.data(), body, body_length);
  body_out[body_length] = '\0';

  // The status is read from what fits a reply buffer.
  return HttpStatusOfLine(std::string_view(reply, strnlen(reply, kHttpReplySize - 1)));
}

}  // namespace camera_http
