#pragma once
// When each frame of an RTSP camera really left the simulator, by frame
// number: the wall-clock moment (CLOCK_REALTIME, microseconds) its first
// RTP packet was written to a client's connection, or, for a client over
// UDP, handed to the network sink. A frame's moment is the first client's;
// the camera's last kFrames frames are kept.
//
// Owns the frames' moments and the recent RTP packets' frame numbers, both
// guarded by mu_. Called on GStreamer's streaming threads (Handed), the
// relay threads (Written) and the control thread (Text).
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace sim {

class SentFrames {
 public:
  static constexpr std::size_t kFrames = 4096;
  // RTP timestamps remembered to tell a relayed packet's frame: far more
  // than a relay lags behind the sink.
  static constexpr std::size_t kPackets = 256;

  // Frame `n`'s first RTP packet, of source `ssrc` and time `rtp_time`,
  // left rtpbin at `us`.
  void Handed(std::uint64_t n, std::uint32_t ssrc, std::uint32_t rtp_time, std::int64_t us);
  // An RTP packet of that source and time was written to a client at `us`.
  void Written(std::uint32_t ssrc, std::uint32_t rtp_time, std::int64_t us);
  // "N=US" for every frame kept from `from` to `to`, blank-separated.
  std::string Text(std::uint64_t from, std::uint64_t to) const;

 private:
  struct Moment {
    std::int64_t us = 0;
    bool written = false;  // by a relay: the handed moment gave way
  };
  struct Packet {
    std::uint32_t ssrc = 0, rtp_time = 0;
    std::uint64_t n = 0;
  };
  mutable std::mutex mu_;
  std::map<std::uint64_t, Moment> frames_;  // guarded by mu_
  std::deque<Packet> packets_;              // guarded by mu_
};

}  // namespace sim
