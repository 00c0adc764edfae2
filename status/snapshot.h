#pragma once
// Snapshots: "GET /cameras/<n>/snapshot.jpg", a camera's newest whole frame
// as JPEG, for the operator's page.
//
// An MJPEG camera's newest indexed frame is read back from its ring as it
// is, at every request, and checked to be one whole JPEG image: a read of
// tens of kilobytes. An RTSP camera's newest frame is decoded, from the key
// frame at or before it, by the camera's snapshot DecodingService (a walk of
// its own: a snapshot never moves a job's decoder) and compressed at the
// camera's size; that costs a group of pictures' decoding, so the answer is
// kept per camera with the monotonic moment it was made, and every request
// within kSnapshotKeepUs of that moment gets the kept bytes. A request that
// finds its camera's decode running waits for its answer instead of
// starting one. At most kSnapshotDecodesMax decodes run at once, each with
// a place in the process's DecoderBudget ("MaxDecoders", which the jobs
// share) taken without waiting: a request that finds no place is answered
// 503 at once. So a flood of requests decodes at most that much at once,
// and holds at most the status port's 4 workers and 64 connections. An
// answer older than kSnapshotDropUs is dropped when another is kept, so the
// memory follows the cameras being looked at.
//
// Threads: the status port's workers call Answer. `lock_` guards the kept
// answers, the decode running for each camera and the count of decodes; it
// is a leaf (the ring is read and the decoding done without it).
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "acquisition/camera/camera.h"
#include "core/camera_identity.h"
#include "platform/clock.h"
#include "platform/mutex.h"

namespace status {

class HttpHandlers;

inline constexpr int kSnapshotDecodesMax = 2;
inline constexpr std::int64_t kSnapshotKeepUs = platform::kMicrosPerSecond;
inline constexpr std::int64_t kSnapshotDropUs = 10 * platform::kMicrosPerSecond;
// A request waits this long at most for its camera's decode to end.
inline constexpr std::int64_t kSnapshotWaitUs = 30 * platform::kMicrosPerSecond;

// One request's answer: 200 with the JPEG, or another status with a line
// that says why.
struct SnapshotAnswer {
  int status = 200;
  std::shared_ptr<const std::string> jpeg;
  std::string text;
};

class Snapshots {
 public:
  // Both live as long as the process.
  Snapshots(acquisition::CameraTable& cameras, platform::Clock& clock);
  Snapshots(const Snapshots&) = delete;
  Snapshots& operator=(const Snapshots&) = delete;

  // The answer for the camera number written `number` in the path: 400 for
  // anything but 1 to 159 in digits without a leading zero, 404 for a
  // camera not configured or without a frame, 503 when no decode may start.
  SnapshotAnswer Answer(std::string_view number);

 private:
  struct Kept {
    SnapshotAnswer answer;
    std::int64_t made_us = 0;
    bool made = false;
    bool decoding = false;
  };

  // The newest frame of an MJPEG camera, read back as it is.
  static SnapshotAnswer Stored(acquisition::Camera& camera, const acquisition::FrameRef& newest);
  // The newest frame of an RTSP camera: the kept answer, the answer of the
  // decode running, or a decode of its own.
  SnapshotAnswer Decoded(acquisition::Camera& camera, int n);
  // Waits while camera `n`'s decode runs; false when it outlasts the wait.
  bool AwaitDecode(int n) REQUIRES(lock_);
  // Decodes and compresses the newest frame then (a decode place is held).
  SnapshotAnswer Decode(acquisition::Camera& camera, int n);
  // Keeps camera `n`'s new answer, drops the stale ones, ends its decode.
  void Keep(int n, const SnapshotAnswer& answer) REQUIRES(lock_);

  acquisition::CameraTable& cameras_;
  platform::Clock& clock_;

  platform::Mutex lock_;
  platform::CondVar decoded_;  // a decode ended; under lock_
  std::array<Kept, core::kCameraSlots> kept_ GUARDED_BY(lock_);
  int decodes_ GUARDED_BY(lock_) = 0;
};

// Registers "/cameras/<n>/snapshot.jpg" on `server`, answered by Snapshots
// that live until the process ends (image/jpeg, or a line of text; never
// kept by the client). False when there is no memory for them.
bool AddSnapshotRoute(HttpHandlers& server, acquisition::CameraTable& cameras,
                      platform::Clock& clock);

}  // namespace status
