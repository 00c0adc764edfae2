#pragma once
// MjpegSource: a camera's MJPEG stream over HTTP (libcurl's easy interface).
// A transfer either records the stream (its bytes go into the ring as they
// come, and the frame finder marks the whole JPEG frames in them) or, for a
// camera streaming on demand, probes it: it ends at the first image's end
// marker, or when no image came within 2 s of the answer.
//
// Threads: the camera's streaming thread alone (a test may feed `Consume`
// by hand instead); libcurl's callbacks run inside `Transfer` on that
// thread. The handle is made at the first transfer and kept.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "acquisition/camera/frame_finder.h"
#include "acquisition/camera/stream_loss.h"
#include "acquisition/camera/stream_source.h"

namespace acquisition {

class MjpegSource final : private MjpegFrameFinder::Events {
 public:
  explicit MjpegSource(const SourceParts& parts);
  ~MjpegSource();
  MjpegSource(const MjpegSource&) = delete;
  MjpegSource& operator=(const MjpegSource&) = delete;

  // Set by the loader before the streaming thread starts.
  void SetExtendedLog(bool on) { extended_log_ = on; }

  // One transfer from `target`; why it failed, or kind kNone when nothing
  // went wrong (a stream switched off by us, a probe that saw an image).
  StreamLoss Transfer(const StreamTarget& target, bool probe);
  // The stream's next `n` bytes (the body of libcurl's write callback).
  // False when the transfer must stop: nobody wants the stream any more.
  bool Consume(const std::uint8_t* data, std::size_t n);
  // A transfer ended (or, before its first chunk, began): the frames
  // already whole are written out and indexed, the one being assembled is
  // dropped.
  void EndTransfer();

 private:
  struct Curl;

  static std::size_t StreamWriteCallback(char* data, std::size_t size, std::size_t count,
                                         void* self);
  static std::size_t SkipHeaderCallback(char* data, std::size_t size, std::size_t count,
                                        void* self);
  static std::size_t ProbeWriteCallback(char* data, std::size_t size, std::size_t count,
                                        void* self);
  static std::size_t ProbeHeaderCallback(char* data, std::size_t size, std::size_t count,
                                         void* self);
  static int ProgressCallback(void* self, std::int64_t, std::int64_t, std::int64_t, std::int64_t);

  // Probe bytes: false once the image's end came, or too late.
  bool ProbeBytes(const std::uint8_t* data, std::size_t n);
  // Why the transfer that ended with libcurl's `rc` failed.
  StreamLoss Outcome(int rc, bool probe, bool wanted_before) const;
  // Whether the last 401 offered Basic alone, to a camera with a password
  // Basic may not have.
  bool BasicAloneRefused() const;
  void OnFrame(const FoundFrame& frame) override;
  void OnStreamProblem(StreamProblem problem, std::int64_t detail) override;

  SourceParts parts_;
  std::unique_ptr<Curl> curl_;
  MjpegFrameFinder finder_;
  bool extended_log_ = false;
  bool refuses_basic_ = false;  // a user, and "AllowBasicAuth" not 1
  // The transfer running now: its stall time-out, when its last byte came,
  // when a probe's answer began, and why it was cut.
  int stall_timeout_s_ = 10;
  std::int64_t last_byte_us_ = 0;
  std::int64_t probe_answer_us_ = 0;
  bool stalled_ = false;
  bool probe_too_slow_ = false;
};

}  // namespace acquisition
