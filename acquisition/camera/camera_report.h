#pragma once
// CameraReport: what the operator's page shows of one camera beyond its
// counters (core::CameraMetrics): whether its last transfer or probe worked
// and, when not, the reason and the wall moment that state began; the kind
// of its video and the picture size of its frames; the stream bytes of its
// last 10 seconds, for the bitrate.
//
// Threads: the camera's streaming thread writes (Up, Down, SetVideo,
// CountBytes); any thread reads (Read), the status port's workers above all.
// Locks: `lock_` guards every field; it is a leaf (nothing is taken or
// written under it), held for a copy of a few values.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/mutex.h"

namespace acquisition {

class CameraReport {
 public:
  // Longest reason kept (device text, already escaped).
  static constexpr std::size_t kReasonMax = 200;
  // The bitrate is measured over this many seconds of samples, one a second.
  static constexpr int kBitrateSeconds = 10;

  enum class Link { kUnknown, kUp, kDown };

  struct View {
    Link link = Link::kUnknown;
    std::string reason;  // of the last failure ("" while up or unknown)
    std::int64_t since_wall_ms = 0;  // when `link` became what it is; 0: unknown
    const char* kind = "";           // "MJPEG", "H.264", "H.265" or "" (not known yet)
    int width = 0;                   // of the newest frame seen; 0: unknown
    int height = 0;
    std::int64_t bits_per_second = 0;  // over the last kBitrateSeconds
  };

  // The connection delivers (a frame, or a probe's image).
  void Up(std::int64_t wall_ms);
  // A transfer or probe failed for `reason` (escaped); `kind` is the
  // failure's kind: the state begins anew only when it changes.
  void Down(int kind, std::string_view reason, std::int64_t wall_ms);
  // The video's kind (a static text) and picture size; 0 leaves a size as it is.
  void SetVideo(const char* kind, int width, int height);
  // The stream's byte counter at the monotonic `now_us`: kept once a second.
  void CountBytes(std::int64_t now_us, std::int64_t total_bytes);

  View Read(std::int64_t now_us) const;

 private:
  struct Sample {
    std::int64_t at_us = 0;
    std::int64_t bytes = 0;
  };

  mutable platform::Mutex lock_;
  Link link_ GUARDED_BY(lock_) = Link::kUnknown;
  int down_kind_ GUARDED_BY(lock_) = 0;
  std::string reason_ GUARDED_BY(lock_);
  std::int64_t since_wall_ms_ GUARDED_BY(lock_) = 0;
  const char* kind_ GUARDED_BY(lock_) = "";
  int width_ GUARDED_BY(lock_) = 0;
  int height_ GUARDED_BY(lock_) = 0;
  // The last kBitrateSeconds + 1 samples, `next_` the slot written next.
  std::array<Sample, kBitrateSeconds + 1> samples_ GUARDED_BY(lock_){};
  std::size_t next_ GUARDED_BY(lock_) = 0;
};

// The picture size a JPEG image's frame header (SOF) gives, looked for in
// its first `size` bytes; false when it has none there.
bool JpegPictureSize(const std::uint8_t* data, std::size_t size, int* width, int* height);

}  // namespace acquisition
