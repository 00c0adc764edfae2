#pragma once
// When each frame of an RTSP camera was taken: the wall-clock moment
// (CLOCK_REALTIME, microseconds) the feeder handed its picture to the
// encoder, by frame number. Under load this lies after the frame's due time
// `t0 + n / fps` (the feeder wakes late); it is the moment a camera's
// presentation time stands for, so a test compares a saved image with it.
// A frame's moment is the first client's; the camera's last kFrames frames
// are kept.
//
// Guarded by mu_; called on the feeder threads (Taken) and the control
// thread (Text).
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace sim {

class TakenFrames {
 public:
  static constexpr std::size_t kFrames = 4096;

  // Frame `n` went into the encoder at `us`.
  void Taken(std::uint64_t n, std::int64_t us);
  // "N=US" for every frame kept from `from` to `to`, blank-separated.
  std::string Text(std::uint64_t from, std::uint64_t to) const;

 private:
  mutable std::mutex mu_;
  std::map<std::uint64_t, std::int64_t> frames_;  // guarded by mu_
};

}  // namespace sim
