#pragma once
// ImageReader: the images of one job from one camera, as JPEG bytes.
//
// An MJPEG camera's frames are JPEG images already and are read back as they
// are. An RTSP camera's frames are compressed video: a wanted frame is decoded
// from the key frame at or before it, forward, and the picture is written as a
// JPEG at the camera's resolution. One reader keeps its decoder between
// images, so a series of wanted frames going forward (a pre-record, then the
// live images) decodes each frame once.
//
// Threads: one reader belongs to one job's worker; the camera's reads it
// makes are the ring store's, safe from any thread.
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/camera/camera.h"

namespace acquisition {

class ImageReader {
 public:
  explicit ImageReader(Camera& camera);
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // Puts the frame's image into `buffer` (at least 800000 bytes) as one whole
  // JPEG image: its size, or -1 after a line in the camera log.
  int Read(const FrameRef& frame, std::uint8_t* buffer);

 private:
  struct Decoder;

  // Each step says what went wrong, or "" (the caller logs it once).
  // A decoder, opened with the frame's codec parameters.
  std::string Prepare(const FrameRef& frame);
  std::string OpenCodec(const FrameRef& frame);
  // The frame's picture, decoded forward from its key frame `key` (or from
  // where the decoder stands).
  std::string Decode(const FrameRef& frame, const FrameRef& key);
  // Gives the decoder one compressed frame.
  std::string Feed(const FrameRef& next);
  // The picture as JPEG into `buffer`, its size into `size`.
  std::string Compress(const FrameRef& frame, std::uint8_t* buffer, int* size);

  Camera& camera_;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace acquisition
