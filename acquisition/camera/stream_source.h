#pragma once
// What the two kinds of stream source (mjpeg_source, rtsp_source) share: the
// camera's parts they feed, what they tell the camera back, and where they
// connect to.
#include <cstdint>
#include <string>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/camera_report.h"
#include "acquisition/camera/problem_lines.h"
#include "acquisition/camera/ring_store.h"
#include "acquisition/camera/sessions.h"
#include "core/metrics.h"
#include "platform/clock.h"

namespace acquisition {

// What a source tells the camera that owns it; called on the streaming
// thread (or a test feeding the source by hand).
class SourceEvents {
 public:
  // Frames of the stream reached the index.
  virtual void FramesIndexed(std::int64_t count) = 0;
  // A probe saw an image: the camera is alive.
  virtual void ProbeSawImage() = 0;
  // The source stopped a stream nobody wants any more.
  virtual void StreamingSwitchedOff() = 0;

 protected:
  ~SourceEvents() = default;
};

// The camera's parts a source works with; they outlive it.
struct SourceParts {
  platform::Clock& clock;
  const CameraLog& log;
  RingStore& ring;
  const StreamingSessions& sessions;
  ProblemLines& problems;
  core::CameraMetrics& counters;
  SourceEvents& events;
  CameraReport& report;
};

// How an RTSP camera's RTP is carried: TCP first, falling back to UDP when
// the camera refuses the TCP set-up (461, or 400 and other refusals that are
// not about credentials, access or the path); or only one of them.
enum class RtspTransport { kAuto, kTcp, kUdp };

// Where one transfer connects, fixed when the streaming thread starts.
struct StreamTarget {
  std::string url;  // with the credentials in it for RTSP
  std::string user;
  std::string password;
  bool allow_basic = false;  // "AllowBasicAuth": a Basic challenge may have the password
  int stall_timeout_s = 10;
  RtspTransport transport = RtspTransport::kAuto;
};

}  // namespace acquisition
