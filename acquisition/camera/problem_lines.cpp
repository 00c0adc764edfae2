#include "acquisition/camera/problem_lines.h"

#include <string>

#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr const char* kFrameWithoutEnd =
    "Camera %d: WARNING: a frame without end marker was dropped after %lld bytes";
constexpr const char* kLengthMismatch =
    "Camera %d: WARNING: a part's Content-Length does not end on the image's end marker (%lld "
    "bytes): "
    "frame dropped, frames are now found by their markers";
constexpr const char* kFrameTooBig =
    "Camera %d: WARNING: a frame of %lld bytes is larger than an image may be (%d bytes): dropped";
constexpr const char* kBadLength =
    "Camera %d: WARNING: a part header holds an unusable Content-Length: the frame is found by its "
    "markers";
constexpr const char* kClockStepped =
    "Camera %d: the camera's clock stepped by %lld ms: capture moments follow it";
constexpr const char* kProblemsUnlogged = " (%lld more like it since the last such line)";

std::string ProblemText(StreamProblem problem, int camera, long long detail, std::int64_t limit) {
  switch (problem) {
    case StreamProblem::kNoEndMarker:
      return platform::StringPrintf(kFrameWithoutEnd, camera, detail);
    case StreamProblem::kLengthMismatch:
      return platform::StringPrintf(kLengthMismatch, camera, detail);
    case StreamProblem::kTooBig:
      return platform::StringPrintf(kFrameTooBig, camera, detail, static_cast<int>(limit));
    case StreamProblem::kClockStep:
      return platform::StringPrintf(kClockStepped, camera, detail);
    default:
      return platform::StringPrintf(kBadLength, camera);
  }
}

}  // namespace

void ProblemLines::Report(StreamProblem problem, std::int64_t detail, std::int64_t limit) {
  const int k = static_cast<int>(problem);
  const std::int64_t now = clock_.MonotonicMicros();
  if (logged_[k] && now - logged_us_[k] < kIntervalUs) {
    ++unlogged_[k];
    return;
  }
  std::string text =
      ProblemText(problem, log_.camera_number(), static_cast<long long>(detail), limit);
  if (unlogged_[k] > 0)
    text += platform::StringPrintf(kProblemsUnlogged, static_cast<long long>(unlogged_[k]));
  logged_[k] = true;
  logged_us_[k] = now;
  unlogged_[k] = 0;
  log_.Log(text, core::ReportLevel::kInfo);
}

}  // namespace acquisition
