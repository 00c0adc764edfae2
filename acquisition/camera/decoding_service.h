#pragma once
// DecodingService: the JPEG images of one RTSP camera's frames, for every
// job that wants them. One per camera (the camera owns it).
//
// A job asks for "the JPEG of frame N" (`Jpeg`). The requests of all jobs
// of the camera wait in one list; one walk serves them in frame order:
// the frame is decoded forward from the newest key frame at or before it
// (or from where the decoder stands, when that is within its group of
// pictures or later) and written as JPEG. The walk is done by the thread of
// one of the waiting jobs, in turns: a job takes the turn when no other has
// it, takes a place in the process's DecoderBudget (waiting at most
// kBudgetWaitSeconds), serves the waiting requests from the lowest frame up
// to and including its own, then gives the place and the turn back. The
// finished JPEGs of the last kKeptJpegs frames are kept, so sixteen jobs of
// one camera that want the same frames decode each frame once.
//
// The decoders stay open between turns while a job uses the service
// (Attach .. Detach), so a series of images going forward decodes each frame
// once; they are closed, and the kept JPEGs dropped, when the last job
// leaves. A camera has up to kDecodersPerCamera of them, each where one
// walk stands: jobs of two alarms a few seconds apart each go forward
// without starting again from a key frame at every image.
//
// The ring writer is never held up by a decoder: a frame overwritten while
// it was read is found by the ring's check, and that image is an error.
//
// Threads: any job thread. `lock_` guards the requests, the kept JPEGs, the
// turn and the count of jobs. The decoder, the JPEG writer and the scaling
// note belong to the thread that holds the turn (`walking_`), and to no
// thread while no job is attached and nobody walks.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/decoder_budget.h"
#include "acquisition/camera/picture_jpeg.h"
#include "acquisition/camera/ring_store.h"
#include "platform/clock.h"
#include "platform/mutex.h"

namespace acquisition {

inline constexpr int kBudgetWaitSeconds = 60;
inline constexpr std::size_t kKeptJpegs = 12;
inline constexpr std::size_t kDecodersPerCamera = 2;

class DecodingService {
 public:
  DecodingService(RingStore& ring, const CameraLog& log, platform::Clock& clock);
  ~DecodingService();
  DecodingService(const DecodingService&) = delete;
  DecodingService& operator=(const DecodingService&) = delete;

  // The process's budget (null: no bound). Set before jobs run.
  void SetBudget(DecoderBudget* budget) { budget_ = budget; }
  // Called with every frame read back, before it is read (the camera's
  // extended log).
  void SetReadTrace(std::function<void(const FrameRef&)> trace) { trace_ = std::move(trace); }
  // Off: failures and the scaling note go to no log, only to the caller of
  // Jpeg (the status port's snapshots, asked for by any client at any time).
  // Set before the service is used.
  void SetLogLines(bool on) { log_lines_ = on; }

  // A job's series of images begins and ends.
  void Attach();
  void Detach();
  // The JPEG of `frame` into `buffer` (kImageBufferSize bytes): its size,
  // or -1 after a line in the camera log (`failure`, when given, gets the
  // line of a frame that did not decode).
  int Jpeg(const FrameRef& frame, std::uint8_t* buffer, std::string* failure = nullptr);

  // Frames given to a decoder so far.
  std::int64_t frames_decoded() const { return decoded_.load(); }

 private:
  struct Decoder;
  // A finished request: the JPEG, or nothing when it failed.
  struct Finished {
    std::int64_t number = -1;
    std::int64_t begin_us = 0;  // with the number, tells a frame of a ring made anew
    std::vector<std::uint8_t> jpeg;
    bool failed = false;
    std::string why;  // the line of a failure
  };

  // The finished request of `frame`, or null.
  const Finished* Find(const FrameRef& frame) REQUIRES(lock_);
  // Copies a finished request out; the size, or -1 (with `failure`, when
  // given, set to the line of its failure).
  static int Hand(const Finished& done, std::uint8_t* buffer, std::string* failure);
  // The waiting request with the lowest frame number not yet finished.
  bool NextRequest(FrameRef* next) REQUIRES(lock_);
  // One turn of the walk, ending once `own` is finished.
  void WalkTurn(const FrameRef& own);
  // Decodes and compresses one frame; its outcome (after its line).
  Finished Produce(const FrameRef& frame);
  // Picks the decoder for `frame` (the one standing nearest before it in
  // its group of pictures, else a new one, else the least recently used) and
  // opens it with the frame's codec parameters.
  std::string Prepare(const FrameRef& frame, const FrameRef& key);
  std::string OpenCodec(const FrameRef& frame);
  std::string Decode(const FrameRef& frame, const FrameRef& key);
  std::string Feed(const FrameRef& next, const FrameRef& key);
  std::string Compress(const FrameRef& frame, std::vector<std::uint8_t>* out);
  void Report(const std::string& message) const;

  RingStore& ring_;
  const CameraLog& log_;
  platform::Clock& clock_;
  DecoderBudget* budget_ = nullptr;
  std::function<void(const FrameRef&)> trace_;
  bool log_lines_ = true;

  platform::Mutex lock_;
  platform::CondVar changed_;  // a request finished or the turn came free; under lock_
  std::vector<FrameRef> requests_ GUARDED_BY(lock_);
  std::deque<Finished> finished_ GUARDED_BY(lock_);  // oldest first
  bool walking_ GUARDED_BY(lock_) = false;
  int users_ GUARDED_BY(lock_) = 0;

  // The walker's.
  std::vector<std::unique_ptr<Decoder>> decoders_;
  Decoder* decoder_ = nullptr;  // the one of this request
  std::int64_t uses_ = 0;       // requests served, to find the least recently used
  PictureJpeg writer_;
  int scaled_width_ = 0;  // the scaled size last said in the camera log
  int scaled_height_ = 0;

  std::atomic<std::int64_t> decoded_{0};
};

}  // namespace acquisition
