#pragma once
// ImageReader: the images of one job from one camera, as JPEG bytes.
//
// An MJPEG camera's frames are JPEG images already and are read back as they
// are. An RTSP camera's frames are compressed video: the reader asks the
// camera's DecodingService, which all jobs of the camera share, for the
// JPEG of each wanted frame. The reader is one of the service's users from
// its construction to its end, so the decoder stays open between the images
// of a series.
//
// Threads: one reader belongs to one job's worker; the camera's reads and
// the decoding service are safe from any thread.
#include <cstdint>

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
  Camera& camera_;
  const bool rtsp_;
};

}  // namespace acquisition
