// Feeds arbitrary bytes through the MJPEG frame finder the way the camera's
// libcurl write callback does: Reset when the transfer starts, then chunk
// after chunk with the stream position of each. The first byte chooses how
// the chunks are cut (from single bytes to large blocks) and the second
// seeds their sizes. Checks that every frame reported begins with FF D8 and
// ends with FF D9 inside the bytes given, that frames come in order without
// overlapping and within the size limit, and that frames and problems do
// not depend on where the chunks were cut.
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "acquisition/camera/frame_finder.h"
#include "fuzz/fuzz_support.h"

using fuzz_support::Check;

namespace {

struct Recorder : acquisition::MjpegFrameFinder::Events {
  std::vector<std::pair<std::int64_t, std::int64_t>> frames;
  std::vector<std::pair<acquisition::StreamProblem, std::int64_t>> problems;
  void OnFrame(const acquisition::FoundFrame& frame) override {
    frames.emplace_back(frame.start, frame.end);
  }
  void OnStreamProblem(acquisition::StreamProblem problem, std::int64_t detail) override {
    Check(problem < acquisition::StreamProblem::kCount);
    problems.emplace_back(problem, detail);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Largest chunk: 1, 17, 512 or 16384 bytes (libcurl's biggest write).
  static const std::size_t kLargest[] = {1, 17, 512, 16384};
  const std::size_t largest = kLargest[data[0] % 4];
  std::uint32_t cuts = data[1] | 1u;
  const std::uint8_t* bytes = data + 2;
  const std::size_t n = size - 2;

  Recorder whole;
  acquisition::MjpegFrameFinder one_shot;
  one_shot.Reset();
  one_shot.Feed(bytes, n, 0, 0, 0, 1, whole);
  one_shot.Reset();

  Recorder split;
  acquisition::MjpegFrameFinder chunked;
  chunked.Reset();
  std::size_t at = 0;
  std::int64_t now = 0;
  while (at < n) {
    cuts = cuts * 1103515245u + 12345u;
    std::size_t k = std::min(n - at, 1 + static_cast<std::size_t>(cuts >> 8) % largest);
    ++now;
    chunked.Feed(bytes + at, k, static_cast<std::int64_t>(at), now, now, 1, split);
    at += k;
  }
  chunked.Reset();

  std::int64_t previous_end = 0;
  for (auto [start, end] : split.frames) {
    Check(start >= previous_end);
    Check(end <= static_cast<std::int64_t>(n));
    Check(end - start >= 4);
    Check(end - start <= acquisition::kMaxFrameBytes);
    Check(bytes[start] == 0xFF && bytes[start + 1] == 0xD8);
    Check(bytes[end - 2] == 0xFF && bytes[end - 1] == 0xD9);
    previous_end = end;
  }
  Check(split.frames == whole.frames);
  Check(split.problems == whole.problems);
  return 0;
}
