#pragma once
// Small pieces both the RTSP receiver and the image reader need of FFmpeg.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <string>

namespace acquisition {

// FFmpeg's text for an error code.
inline std::string AvErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

struct AvPacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace acquisition
