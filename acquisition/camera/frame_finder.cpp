#include "acquisition/camera/frame_finder.h"

#include <cctype>
#include <cstring>

namespace acquisition {

namespace {

// A Content-Length beyond this is no frame of any camera: the length is
// ignored and the frame followed by its markers instead.
constexpr std::int64_t kMaxPartLength = 16 * 1024 * 1024;
// The smallest JPEG that a length can announce: FF D8 FF D9.
constexpr std::int64_t kMinPartLength = 4;
constexpr char kContentLength[] = "content-length:";

bool StartsWithNoCase(const char* text, std::size_t length, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  if (length < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool IsRestartOrStandalone(std::uint8_t code) {
  return code == 0x01 || (code >= 0xD0 && code <= 0xD7);
}

}  // namespace

void MjpegFrameFinder::Reset() {
  ToOutside();
  lengths_unreliable_ = false;
}

void MjpegFrameFinder::ToOutside() {
  state_ = State::kOutside;
  outside_ff_ = false;
  line_length_ = 0;
  header_seen_ = false;
  part_length_ = -1;
  raw_ = false;
}

void MjpegFrameFinder::StartFrame(std::int64_t start, State next) {
  frame_ = FoundFrame{start, 0, now_us_, wall_ms_, session_};
  state_ = next;
  raw_ = false;
}

void MjpegFrameFinder::EndFrame(std::int64_t end, Events& events) {
  frame_.end = end;
  if (end - frame_.start > kMaxFrameBytes)
    events.OnStreamProblem(StreamProblem::kTooBig, end - frame_.start);
  else
    events.OnFrame(frame_);
  ToOutside();
}

void MjpegFrameFinder::OutsideLine(Events& events) {
  std::size_t length = line_length_ < sizeof line_ ? line_length_ : sizeof line_;
  bool cut = line_length_ > sizeof line_;
  line_length_ = 0;
  const char* line = line_;
  while (length > 0 && (line[0] == ' ' || line[0] == '\t')) ++line, --length;
  if (length == 0) {
    // The blank line that ends a part's headers: the body follows.
    bool had_headers = header_seen_;
    std::int64_t announced = part_length_;
    header_seen_ = false;
    part_length_ = -1;
    if (!had_headers || announced < 0 || lengths_unreliable_) return;
    if (announced > kMaxFrameBytes) {
      events.OnStreamProblem(StreamProblem::kTooBig, announced);
      remaining_ = announced;
      state_ = State::kSkip;
      return;
    }
    state_ = State::kLengthBody;
    remaining_ = announced;
    body_checked_ = 0;
    tail_ = 0;
    return;
  }
  if (length >= 2 && line[0] == '-' && line[1] == '-') {
    header_seen_ = false;
    part_length_ = -1;
    return;
  }
  header_seen_ = true;
  if (!StartsWithNoCase(line, length, kContentLength)) return;
  std::size_t at = sizeof kContentLength - 1;
  while (at < length && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::int64_t value = 0;
  std::size_t digits = 0;
  for (; at < length && std::isdigit(static_cast<unsigned char>(line[at])); ++at, ++digits) {
    value = value * 10 + (line[at] - '0');
    if (value > kMaxPartLength) break;
  }
  bool trailing_ok = at == length || line[at] == ' ' || line[at] == '\t' || line[at] == ';';
  if (digits == 0 || value > kMaxPartLength || value < kMinPartLength || !trailing_ok || cut) {
    events.OnStreamProblem(StreamProblem::kBadLength, value);
    part_length_ = -1;
    return;
  }
  part_length_ = value;
}

void MjpegFrameFinder::Feed(const std::uint8_t* data, std::size_t n, std::int64_t position,
                            std::int64_t now_us, std::int64_t wall_ms, std::uint32_t session,
                            Events& events) {
  now_us_ = now_us;
  wall_ms_ = wall_ms;
  session_ = session;
  const Chunk chunk{data, n, position};
  for (std::size_t i = 0; i < n;) {
    i = Step(chunk, i, events);
    // A frame that outgrows what can be read back is given up at once, so a
    // stream without end markers never holds more than this.
    if (state_ != State::kOutside && state_ != State::kSkip && state_ != State::kLengthBody &&
        chunk.At(i) - frame_.start > kMaxFrameBytes) {
      events.OnStreamProblem(StreamProblem::kTooBig, chunk.At(i) - frame_.start);
      ToOutside();
    }
  }
}

std::size_t MjpegFrameFinder::Step(const Chunk& c, std::size_t i, Events& events) {
  switch (state_) {
    case State::kOutside:
      return Outside(c, i, events);
    case State::kLengthBody:
      return LengthBody(c, i, events);
    case State::kSkip:
      return Skip(c, i);
    case State::kMarker:
      // Not a marker where one must be: the structure is broken.
      if (c.data[i] != 0xFF) {
        raw_ = true;
        state_ = State::kEntropy;
        return i;
      }
      state_ = State::kMarkerCode;
      return i + 1;
    case State::kMarkerCode:
    case State::kEntropyFF:
      return MarkerCode(c, i, events);
    case State::kSegmentLen1:
      length_high_ = c.data[i];
      state_ = State::kSegmentLen2;
      return i + 1;
    case State::kSegmentLen2:
      return SegmentLength(c, i);
    case State::kSegmentSkip:
      return SegmentSkip(c, i);
    case State::kEntropy:
      return Entropy(c, i);
  }
  return c.n;
}

std::size_t MjpegFrameFinder::WithinLimit(const Chunk& c, std::size_t i, std::size_t k) const {
  // A skip never runs past the byte at which the frame would be too big, so
  // a frame is given up at the same byte however the stream was cut into
  // chunks.
  const std::int64_t room = frame_.start + kMaxFrameBytes + 1 - c.At(i);
  return room < static_cast<std::int64_t>(k) ? static_cast<std::size_t>(room) : k;
}

std::size_t MjpegFrameFinder::Outside(const Chunk& c, std::size_t i, Events& events) {
  const std::uint8_t b = c.data[i++];
  if (outside_ff_ && b == 0xD8) {
    StartFrame(c.At(i) - 2, State::kMarker);
    return i;
  }
  outside_ff_ = b == 0xFF;
  if (b == '\n') {
    OutsideLine(events);
    if (state_ == State::kLengthBody) StartFrame(c.At(i), State::kLengthBody);
  } else if (b != '\r') {
    if (line_length_ < sizeof line_) line_[line_length_] = static_cast<char>(b);
    if (line_length_ <= sizeof line_) ++line_length_;
  }
  return i;
}

std::size_t MjpegFrameFinder::LengthBody(const Chunk& c, std::size_t i, Events& events) {
  if (body_checked_ < 2) {
    // A body that does not open with FF D8 is not the image its length
    // promised: look for the frame by its markers instead.
    const std::uint8_t expected = body_checked_ == 0 ? 0xFF : 0xD8;
    if (c.data[i] != expected) {
      const bool ff = body_checked_ == 1;
      ToOutside();
      outside_ff_ = ff;
      return i;
    }
    ++body_checked_;
    tail_ = (tail_ << 8) | c.data[i++];
    if (--remaining_ > 0) return i;
  }
  const std::size_t k = Take(c, i, remaining_);
  for (std::size_t j = (k > 4 ? i + k - 4 : i); j < i + k; ++j) tail_ = (tail_ << 8) | c.data[j];
  i += k;
  remaining_ -= static_cast<std::int64_t>(k);
  if (remaining_ == 0) EndLengthBody(c.At(i), events);
  return i;
}

void MjpegFrameFinder::EndLengthBody(std::int64_t end, Events& events) {
  // Some cameras count the CR LF behind the image into the length.
  if ((tail_ & 0xFFFF) == 0xFFD9) {
    EndFrame(end, events);
  } else if (tail_ == 0xFFD90D0Au) {
    EndFrame(end - 2, events);
  } else if ((tail_ & 0xFFFFFF) == 0xFFD90Au) {
    EndFrame(end - 1, events);
  } else {
    events.OnStreamProblem(StreamProblem::kLengthMismatch, end - frame_.start);
    // A camera whose lengths lie once is not trusted again on this
    // connection: its frames are followed by their markers.
    lengths_unreliable_ = true;
    ToOutside();
  }
}

std::size_t MjpegFrameFinder::Skip(const Chunk& c, std::size_t i) {
  const std::size_t k = Take(c, i, remaining_);
  remaining_ -= static_cast<std::int64_t>(k);
  if (remaining_ == 0) ToOutside();
  return i + k;
}

std::size_t MjpegFrameFinder::MarkerCode(const Chunk& c, std::size_t i, Events& events) {
  const std::uint8_t code = c.data[i++];
  const bool in_scan = state_ == State::kEntropyFF;
  if (code == 0xFF) return i;  // fill bytes before a marker
  if (code == 0xD9) {
    EndFrame(c.At(i), events);
  } else if (code == 0xD8) {
    events.OnStreamProblem(StreamProblem::kNoEndMarker, c.At(i) - 2 - frame_.start);
    StartFrame(c.At(i) - 2, State::kMarker);
  } else if (in_scan && (code == 0x00 || IsRestartOrStandalone(code))) {
    state_ = State::kEntropy;  // stuffed 0xFF or a restart marker
  } else if (raw_) {
    state_ = State::kEntropy;
  } else if (IsRestartOrStandalone(code)) {
    state_ = State::kMarker;
  } else if (code == 0x00) {
    raw_ = true;
    state_ = State::kEntropy;
  } else {
    after_sos_ = code == 0xDA;
    state_ = State::kSegmentLen1;
  }
  return i;
}

std::size_t MjpegFrameFinder::SegmentLength(const Chunk& c, std::size_t i) {
  const int length = (length_high_ << 8) | c.data[i++];
  if (length < 2) {
    raw_ = true;
    state_ = State::kEntropy;
    return i;
  }
  remaining_ = length - 2;
  state_ = remaining_ > 0 ? State::kSegmentSkip : AfterSegment();
  return i;
}

std::size_t MjpegFrameFinder::SegmentSkip(const Chunk& c, std::size_t i) {
  const std::size_t k = WithinLimit(c, i, Take(c, i, remaining_));
  remaining_ -= static_cast<std::int64_t>(k);
  if (remaining_ == 0) state_ = AfterSegment();
  return i + k;
}

std::size_t MjpegFrameFinder::Entropy(const Chunk& c, std::size_t i) {
  const std::size_t end = i + WithinLimit(c, i, c.n - i);
  for (;;) {
    const void* ff = std::memchr(c.data + i, 0xFF, end - i);
    if (!ff) return end;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - c.data) + 1;
    // A stuffed 0xFF or a restart marker is part of the scan: the search
    // goes on here rather than through a state of its own per byte.
    if (i < end && (c.data[i] == 0x00 || IsRestartOrStandalone(c.data[i]))) {
      ++i;
      continue;
    }
    state_ = State::kEntropyFF;
    return i;
  }
}

}  // namespace acquisition
