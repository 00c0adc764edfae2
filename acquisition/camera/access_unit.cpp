#include "acquisition/camera/access_unit.h"

#include <algorithm>
#include <cstdlib>

#include "acquisition/camera/ring_store.h"

namespace acquisition {

namespace {
// Spacings above this are a pause of the camera, not its frame period.
constexpr std::int64_t kMaxPeriodUs = 2000000;
// Cameras put at most 4 B-frames between reference pictures: a picture up
// to 5 periods before the one before it is a B-frame; further back, the
// camera's clock stepped.
constexpr std::int64_t kMaxReorderPictures = 5;
// How far the delays of frames late by a step may spread: more is delay
// that piles up, not a step of the camera's clock.
constexpr std::int64_t kSteadyUs = 100000;
constexpr std::size_t kLimit = static_cast<std::size_t>(kRtspFrameLimit);
}  // namespace

PieceKind ClassifyPiece(const std::uint8_t* data, std::size_t size, bool hevc) {
  PieceKind kind = PieceKind::kNoPicture;
  // Each NAL unit follows 00 00 01; its header is one byte (H.264) or two
  // (H.265). A slice's header begins with the flag (H.265) or the number
  // (H.264, a ue(v) code whose 0 is the single bit 1) saying whether it is
  // the first of its picture: the top bit of the byte behind the header.
  for (std::size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const std::size_t at = i + 3;
    const std::size_t header = hevc ? 2 : 1;
    if (at + header >= size) break;
    const int type = hevc ? (data[at] >> 1) & 0x3F : data[at] & 0x1F;
    const bool slice = hevc ? type < 32 : type >= 1 && type <= 5;
    if (slice) {
      if (data[at + header] & 0x80) return PieceKind::kBeginsPicture;
      kind = PieceKind::kContinuesPicture;
    }
    i = at;
  }
  return kind;
}

std::int64_t CaptureClock::Moment(std::int64_t pts_us, std::int64_t arrival_us, bool late) {
  if (started_ || primed_) {
    // B-frames come out of order: the smallest spacing is the frame period.
    const std::int64_t spacing = std::abs(pts_us - last_pts_);
    if (spacing > 0 && spacing <= kMaxPeriodUs && (period_ == 0 || spacing < period_)) {
      // An anchor taken from a late frame with the larger period put its
      // beginning too early by the difference.
      if (anchor_late_ && period_ != 0) anchor_ += period_ - spacing;
      period_ = spacing;
    }
  }
  // When the frame began to arrive.
  const std::int64_t began = late ? arrival_us - period_ : arrival_us;
  const std::int64_t offset = began - pts_us;
  // A B-frame comes after a picture it precedes: its delay is the encoder's
  // reordering, neither the network's nor a step of the camera's clock.
  const bool reordered = started_ && pts_us < top_pts_ &&
                         top_pts_ - pts_us <= kMaxReorderPictures * period_ &&
                         std::abs(offset - anchor_) <= kJumpUs;
  last_pts_ = pts_us;
  if (reordered) return std::min(anchor_ + pts_us, arrival_us);
  top_pts_ = pts_us;
  if (!started_) first_arrival_us_ = arrival_us;
  // The first 2 s settle the period and the smallest delay: no step is told.
  const bool settled = arrival_us - first_arrival_us_ >= kStepLastingUs;
  if (!started_ || std::abs(offset - anchor_) > kJumpUs) {
    if (started_ && settled) step_us_ = offset - anchor_;
    Reanchor(offset);
    anchor_late_ = late;
  } else if (offset < anchor_) {
    // Earlier than ever: less delay, or the camera's clock stepped forward.
    if (anchor_ - offset >= kStepUs && settled) step_us_ = offset - anchor_;
    Reanchor(offset);
    anchor_late_ = late;
  } else if (offset - anchor_ >= kStepUs) {
    // Late by a step: delay on the way, or the camera's clock stepped back.
    // A step keeps the frames steadily late; delay that piles up and drains
    // does not, and starts the 2 s anew.
    if (!late_ || offset < late_offset_ - kSteadyUs || offset > late_top_ + kSteadyUs ||
        std::max(late_top_, offset) - std::min(late_offset_, offset) > kSteadyUs) {
      late_ = true;
      late_since_ = arrival_us;
      late_offset_ = late_top_ = offset;
    }
    late_offset_ = std::min(late_offset_, offset);
    late_top_ = std::max(late_top_, offset);
    if (arrival_us - late_since_ >= kStepLastingUs) {
      if (settled) step_us_ = late_offset_ - anchor_;
      Reanchor(late_offset_);
    }
  } else {
    late_ = false;
    anchor_ +=
        std::min(offset - anchor_, std::max<std::int64_t>(0, arrival_us - last_arrival_) / 1000);
  }
  last_arrival_ = arrival_us;
  return std::min(anchor_ + pts_us, arrival_us);
}

void CaptureClock::Reanchor(std::int64_t offset) {
  started_ = true;
  anchor_ = offset;
  late_ = false;
}

void AccessUnitAssembler::Take(const StreamPiece& piece, Sink& sink) {
  const std::uint8_t* data = piece.data;
  switch (ClassifyPiece(data, piece.size, hevc_)) {
    case PieceKind::kBeginsPicture:
      Store(sink);
      if (lead_.size() + piece.size > kLimit) {
        TooBig(lead_.size() + piece.size, sink);
        break;
      }
      Begin(piece);
      break;
    case PieceKind::kContinuesPicture:
      // Without the start of its picture it is of no use.
      if (!open_) break;
      if (unit_.size() + piece.size > kLimit) {
        // A camera that never ends its frame stops here, not at our memory's end.
        TooBig(unit_.size() + piece.size, sink);
        break;
      }
      unit_.insert(unit_.end(), data, data + piece.size);
      ++unit_pieces_;
      unit_frame_.key = unit_frame_.key || piece.key;
      if (unit_pts_ == kNoTime) unit_pts_ = piece.pts_us;
      break;
    case PieceKind::kNoPicture:
      if (lead_.size() + piece.size > kLimit) {
        TooBig(lead_.size() + piece.size, sink);
        break;
      }
      if (lead_.empty()) lead_arrival_us_ = piece.arrival_us;
      lead_.insert(lead_.end(), data, data + piece.size);
      lead_key_ = lead_key_ || piece.key;
      break;
  }
}

void AccessUnitAssembler::TooBig(std::size_t size, Sink& sink) {
  sink.OnTooBig(static_cast<std::int64_t>(size));
  open_ = false;
  unit_.clear();
  lead_.clear();
  lead_key_ = false;
  // The frames after it refer to it: nothing is stored up to the next key frame.
  keyed_ = false;
  holding_ = false;
  held_.clear();
}

void AccessUnitAssembler::Begin(const StreamPiece& piece) {
  unit_.assign(lead_.begin(), lead_.end());
  unit_.insert(unit_.end(), piece.data, piece.data + piece.size);
  unit_arrival_us_ = lead_.empty() ? piece.arrival_us : lead_arrival_us_;
  unit_pieces_ = lead_.empty() ? 1 : 2;
  unit_pts_ = piece.pts_us;
  unit_frame_ = FoundFrame{};
  unit_frame_.session = piece.session;
  unit_frame_.codec = piece.codec;
  unit_frame_.key = piece.key || lead_key_;
  open_ = true;
  lead_.clear();
  lead_key_ = false;
}

void AccessUnitAssembler::Store(Sink& sink) {
  if (!open_) return;
  open_ = false;
  if (!unit_frame_.key && !keyed_) return;
  keyed_ = true;
  if (unit_pts_ == kNoTime && !dated_any_ && !holding_) {
    held_.swap(unit_);
    held_frame_ = unit_frame_;
    holding_ = true;
    clock_.Prime(0);
    return;
  }
  // Another frame without a time is dated by its arrival.
  const std::int64_t pts = unit_pts_ == kNoTime ? 0 : unit_pts_;
  const std::int64_t moment = unit_pts_ == kNoTime
                                  ? unit_arrival_us_
                                  : clock_.Moment(pts, unit_arrival_us_, unit_pieces_ == 1);
  if (const std::int64_t step = clock_.TakeStep(); step != 0) sink.OnClockStep(step);
  if (holding_) {
    holding_ = false;
    held_frame_.begin_us = std::min(moment - pts, moment - 1);
    sink.OnUnit(held_.data(), held_.size(), held_frame_);
  }
  dated_any_ = true;
  unit_frame_.begin_us = moment;
  sink.OnUnit(unit_.data(), unit_.size(), unit_frame_);
}

}  // namespace acquisition
