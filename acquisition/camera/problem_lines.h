#pragma once
// ProblemLines: the camera log's lines about frames a stream gets wrong. A
// camera that gets it wrong in every frame must not flood its log: each kind
// of problem gets one line, then at most one a minute (of the camera's
// monotonic clock) with the count of those not logged.
//
// Threads: the streaming thread alone.
#include <cstdint>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/frame_finder.h"
#include "platform/clock.h"

namespace acquisition {

class ProblemLines {
 public:
  static constexpr std::int64_t kIntervalUs = 60 * platform::kMicrosPerSecond;

  ProblemLines(platform::Clock& clock, const CameraLog& log) : clock_(clock), log_(log) {}

  // `limit`: the largest frame kept, for kTooBig.
  void Report(StreamProblem problem, std::int64_t detail, std::int64_t limit = kMaxFrameBytes);

 private:
  static constexpr int kKinds = static_cast<int>(StreamProblem::kCount);

  platform::Clock& clock_;
  const CameraLog& log_;
  bool logged_[kKinds] = {};
  std::int64_t logged_us_[kKinds] = {};
  std::int64_t unlogged_[kKinds] = {};
};

}  // namespace acquisition
