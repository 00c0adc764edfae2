#pragma once
// The frames of an H.264 or H.265 stream, told apart by their own bytes, and
// the moments they were captured. Plain code without FFmpeg: the RTSP
// source hands each piece the parser gives it to an `AccessUnitAssembler`
// and stores the whole frames it gets back.
//
// Threads: one assembler per connection, on the streaming thread.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "acquisition/camera/frame_finder.h"

namespace acquisition {

// What a piece of an H.264 or H.265 stream (Annex B: NAL units behind start
// codes) holds of a picture: the first slice of one (it begins a frame),
// only later slices (it continues one), or no slice at all (parameter sets,
// messages: they go with the picture after them).
enum class PieceKind { kBeginsPicture, kContinuesPicture, kNoPicture };
PieceKind ClassifyPiece(const std::uint8_t* data, std::size_t size, bool hevc);

// Turns the presentation times of a connection's frames into the monotonic
// moments they were captured. The moment a frame comes out of the demuxer
// says little: TCP delivers in bursts, and the parser hands a frame over
// only once it sees where it ends (the next frame beginning to arrive, a
// frame period later, unless the frame came in several pieces, the first of
// which it hands over as soon as the second begins). The camera's own clock
// spaces the frames exactly. The clock is anchored at the earliest arrival
// seen for a given presentation time (so the smallest delay), follows a
// camera clock slower than ours by up to 1 ms a second, and follows a step
// of the camera's clock: at once when its times step forward (the frames
// seem to come early), and when they step back by 0.2 s or more (the frames
// seem late) once they have been steadily late (within 0.1 s of each other)
// for 2 s; a jump of more than 5 s either way is a new clock at once.
//
// Frames with B-frames come in decoding order, so their presentation times
// do not grow from frame to frame: each frame's moment is that of its own
// picture, and the moments of consecutive frames may go back. A frame whose
// time lies up to 5 frame periods before that of the picture before it is
// such a B-frame: it is dated, but neither anchors the clock nor counts as
// late (its delay is the encoder's reordering).
class CaptureClock {
 public:
  // `pts_us`: the frame's presentation time (any origin); `arrival_us`: when
  // its first piece came out of the demuxer; `late`: whether that was a frame
  // period after it began to arrive (a frame in one piece). A moment never
  // lies ahead of the arrival.
  std::int64_t Moment(std::int64_t pts_us, std::int64_t arrival_us, bool late);
  // A frame before the first, dated by the caller: its time tells the
  // spacing of the frames from the first on.
  void Prime(std::int64_t pts_us) {
    primed_ = true;
    last_pts_ = pts_us;
  }
  // How far the anchor moved when the clock last followed a step of the
  // camera's clock (0: none since the last call).
  std::int64_t TakeStep() {
    const std::int64_t step = step_us_;
    step_us_ = 0;
    return step;
  }

  static constexpr std::int64_t kStepUs = 200000;         // smaller steps are delay
  static constexpr std::int64_t kStepLastingUs = 2000000;  // a late step is believed after this
  static constexpr std::int64_t kJumpUs = 5000000;         // a new clock at once

 private:
  void Reanchor(std::int64_t offset);

  bool started_ = false;
  bool primed_ = false;
  std::int64_t anchor_ = 0;  // arrival less presentation time, at its smallest
  std::int64_t last_pts_ = 0;
  std::int64_t top_pts_ = 0;  // of the last picture not reordered
  std::int64_t last_arrival_ = 0;
  std::int64_t first_arrival_us_ = 0;
  std::int64_t period_ = 0;  // the smallest spacing of two pictures seen
  bool anchor_late_ = false;  // the anchor came from a frame dated a period back
  // Frames steadily late by a step or more since `late_since_` (while
  // `late_`), and the smallest and largest of their offsets.
  bool late_ = false;
  std::int64_t late_since_ = 0;
  std::int64_t late_offset_ = 0;
  std::int64_t late_top_ = 0;
  std::int64_t step_us_ = 0;
};

inline constexpr std::int64_t kNoTime = INT64_MIN;

// One piece of a connection's stream as the parser hands it over.
struct StreamPiece {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::int64_t pts_us = kNoTime;  // its presentation time, if it has one
  bool key = false;               // the parser's key-frame flag
  std::int64_t arrival_us = 0;    // when it came out of the parser
  std::uint16_t codec = 0;        // the parameters a frame it begins decodes with
  std::uint32_t session = 0;      // the session a frame it begins belongs to
};

// Joins the pieces of a connection into frames (access units). The parser
// may hand one frame over in several pieces (a slice each, or its parameter
// sets apart) and gives the first piece of a connection no time; a decoder
// wants the whole frame in one piece. A piece holding the first slice of a
// picture begins a frame, together with the parameter sets and messages
// that came just before it; the other slices of the picture join it. A
// frame is handed on once the next one begins, dated by `CaptureClock`;
// slices without the start of their picture (a connection's first piece)
// are dropped, and so are the frames before the first key frame (they
// cannot be decoded). A frame larger than `kRtspFrameLimit` is dropped as
// soon as it grows past it, and so are the frames after it up to the next
// key frame (they refer to it): every buffer the assembler fills (the
// frame, the parameter sets before it, the held first frame) stays within
// that limit, whatever the camera sends.
class AccessUnitAssembler {
 public:
  class Sink {
   public:
    // A whole frame; `frame.begin_us` is its capture moment, `start` and
    // `end` are not set.
    virtual void OnUnit(const std::uint8_t* data, std::size_t size, const FoundFrame& frame) = 0;
    virtual void OnTooBig(std::int64_t size) = 0;
    // The capture clock followed a step of the camera's clock by `step_us`.
    virtual void OnClockStep(std::int64_t step_us) { (void)step_us; }

   protected:
    ~Sink() = default;
  };

  explicit AccessUnitAssembler(bool hevc) : hevc_(hevc) {}

  void Take(const StreamPiece& piece, Sink& sink);
  // Hands on the frame being gathered: the stream is switched off between
  // two pieces, so it is whole. (A frame cut by a lost connection may lack
  // its last slices: the assembler is dropped without Finish.)
  void Finish(Sink& sink) { Store(sink); }
  // Drops the frame being gathered (packets of it were lost) and the frames
  // after it up to the next key frame.
  void Drop() {
    open_ = false;
    keyed_ = false;
  }
  // True once a key frame was handed on (and no frame dropped since).
  bool keyed() const { return keyed_; }

 private:
  void Begin(const StreamPiece& piece);
  void Store(Sink& sink);
  // Drops what is gathered: `size` bytes would pass the limit.
  void TooBig(std::size_t size, Sink& sink);

  const bool hevc_;
  CaptureClock clock_;
  bool keyed_ = false;
  // The frame being gathered.
  std::vector<std::uint8_t> unit_;
  FoundFrame unit_frame_;
  std::int64_t unit_pts_ = kNoTime;
  std::int64_t unit_arrival_us_ = 0;  // when its first piece came out
  int unit_pieces_ = 0;
  bool open_ = false;
  // Parameter sets and messages waiting for the picture after them.
  std::vector<std::uint8_t> lead_;
  bool lead_key_ = false;
  std::int64_t lead_arrival_us_ = 0;
  // The first frame of a connection comes without a time: it is held until
  // the next one tells it (the demuxer counts times from the first frame).
  std::vector<std::uint8_t> held_;
  FoundFrame held_frame_;
  bool holding_ = false;
  bool dated_any_ = false;
};

}  // namespace acquisition
