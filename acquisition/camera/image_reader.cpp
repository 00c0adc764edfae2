#include "acquisition/camera/image_reader.h"

namespace acquisition {

ImageReader::ImageReader(Camera& camera)
    : camera_(camera), rtsp_(camera.stream_kind() == StreamKind::kRtsp) {
  if (rtsp_) camera_.decoding().Attach();
}

ImageReader::~ImageReader() {
  if (rtsp_) camera_.decoding().Detach();
}

int ImageReader::Read(const FrameRef& frame, std::uint8_t* buffer) {
  if (!rtsp_) return camera_.GetImage(frame, buffer);
  return camera_.decoding().Jpeg(frame, buffer);
}

}  // namespace acquisition
