#pragma once
// RtspSource: a camera's H.264 or H.265 stream over RTSP, received with
// FFmpeg's libavformat (RTP interleaved over the RTSP connection). Nothing is
// decoded: the pieces the parser hands over go to an `AccessUnitAssembler`,
// and each whole frame it gives back goes into the ring with its capture
// moment, whether decoding can start at it, and the number of the codec
// parameters it decodes with. A probe connects and waits for the first key
// frame instead.
//
// Threads: the camera's streaming thread alone; libavformat's interrupt
// callback runs inside `Transfer` on that thread.
#include <cstdint>
#include <string>

#include "acquisition/camera/access_unit.h"
#include "acquisition/camera/stream_loss.h"
#include "acquisition/camera/stream_source.h"

namespace acquisition {

class RtspSource final : private AccessUnitAssembler::Sink {
 public:
  explicit RtspSource(const SourceParts& parts) : parts_(parts) {}
  RtspSource(const RtspSource&) = delete;
  RtspSource& operator=(const RtspSource&) = delete;

  // One connection to `target`: records its frames until it ends or nobody
  // wants the stream, or, for a probe, waits for its first key frame. Why it
  // failed, or kind kNone when nothing went wrong.
  StreamLoss Transfer(const StreamTarget& target, bool probe);

 private:
  struct Connection;

  StreamLoss Open(Connection& c, const std::string& url);
  StreamLoss Describe(Connection& c);
  StreamLoss Probe(Connection& c);
  StreamLoss Record(Connection& c);
  // Reads up to the next packet of the video stream: 0, or FFmpeg's error.
  int NextVideoPacket(Connection& c);
  // Why reading failed with FFmpeg's `rc`.
  StreamLoss ReadLoss(const Connection& c, int rc) const;
  void OnUnit(const std::uint8_t* data, std::size_t size, const FoundFrame& frame) override;
  void OnTooBig(std::int64_t size) override;

  SourceParts parts_;
  // Moments never go back, across connections too.
  std::int64_t last_moment_us_ = 0;
  std::string last_codec_name_;  // of the last connection
};

}  // namespace acquisition
