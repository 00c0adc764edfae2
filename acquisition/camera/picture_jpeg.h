#pragma once
// PictureJpeg: a decoded picture as one JPEG image of at most a given size.
//
// libswscale turns any picture libavcodec gives (8 or 10 bits, limited or
// full range, BT.601 or BT.709, 4:2:0, 4:2:2, 4:4:4 or grey) into 8-bit RGB
// with the picture's own matrix and range, rounded; libjpeg-turbo writes it
// as a baseline JPEG (BT.601, full range) with the picture's chroma
// subsampling. A picture whose JPEG at quality 80 does not fit is written at
// half its width and height, then a quarter, and so on.
//
// Threads: one object is used by one thread at a time (the decoding walk of
// a camera); it owns its TurboJPEG handle, its scaler and its RGB buffer.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
struct AVFrame;
struct SwsContext;
}

namespace acquisition {

inline constexpr int kJpegQuality = 80;
// The largest picture a decoder makes.
inline constexpr int kMaxPictureWidth = 8192;
inline constexpr int kMaxPictureHeight = 4320;

class PictureJpeg {
 public:
  enum class Failure { kNone, kPixels, kJpeg, kTooBig, kNoMemory };
  struct Outcome {
    Failure failure = Failure::kNone;
    std::string detail;  // the pixel format's name, or libjpeg-turbo's text
    int width = 0;       // the size written
    int height = 0;
  };

  PictureJpeg() = default;
  ~PictureJpeg();
  PictureJpeg(const PictureJpeg&) = delete;
  PictureJpeg& operator=(const PictureJpeg&) = delete;

  // `picture` as JPEG into `out`, which ends smaller than `limit` bytes.
  Outcome Write(const AVFrame& picture, int limit, std::vector<std::uint8_t>* out);
  // Gives back the RGB buffer and the scaler (a 4K picture's is 25 MB).
  void Release();

 private:
  // `picture` as RGB (or grey) of `width` x `height` into `rgb_`.
  bool Convert(const AVFrame& picture, int width, int height, bool gray);

  void* jpeg_ = nullptr;  // tjhandle
  SwsContext* scaler_ = nullptr;
  std::vector<std::uint8_t> rgb_;
};

}  // namespace acquisition
