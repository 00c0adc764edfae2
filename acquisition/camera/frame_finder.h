#pragma once
// Finds the JPEG frames of a multipart MJPEG stream while its bytes go by,
// chunk after chunk, without copying them and without allocating.
//
// A part whose header announces a Content-Length is taken by that length,
// so nothing inside the image (an EXIF thumbnail with its own end marker)
// can cut it short. Without a length the frame is followed through its JPEG
// structure: marker segments are skipped by their length fields and the end
// marker is looked for only in the entropy-coded data, where a 0xFF byte can
// never stand for itself. A frame is only reported once its last byte has
// gone by; `Reset` drops the frame being assembled, so a reconnect can never
// splice two frames together.
#include <cstddef>
#include <cstdint>

namespace acquisition {

// Bytes of the largest frame that can be read back (one less than the image
// buffer); larger frames are skipped.
inline constexpr std::int64_t kMaxFrameBytes = 799999;

struct FoundFrame {
  std::int64_t start = 0;     // stream position of the 0xFF of FF D8
  std::int64_t end = 0;       // stream position just behind FF D9
  std::int64_t begin_us = 0;  // monotonic clock when the first byte arrived
  std::int64_t begin_wall_ms = 0;
  std::uint32_t session = 0;
  // For compressed video (RTSP): the codec parameters the frame decodes with
  // (0 for MJPEG) and whether decoding can start at it.
  std::uint16_t codec = 0;
  bool key = false;
};

enum class StreamProblem {
  kNoEndMarker,     // a new frame began before the last one ended
  kLengthMismatch,  // the announced Content-Length does not end on FF D9
  kTooBig,          // a frame larger than kMaxFrameBytes
  kBadLength,       // a Content-Length that is no usable number
  kClockStep,       // an RTSP camera's clock stepped (detail: the step in ms)
  kCount
};

class MjpegFrameFinder {
 public:
  class Events {
   public:
    virtual void OnFrame(const FoundFrame& frame) = 0;
    virtual void OnStreamProblem(StreamProblem problem, std::int64_t detail) = 0;

   protected:
    ~Events() = default;
  };

  // Forgets the frame being assembled and everything learnt of the part
  // headers; called when a transfer starts and when it ends.
  void Reset();

  // Takes the next `n` bytes of the stream; `position` is the stream position
  // of data[0]. Times and session describe when and for which session these
  // bytes arrived.
  void Feed(const std::uint8_t* data, std::size_t n, std::int64_t position, std::int64_t now_us,
            std::int64_t wall_ms, std::uint32_t session, Events& events);

 private:
  enum class State {
    kOutside,      // between frames: part headers, boundaries, garbage
    kLengthBody,   // inside a frame taken by its Content-Length
    kSkip,         // skipping a part too big to keep
    kMarker,       // inside a frame: the next byte is a marker's 0xFF
    kMarkerCode,   // inside a frame: the byte after a marker's 0xFF
    kSegmentLen1,  // first byte of a segment length
    kSegmentLen2,  // second byte of a segment length
    kSegmentSkip,  // the body of a marker segment
    kEntropy,      // entropy-coded data
    kEntropyFF,    // entropy-coded data right after 0xFF
  };

  // The chunk being fed: its bytes and the stream position of the first.
  struct Chunk {
    const std::uint8_t* data;
    std::size_t n;
    std::int64_t position;
    std::int64_t At(std::size_t k) const { return position + static_cast<std::int64_t>(k); }
  };
  // Bytes of the chunk from `i` on, at most `limit`.
  static std::size_t Take(const Chunk& c, std::size_t i, std::int64_t limit) {
    return limit < static_cast<std::int64_t>(c.n - i) ? static_cast<std::size_t>(limit) : c.n - i;
  }

  // One step of the scan from byte `i` in the present state: the byte it
  // stopped before. Each state's step is a function of its own.
  std::size_t Step(const Chunk& c, std::size_t i, Events& events);
  std::size_t Outside(const Chunk& c, std::size_t i, Events& events);
  std::size_t LengthBody(const Chunk& c, std::size_t i, Events& events);
  void EndLengthBody(std::int64_t end, Events& events);
  std::size_t Skip(const Chunk& c, std::size_t i);
  std::size_t MarkerCode(const Chunk& c, std::size_t i, Events& events);
  std::size_t SegmentLength(const Chunk& c, std::size_t i);
  std::size_t SegmentSkip(const Chunk& c, std::size_t i);
  std::size_t Entropy(const Chunk& c, std::size_t i);
  // `k` bytes from `i`, cut where the frame being followed by its markers
  // would become too big.
  std::size_t WithinLimit(const Chunk& c, std::size_t i, std::size_t k) const;
  State AfterSegment() const { return after_sos_ ? State::kEntropy : State::kMarker; }

  void StartFrame(std::int64_t start, State next);
  void EndFrame(std::int64_t end, Events& events);
  void ToOutside();
  // A whole header line has gone by outside a frame.
  void OutsideLine(Events& events);
  // The scan of a frame whose structure makes no sense: any FF D9 ends it.
  bool raw_ = false;

  State state_ = State::kOutside;
  // Outside a frame.
  bool outside_ff_ = false;  // the last byte was 0xFF
  char line_[48] = {};       // the current header line, cut at its size
  std::size_t line_length_ = 0;
  bool header_seen_ = false;       // a header line since the last boundary
  std::int64_t part_length_ = -1;  // announced length of the coming part
  bool lengths_unreliable_ = false;
  // Inside a frame.
  FoundFrame frame_;
  std::int64_t remaining_ = 0;  // bytes left of a length body or segment
  std::uint32_t tail_ = 0;      // the last four bytes of a length body
  int body_checked_ = 0;        // leading bytes of a length body checked
  std::uint8_t length_high_ = 0;
  // Arrival of the chunk being fed, for frames that begin in it.
  std::int64_t now_us_ = 0;
  std::int64_t wall_ms_ = 0;
  std::uint32_t session_ = 0;
  bool after_sos_ = false;  // the segment being skipped is a scan header
};

}  // namespace acquisition
