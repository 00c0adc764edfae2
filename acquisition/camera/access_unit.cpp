#include "acquisition/camera/access_unit.h"

#include <algorithm>
#include <cstdlib>

namespace acquisition {

namespace {
// A jump of the presentation times by more than this is a new clock, not
// delay: the camera restarted its counter.
constexpr std::int64_t kJumpUs = 5000000;
// Spacings above this are a pause of the camera, not its frame period.
constexpr std::int64_t kMaxPeriodUs = 2000000;
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
    std::int64_t spacing = pts_us - last_pts_;
    if (spacing > 0 && spacing <= kMaxPeriodUs) period_ = spacing;
  }
  // When the frame began to arrive.
  const std::int64_t began = late ? arrival_us - period_ : arrival_us;
  const std::int64_t offset = began - pts_us;
  if (!started_ || std::abs(offset - anchor_) > kJumpUs) {
    started_ = true;
    anchor_ = offset;
  } else {
    if (offset < anchor_)
      anchor_ = offset;
    else
      anchor_ +=
          std::min(offset - anchor_, std::max<std::int64_t>(0, arrival_us - last_arrival_) / 1000);
  }
  last_pts_ = pts_us;
  last_arrival_ = arrival_us;
  std::int64_t moment = anchor_ + pts_us;
  moment = std::min(std::max(moment, last_moment_ + 1), arrival_us);
  last_moment_ = moment;
  return moment;
}

void AccessUnitAssembler::Take(const StreamPiece& piece, Sink& sink) {
  const std::uint8_t* data = piece.data;
  switch (ClassifyPiece(data, piece.size, hevc_)) {
    case PieceKind::kBeginsPicture:
      Store(sink);
      Begin(piece);
      break;
    case PieceKind::kContinuesPicture:
      // Without the start of its picture it is of no use.
      if (!open_) break;
      unit_.insert(unit_.end(), data, data + piece.size);
      ++unit_pieces_;
      unit_frame_.key = unit_frame_.key || piece.key;
      if (unit_pts_ == kNoTime) unit_pts_ = piece.pts_us;
      break;
    case PieceKind::kNoPicture:
      if (lead_.empty()) lead_arrival_us_ = piece.arrival_us;
      lead_.insert(lead_.end(), data, data + piece.size);
      lead_key_ = lead_key_ || piece.key;
      break;
  }
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
  if (unit_.size() > static_cast<std::size_t>(kMaxFrameBytes)) {
    sink.OnTooBig(static_cast<std::int64_t>(unit_.size()));
    keyed_ = false;
    holding_ = false;
    return;
  }
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
