#include "acquisition/camera/camera_report.h"

namespace acquisition {

namespace {
constexpr std::int64_t kSampleEveryUs = 1000000;
constexpr std::int64_t kWindowUs = CameraReport::kBitrateSeconds * kSampleEveryUs;
}  // namespace

void CameraReport::Up(std::int64_t wall_ms) {
  platform::MutexLock guard(lock_);
  if (link_ == Link::kUp) return;
  link_ = Link::kUp;
  down_kind_ = 0;
  reason_.clear();
  since_wall_ms_ = wall_ms;
}

void CameraReport::Down(int kind, std::string_view reason, std::int64_t wall_ms) {
  platform::MutexLock guard(lock_);
  reason_.assign(reason.substr(0, kReasonMax));
  if (link_ == Link::kDown && kind == down_kind_) return;
  link_ = Link::kDown;
  down_kind_ = kind;
  since_wall_ms_ = wall_ms;
}

void CameraReport::SetVideo(const char* kind, int width, int height) {
  platform::MutexLock guard(lock_);
  kind_ = kind;
  if (width > 0 && height > 0) width_ = width, height_ = height;
}

void CameraReport::CountBytes(std::int64_t now_us, std::int64_t total_bytes) {
  platform::MutexLock guard(lock_);
  const Sample& last = samples_[(next_ + samples_.size() - 1) % samples_.size()];
  if (last.at_us != 0 && now_us - last.at_us < kSampleEveryUs) return;
  samples_[next_] = {now_us, total_bytes};
  next_ = (next_ + 1) % samples_.size();
}

CameraReport::View CameraReport::Read(std::int64_t now_us) const {
  View view;
  platform::MutexLock guard(lock_);
  view.link = link_;
  view.reason = reason_;
  view.since_wall_ms = since_wall_ms_;
  view.kind = kind_;
  view.width = width_;
  view.height = height_;
  // The newest sample against the oldest one within the window; nothing
  // when the stream has been silent for the whole window.
  const Sample* newest = nullptr;
  const Sample* oldest = nullptr;
  for (const Sample& s : samples_) {
    if (s.at_us == 0 || now_us - s.at_us > kWindowUs) continue;
    if (!newest || s.at_us > newest->at_us) newest = &s;
    if (!oldest || s.at_us < oldest->at_us) oldest = &s;
  }
  if (newest && oldest && newest->at_us > oldest->at_us)
    view.bits_per_second =
        (newest->bytes - oldest->bytes) * 8 * kSampleEveryUs / (newest->at_us - oldest->at_us);
  return view;
}

bool JpegPictureSize(const std::uint8_t* data, std::size_t size, int* width, int* height) {
  // Segments after SOI: FF, marker, then a two-byte length (the markers
  // without one do not occur before the frame header).
  std::size_t at = 2;
  while (at + 9 <= size) {
    if (data[at] != 0xFF) return false;
    const std::uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(data[at + 2]) << 8 | data[at + 3];
    // SOF0..SOF15, less DHT (C4), JPG (C8) and DAC (CC).
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      *height = data[at + 5] << 8 | data[at + 6];
      *width = data[at + 7] << 8 | data[at + 8];
      return *width > 0 && *height > 0;
    }
    if (marker == 0xDA || length < 2) return false;  // the scan began first
    at += 2 + length;
  }
  return false;
}

}  // namespace acquisition
