#include "camera_http/http_reply.h"

#include <strings.h>

#include <algorithm>
#include <climits>

#include "camera_http/http_auth.h"
#include "platform/strings.h"

namespace camera_http {

namespace {

constexpr char kBadLength[] = "malformed Content-Length '%s'";
constexpr char kBadChunkSize[] = "malformed chunk size line '%s'";
constexpr char kChunkTooBig[] = "chunk size '%s' out of range";
constexpr char kLongChunkLine[] = "chunk size or trailer line longer than %d bytes";
constexpr char kChunkNotEnded[] = "chunk data not followed by CR LF";

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr char kLineEnd[] = "\r\n";
constexpr int kStatusNoContent = 204;
constexpr int kStatusNotModified = 304;
// What a reply keeps: one character less than its buffer, for the NUL.
constexpr std::size_t kReplyMax = kHttpReplySize - 1;
// Longest chunk size or trailer line read; longer ones are not HTTP.
constexpr std::size_t kChunkLineMax = 256;
// The longest bad header value quoted back in a message.
constexpr std::size_t kQuotedValueMax = 64;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string Shown(std::string_view value) { return std::string(value.substr(0, kQuotedValueMax)); }

}  // namespace

int HttpStatusOfLine(std::string_view line) {
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

void HttpReplyReader::Feed(std::string_view data) {
  pending_.append(data);
  Process();
}

void HttpReplyReader::Closed() {
  if (state_ == State::kHead) Keep(pending_);
  if (state_ != State::kBad) state_ = State::kDone;
}

void HttpReplyReader::Fail(std::string why) {
  why_ = std::move(why);
  state_ = State::kBad;
}

void HttpReplyReader::Keep(std::string_view bytes) {
  std::size_t room = kReplyMax - reply_.size();
  reply_.append(bytes.substr(0, room));
  if (bytes.size() >= room) state_ = State::kDone;
}

void HttpReplyReader::TakeCounted(State next) {
  std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, pending_.size()));
  left_ -= n;
  Keep(std::string_view(pending_).substr(0, n));
  pending_.erase(0, n);
  if (state_ != State::kDone && left_ == 0) state_ = next;
}

void HttpReplyReader::Frame(std::string_view head) {
  int status = HttpStatusOfLine(head.substr(0, head.find(kLineEnd)));
  if ((status >= 100 && status < 200) || status == kStatusNoContent ||
      status == kStatusNotModified) {
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

void HttpReplyReader::ChunkSize(std::string_view line) {
  std::string_view hex = TrimBlanks(line.substr(0, line.find(';')));
  if (hex.empty()) return Fail(platform::StringPrintf(kBadChunkSize, Shown(line).c_str()));
  std::uint64_t value = 0;
  for (char c : hex) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return Fail(platform::StringPrintf(kBadChunkSize, Shown(line).c_str()));
    if (value > (UINT64_MAX >> 4))
      return Fail(platform::StringPrintf(kChunkTooBig, Shown(hex).c_str()));
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  left_ = value;
  state_ = value == 0 ? State::kTrailer : State::kChunkData;
}

bool HttpReplyReader::TakeLine(std::string* line) {
  std::size_t eol = pending_.find(kLineEnd);
  if (eol == std::string::npos) {
    // A line of the longest size whose CR has come without its LF yet is
    // still whole: the receive was cut inside its line end.
    const bool cut_in_line_end = pending_.size() == kChunkLineMax + 1 && pending_.back() == '\r';
    if (pending_.size() > kChunkLineMax && !cut_in_line_end)
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

void HttpReplyReader::Process() {
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

}  // namespace camera_http
