#pragma once
// Builds the frames the simulated cameras send: small grayscale baseline
// JPEGs whose comment segment says which camera sent which frame when, padded
// to an exact byte size.
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Every frame shows the camera id and the sequence number as big digits.
inline constexpr int kFrameWidth = 256;
inline constexpr int kFrameHeight = 96;

// A requested frame size must lie in this range; 0 asks for the natural
// (unpadded) size, which is always below kMinFrameSize.
inline constexpr std::size_t kMinFrameSize = 1024;
inline constexpr std::size_t kMaxFrameSize = 16 * 1024 * 1024;

// The comment of an EXIF thumbnail.
inline constexpr const char* kThumbnailComment = "ocelam-sim thumbnail";

// What a frame's comment carries.
struct FrameStamp {
  int camera = 0;
  std::uint64_t seq = 0;
  std::int64_t time_us = 0;  // microseconds since the epoch (CLOCK_REALTIME)
};

// The comment text: "ocelam-sim cam=3 seq=42 t=1733412345123456".
std::string FrameComment(const FrameStamp& stamp);

// Replaces `out` with one complete JPEG (SOI .. EOI) for `stamp`. With `size`
// 0 the frame has its natural size; otherwise it is padded to exactly `size`
// bytes (a size below the natural one gives the natural size). The padding
// never contains 0xFF, so SOI and EOI are the frame's only 0xFF 0xD8 and
// 0xFF 0xD9 outside the thumbnail. With `exif` an APP1 "Exif" segment right
// after SOI holds a complete little JPEG (its own SOI .. EOI, commented
// kThumbnailComment), as cameras embed a preview; it counts toward `size`.
// Reuses the capacity of `out`.
void BuildFrame(const FrameStamp& stamp, std::size_t size, bool exif, std::string* out);

// Microseconds since the epoch, CLOCK_REALTIME.
std::int64_t NowRealtimeUs();

}  // namespace sim
