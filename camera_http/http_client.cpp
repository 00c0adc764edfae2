#include "camera_http/http_client.h"

#include <strings.h>

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

#include "camera_http/socket.h"
#include "platform/strings.h"

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

// Why a reply could not be read; they end up in kBadReply.
constexpr char kBadLength[] = "malformed Content-Length '%s'";
constexpr char kBadChunkSize[] = "malformed chunk size line '%s'";
constexpr char kChunkTooBig[] = "chunk size '%s' out of range";
constexpr char kLongChunkLine[] = "chunk size or trailer line longer than %d bytes";
constexpr char kChunkNotEnded[] = "chunk data not followed by CR LF";

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr char kLineEnd[] = "\r\n";
constexpr int kStatusOk = 200;
constexpr int kStatusNoContent = 204;
constexpr int kStatusNotModified = 304;
constexpr int kStatusUnauthorized = 401;
// What a reply keeps: one character less than its buffer, for the NUL.
constexpr std::size_t kReplyMax = kHttpReplySize - 1;
// Longest chunk size or trailer line read; longer ones are not HTTP.
constexpr std::size_t kChunkLineMax = 256;
// The longest bad header value quoted back in a message.
constexpr std::size_t kQuotedValueMax = 64;
constexpr std::int64_t kMillisecondsPerTenth = 100;

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

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The status code of a status line: the leading digits of its second
// blank-separated word, 0 when there is none. Only the blank separates
// words: a tab or a line end belongs to the word it touches.
int StatusOf(std::string_view line) {
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

std::string Shown(std::string_view value) { return std::string(value.substr(0, kQuotedValueMax)); }

// Reads one reply as its head says it is framed, into a text of at most
// kReplyMax bytes: the head as it came, then the body (a chunked body
// without its chunk lines, so that an expression over the reply never meets
// a chunk boundary). A reply that fills the text is finished there.
class ReplyReader {
 public:
  // Takes the next bytes received.
  void Feed(std::string_view data) {
    pending_.append(data);
    Process();
  }
  // The camera closed (or the connection failed): what has come is the
  // reply, unless it was already found bad.
  void Closed() {
    if (state_ == State::kHead) Keep(pending_);
    if (state_ != State::kBad) state_ = State::kDone;
  }
  bool finished() const { return state_ == State::kDone || state_ == State::kBad; }
  bool bad() const { return state_ == State::kBad; }
  const std::string& why() const { return why_; }
  const std::string& reply() const { return reply_; }

 private:
  enum class State { kHead, kLength, kChunkSize, kChunkData, kChunkEnd, kTrailer, kUntilClose, kDone, kBad };

  void Fail(std::string why) {
    why_ = std::move(why);
    state_ = State::kBad;
  }

  // Appends to the reply what fits; a full reply is finished.
  void Keep(std::string_view bytes) {
    std::size_t room = kReplyMax - reply_.size();
    reply_.append(bytes.substr(0, room));
    if (bytes.size() >= room) state_ = State::kDone;
  }

  // Body bytes of a known length (a Content-Length or a chunk).
  void TakeCounted(State next) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, pending_.size()));
    left_ -= n;
    Keep(std::string_view(pending_).substr(0, n));
    pending_.erase(0, n);
    if (state_ != State::kDone && left_ == 0) state_ = next;
  }

  // Decides from the head how the body is framed.
  void Frame(std::string_view head) {
    int status = StatusOf(head.substr(0, head.find(kLineEnd)));
    if ((status >= 100 && status < 200) || status == kStatusNoContent || status == kStatusNotModified) {
      state_ = State::kDone;
      return;
    }
    std::string coding = HeaderValues(head, "Transfer-Encoding");
    if (!coding.empty()) {
      std::string_view last = TrimBlanks(std::string_view(coding).substr(coding.rfind(',') + 1));
      if (EqualNoCase(last, "chunked")) {
        state_ = State::kChunkSize;
        return;
      }
    }
    std::string length = HeaderValues(head, "Content-Length");
    if (length.empty()) {
      state_ = State::kUntilClose;
      return;
    }
    std::string_view digits = TrimBlanks(length);
    std::uint64_t value = 0;
    bool ok = !digits.empty();
    for (char c : digits) {
      if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
        ok = false;
        break;
      }
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok) return Fail(platform::StringPrintf(kBadLength, Shown(length).c_str()));
    left_ = value;
    state_ = value == 0 ? State::kDone : State::kLength;
  }

  // The size of the next chunk, from its line "HEX[;extensions]".
  void ChunkSize(std::string_view line) {
    std::string_view hex = TrimBlanks(line.substr(0, line.find(';')));
    if (hex.empty()) return Fail(platform::StringPrintf(kBadChunkSize, Shown(line).c_str()));
    std::uint64_t value = 0;
    for (char c : hex) {
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return Fail(platform::StringPrintf(kBadChunkSize, Shown(line).c_str()));
      if (value > (UINT64_MAX >> 4)) return Fail(platform::StringPrintf(kChunkTooBig, Shown(hex).c_str()));
      value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    left_ = value;
    state_ = value == 0 ? State::kTrailer : State::kChunkData;
  }

  // Takes one line of chunk framing from the pending bytes into `line`;
  // false while it has not come whole.
  bool TakeLine(std::string* line) {
    std::size_t eol = pending_.find(kLineEnd);
    if (eol == std::string::npos) {
      if (pending_.size() > kChunkLineMax)
        Fail(platform::StringPrintf(kLongChunkLine, static_cast<int>(kChunkLineMax)));
      return false;
    }
    if (eol > kChunkLineMax) {
      Fail(platform::StringPrintf(kLongChunkLine, static_cast<int>(kChunkLineMax)));
      return false;
    }
    line->assign(pending_, 0, eol);
    pending_.erase(0, eol + 2);
    return true;
  }

  void Process() {
    std::string line;
    while (!finished()) {
      switch (state_) {
        case State::kHead: {
          std::size_t end = pending_.find(kHeaderEnd);
          if (end == std::string::npos) {
            // A head that does not fit is kept as far as it goes.
            if (pending_.size() >= kReplyMax) Keep(pending_);
            return;
          }
          std::string head = pending_.substr(0, end + 4);
          pending_.erase(0, end + 4);
          Keep(head);
          if (!finished()) Frame(head);
          break;
        }
        case State::kLength:
          if (pending_.empty()) return;
          TakeCounted(State::kDone);
          break;
        case State::kUntilClose:
          if (pending_.empty()) return;
          Keep(pending_);
          pending_.clear();
          break;
        case State::kChunkSize:
          if (!TakeLine(&line)) return;
          ChunkSize(line);
          break;
        case State::kChunkData:
          if (pending_.empty()) return;
          TakeCounted(State::kChunkEnd);
          break;
        case State::kChunkEnd:
          if (pending_.size() < 2) return;
          if (pending_.compare(0, 2, kLineEnd) != 0) return Fail(kChunkNotEnded);
          pending_.erase(0, 2);
          state_ = State::kChunkSize;
          break;
        case State::kTrailer:
          if (!TakeLine(&line)) return;
          if (line.empty()) state_ = State::kDone;
          break;
        case State::kDone:
        case State::kBad:
          return;
      }
    }
  }

  State state_ = State::kHead;
  std::string pending_;  // received, not yet taken into the reply
  std::string reply_;
  std::uint64_t left_ = 0;  // bytes of the body or chunk still to come
  std::string why_;
};

// One connection's exchange: the request out, the reply in.
struct Exchange {
  enum class Outcome { kOpenFailed, kConnectFailed, kSendFailed, kNoData, kUnfinished, kBadReply, kReply };
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
  if (SockOpen(record) != 0) return fail(Exchange::Outcome::kOpenFailed);
  if (SockConnect(record, host, port, timings.connect_timeout) != 0)
    return fail(Exchange::Outcome::kConnectFailed);
  // Without keepalive the reply time-out still bounds the wait: a failure
  // to set it changes nothing else.
  int saved = errno;
  SockKeepAlive(record, kDeviceKeepAliveIdleSeconds, kDeviceKeepAliveIntervalSeconds,
                kDeviceKeepAliveProbes);
  errno = saved;
  if (SockSendText(record, text) != 0) return fail(Exchange::Outcome::kSendFailed);

  // The whole reply has the reply time-out from now, however it is cut
  // into segments. The receive buffer is on the heap: command threads have
  // small stacks.
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timings.reply_timeout * kMillisecondsPerTenth);
  std::vector<char> buffer(kHttpReplySize);
  ReplyReader reader;
  bool any = false;
  while (!reader.finished()) {
    auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int count = 0;
    if (left_ms > 0) {
      int tenths = static_cast<int>(std::min<decltype(left_ms)>(
          (left_ms + kMillisecondsPerTenth - 1) / kMillisecondsPerTenth, INT_MAX));
      count = SockReceive(record, buffer, tenths);
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
      FormatError(error_text, kUnfinished, camera, x.error, text,
                  timings.reply_timeout / 10, static_cast<int>(x.reply.size()));
      return true;
    case Outcome::kBadReply:
      FormatError(error_text, kBadReply, camera, x.error, text, x.why.c_str());
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
  int status = StatusOf(std::string_view(x.reply.c_str()));

  // Asked for credentials that the template does not bring itself: answer
  // once, on a new connection. The messages show the command as written;
  // the answer (a password in Basic) never reaches a log.
  if (status == kStatusUnauthorized && !credentials.empty() && !HasAuthorizationLine(text)) {
    std::string authorized, scheme, why;
    if (!AnswerChallenge(text, HeadOf(x.reply), credentials, &authorized, &scheme, &why)) {
      FormatError(error_text, kCannotAnswer, camera, SockLastError(), text, why.c_str());
      return -1;
    }
    x = RunExchange(host, port, authorized.c_str(), timings);
    if (ReportFailure(x, camera, text, timings, error_text)) return -1;
    status = StatusOf(std::string_view(x.reply.c_str()));
    if (status == kStatusUnauthorized) {
      FormatError(error_text, kRefused, camera, x.error, credentials.user.c_str(), scheme.c_str(), text);
      return -1;
    }
  }

  if (!Accepted(status)) {
    std::array<char, kHttpReplySize> body{};
    GetReplyStatus(x.reply.c_str(), body);
    FormatError(error_text, kInvalidStatus, camera, x.error, text, status, body.data());
    return -1;
  }
  std::memcpy(reply_out.data(), x.reply.c_str(), x.reply.size() + 1);
  return 0;
}

int HttpStatusCode(std::string_view reply) {
  return StatusOf(reply.substr(0, std::min(reply.find('\0'), kReplyMax)));
}

int GetReplyStatus(const char* reply, std::span<char, kHttpReplySize> body_out) {
  if (reply == nullptr) reply = "";

  const char* after_header = std::strstr(reply, kHeaderEnd);
  const char* body = after_header != nullptr ? after_header + std::strlen(kHeaderEnd) : kUnknownErrorBody;
  std::size_t body_length = std::min(std::strlen(body), body_out.size() - 1);
  std::memcpy(body_out.data(), body, body_length);
  body_out[body_length] = '\0';

  // The status is read from what fits a reply buffer.
  return StatusOf(std::string_view(reply, strnlen(reply, kHttpReplySize - 1)));
}
