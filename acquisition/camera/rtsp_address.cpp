#include "acquisition/camera/rtsp_address.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/strings.h"

namespace {

constexpr std::string_view kScheme = "rtsp://";
// A jump of the presentation times by more than this is a new clock, not
// delay: the camera restarted its counter.
constexpr std::int64_t kJumpUs = 5000000;
// Spacings above this are a pause of the camera, not its frame period.
constexpr std::int64_t kMaxPeriodUs = 2000000;

std::string PercentEncoded(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
      out += static_cast<char>(c);
    else
      out += platform::StringPrintf("%%%02X", c);
  }
  return out;
}

}  // namespace

bool IsRtspUri(std::string_view uri) {
  if (uri.size() < kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(uri[i])) != kScheme[i]) return false;
  return true;
}

std::string RtspAddress(const std::string& address, int port, const std::string& uri,
                        const std::string& user, const std::string& password) {
  std::string whole;
  if (IsRtspUri(uri)) {
    whole = uri;
  } else {
    whole = platform::StringPrintf("rtsp://%s:%d", address.c_str(), port);
    if (!uri.empty() && uri[0] != '/') whole += '/';
    whole += uri;
  }
  // The authority runs from behind the scheme to the first '/', '?' or '#';
  // credentials end at its last '@'.
  std::size_t from = kScheme.size();
  std::size_t end = whole.find_first_of("/?#", from);
  if (end == std::string::npos) end = whole.size();
  std::size_t at = whole.rfind('@', end == 0 ? 0 : end - 1);
  bool has_credentials = at != std::string::npos && at >= from && at < end;
  if (user.empty()) {
    if (has_credentials) whole.erase(from, at + 1 - from);
  } else if (!has_credentials) {
    whole.insert(from, PercentEncoded(user) + ":" + PercentEncoded(password) + "@");
  }
  return whole;
}

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
