#pragma once
// RtspSource: a camera's H.264 or H.265 stream over RTSP, received with
// FFmpeg's libavformat (RTP interleaved over the RTSP connection, or over
// UDP), its video track alone. Nothing is decoded: the pieces the parser
// hands over go to an `AccessUnitAssembler`, and each whole frame it gives
// back goes into the ring with its capture moment, whether decoding can
// start at it, and the number of the codec parameters it decodes with. A
// probe connects and waits for the first video packet instead.
//
// A camera's host name is resolved first, within the stall time-out
// (`HostLookup`), and libavformat is handed the address. libavformat may
// open only RTSP, RTP, UDP and TCP, and only the RTSP demuxer; a redirect
// to another host or port, or a sixth one, is refused before anything is
// sent there: libavformat's log (one process-wide callback, `AvLog`) tells
// the connection of this thread (a thread-local pointer, set while
// `Transfer` runs) where a redirect points, and the callback takes TCP off
// that context's protocols before it connects. The same log tells RTP
// packets the camera's sequence numbers skipped, and the lines of every
// reply: a camera that offers Basic alone, where Basic may not have the
// password, is left before the answer is written (the interrupt callback
// refuses every transfer from then on).
//
// Threads: the camera's streaming thread alone; libavformat's interrupt and
// log callbacks run inside `Transfer` on that thread.
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/camera/access_unit.h"
#include "acquisition/camera/host_lookup.h"
#include "acquisition/camera/stream_loss.h"
#include "acquisition/camera/stream_source.h"

namespace acquisition {

class RtspSource final : private AccessUnitAssembler::Sink {
 public:
  explicit RtspSource(const SourceParts& parts) : parts_(parts) {}
  RtspSource(const RtspSource&) = delete;
  RtspSource& operator=(const RtspSource&) = delete;

  // One connection to `target`: records its frames until it ends or nobody
  // wants the stream, or, for a probe, waits for its first video packet.
  // Why it failed, or kind kNone when nothing went wrong.
  StreamLoss Transfer(const StreamTarget& target, bool probe);
  // How the last connection carries RTP: "TCP" or "UDP".
  const char* transport() const { return transport_; }

 private:
  struct Connection;

  // The address libavformat is handed: the camera's host name resolved.
  StreamLoss Locate(Connection& c, const std::string& url, std::string* located);
  // Opens over TCP or UDP as the target says (auto: TCP, then UDP when the
  // camera refuses TCP).
  StreamLoss OpenAny(Connection& c, const std::string& url, RtspTransport transport);
  StreamLoss Open(Connection& c, const std::string& url, const char* transport);
  StreamLoss OpenLoss(const Connection& c, int rc) const;
  StreamLoss Describe(Connection& c);
  StreamLoss Probe(Connection& c);
  StreamLoss Record(Connection& c);
  // Reads up to the next packet of the video stream: 0, or FFmpeg's error.
  int NextVideoPacket(Connection& c);
  // Why reading failed with FFmpeg's `rc`.
  StreamLoss ReadLoss(const Connection& c, int rc) const;
  // Counts the RTP packets the camera skipped; a line at most once a minute.
  void CountLost(Connection& c);
  void OnUnit(const std::uint8_t* data, std::size_t size, const FoundFrame& frame) override;
  void OnTooBig(std::int64_t size) override;
  void OnClockStep(std::int64_t step_us) override;

  SourceParts parts_;
  HostLookup lookup_;
  std::string last_codec_name_;  // of the last connection
  const char* transport_ = "TCP";
  // The connection running now: when it was set up, and whether its first
  // key frame was logged.
  std::int64_t opened_us_ = 0;
  bool first_key_logged_ = false;
  // The connection's codec while its picture size is still unknown (a
  // description without one): the first key frame's parameter sets tell it.
  std::shared_ptr<const VideoCodec> size_unknown_;
  // RTP packets lost since the last line about them, and when it was.
  std::int64_t lost_unlogged_ = 0;
  std::int64_t loss_line_us_ = 0;
  bool loss_logged_ = false;
};

}  // namespace acquisition
