#include "jobs/alarm_clip.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "acquisition/camera/clip_muxer.h"
#include "acquisition/camera/ring_store.h"
#include "platform/strings.h"

namespace jobs {
namespace {

constexpr const char* kStartsLate =
    "Camera %d: clip %s: the ring holds nothing older than %.1f s before the alarm: %.1f s of "
    "the pre-record are missing";
constexpr const char* kNoStart = "Camera %d: clip %s not saved: the ring holds no key frame to start from";
constexpr const char* kGap = "Camera %d: clip %s: no frames for %.1f s after %.1f s from the alarm";
constexpr const char* kStreamEnded =
    "Camera %d: clip %s: no frames after %.1f s from the alarm: the clip ends there";
constexpr const char* kParametersChanged =
    "Camera %d: clip %s: the stream changed to other parameters at %.1f s from the alarm: the "
    "clip ends there";
constexpr const char* kLapped =
    "Camera %d: clip %s: the ring passed the frame of %.1f s from the alarm before it was "
    "copied: the clip ends there";
constexpr const char* kCut = "Camera %d: clip %s: cut at %d s (AlarmClipSeconds)";
constexpr const char* kNotWhole = "Camera %d: clip %s: %d frames were not whole JPEG images: left out";
constexpr const char* kReordered =
    "Camera %d: clip %s: the stream reorders pictures deeper than its first frames did: the clip "
    "ends at %.1f s from the alarm";
constexpr const char* kSaved =
    "Camera %d: clip %s saved: %d frames, %.1f s, %.1f ms of processor time";
constexpr const char* kNotSaved = "Camera %d: clip %s not saved: %s";
constexpr const char* kDiskFull = "Camera %d: clip %s not saved: the disk is full (%s)";

// After the window's end, how long the clip waits for the frame that shows
// the stream went past it.
constexpr std::int64_t kLiveWaitUs = 2 * platform::kMicrosPerSecond;
// A pause between two frames the clip names as a gap.
constexpr std::int64_t kGapUs = platform::kMicrosPerSecond;
// Pictures reorder over at most this many frames (B-frames): a frame's
// decoding time is known once that many frames after it are in.
constexpr std::size_t kReorderFrames = 16;

bool SameParameters(const acquisition::VideoCodec* a, const acquisition::VideoCodec* b) {
  return a && b && a->codec_id == b->codec_id && a->extradata == b->extradata;
}

class ClipWalk {
 public:
  ClipWalk(acquisition::Camera& camera, platform::Clock& clock, const ClipWindow& window)
      : camera_(camera),
        clock_(clock),
        window_(window),
        name_(window.path.substr(window.path.rfind('/') + 1)),
        alarm_us_(window.alarm_us),
        to_us_(window.to_us) {}

  ClipResult Run();

 private:
  bool FindStart(acquisition::FrameRef* start);
  bool Open(const acquisition::FrameRef& first);
  // The stored frame `n`, waiting for live frames: false at the clip's end.
  bool Next(std::int64_t n, acquisition::FrameRef* out);
  bool Admit(const acquisition::FrameRef& frame);
  bool Push(const acquisition::FrameRef& frame);
  bool Emit();
  bool Finish();
  void Say(const std::string& line) const { camera_.Log(line, core::ReportLevel::kInfo); }
  double FromAlarm(std::int64_t us) const { return static_cast<double>(us - alarm_us_) / 1e6; }
  void Failed(const platform::Status& status);

  acquisition::Camera& camera_;
  platform::Clock& clock_;
  const ClipWindow& window_;
  const std::string name_;
  std::int64_t alarm_us_;
  std::int64_t to_us_;
  std::string part_;
  bool jpeg_ = false;
  std::shared_ptr<const acquisition::VideoCodec> codec_;
  std::uint16_t codec_number_ = 0;
  acquisition::ClipMuxer muxer_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  int capacity_ = 0;
  // Frames in, waiting for their decoding time, and their picture moments.
  std::deque<acquisition::FrameRef> pending_;
  std::multiset<std::int64_t> moments_;
  std::int64_t reorder_us_ = -1;  // set by the first frame written
  std::int64_t first_us_ = 0;
  std::int64_t last_us_ = 0;
  std::int64_t last_order_us_ = 0;
  int written_ = 0;
  int not_whole_ = 0;
  bool failed_ = false;
};

// The processor time this thread has used, in microseconds.
std::int64_t ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

ClipResult ClipWalk::Run() {
  const std::int64_t cpu_start_us = ThreadCpuMicros();
  const int number = camera_.camera_number();
  acquisition::FrameRef frame;
  if (!FindStart(&frame)) {
    Say(platform::StringPrintf(kNoStart, number, name_.c_str()));
    return {};
  }
  const std::int64_t longest = static_cast<std::int64_t>(window_.max_seconds) * 1000000;
  if (to_us_ - frame.entry.begin_us > longest) {
    to_us_ = frame.entry.begin_us + longest;
    Say(platform::StringPrintf(kCut, number, name_.c_str(), window_.max_seconds));
  }
  if (!Open(frame)) return {};
  std::int64_t n = frame.number;
  do {
    if (frame.entry.session != window_.session) continue;
    if (!Admit(frame) || !Push(frame)) break;
  } while (!failed_ && Next(++n, &frame));
  if (!Finish()) return {};
  const ClipResult result{true, written_, static_cast<double>(last_us_ - first_us_) / 1e6};
  Say(platform::StringPrintf(kSaved, number, name_.c_str(), result.frames, result.seconds,
                             static_cast<double>(ThreadCpuMicros() - cpu_start_us) / 1e3));
  return result;
}

bool ClipWalk::FindStart(acquisition::FrameRef* start) {
  acquisition::FrameRef at;
  const bool found =
      camera_.FindFrame(acquisition::FrameSearch::kAtOrBefore, window_.from_us, window_.session,
                        &at) ||
      camera_.FirstFrame(window_.session, &at);
  if (!found) return false;
  // Every JPEG frame starts a clip.
  if (at.entry.codec == 0) {
    *start = at;
    return true;
  }
  if (camera_.KeyFrameAtOrBefore(at.number, start)) {
    if (start->entry.begin_us > window_.from_us)
      Say(platform::StringPrintf(kStartsLate, camera_.camera_number(), name_.c_str(),
                                 -FromAlarm(start->entry.begin_us),
                                 static_cast<double>(start->entry.begin_us - window_.from_us) / 1e6));
    return true;
  }
  // The key frame went with the ring: the oldest one after it.
  for (std::int64_t n = at.number; camera_.FrameByNumber(n, start); ++n) {
    if (start->entry.key && start->entry.session == window_.session) {
      Say(platform::StringPrintf(kStartsLate, camera_.camera_number(), name_.c_str(),
                                 -FromAlarm(start->entry.begin_us),
                                 static_cast<double>(start->entry.begin_us - window_.from_us) / 1e6));
      return true;
    }
  }
  return false;
}

bool ClipWalk::Open(const acquisition::FrameRef& first) {
  jpeg_ = first.entry.codec == 0;
  capacity_ = jpeg_ ? acquisition::kImageBufferSize : acquisition::kRtspFrameLimit + 1;
  buffer_.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(capacity_)]);
  if (!buffer_) {
    Failed(platform::Status::Failure("no memory for its frames"));
    return false;
  }
  std::string message;
  const int size = camera_.ReadStoredFrame(first, buffer_.get(), capacity_, &message);
  if (size < 0) {
    Failed(platform::Status::Failure(message));
    return false;
  }
  if (!jpeg_) {
    codec_number_ = first.entry.codec;
    codec_ = camera_.Codec(codec_number_);
    if (!codec_) {
      Failed(platform::Status::Failure("its codec parameters are gone"));
      return false;
    }
  }
  const acquisition::ClipFormat format =
      acquisition::ClipFormatOf(codec_.get(), buffer_.get(), size, first.entry.begin_wall_ms);
  part_ = platform::StringPrintf("%s.%llx.part", window_.path.c_str(),
                                 static_cast<unsigned long long>(clock_.MonotonicMicros()));
  const platform::Status opened = muxer_.Open(part_, format);
  if (!opened) {
    Failed(opened);
    return false;
  }
  first_us_ = first.entry.begin_us;
  last_order_us_ = first.entry.order_us();
  return true;
}

bool ClipWalk::Next(std::int64_t n, acquisition::FrameRef* out) {
  const int number = camera_.camera_number();
  for (;;) {
    if (camera_.FrameByNumber(n, out)) {
      if (out->entry.order_us() > to_us_) return false;
      return true;
    }
    if (n < camera_.first_frame_number()) {
      Say(platform::StringPrintf(kLapped, number, name_.c_str(), FromAlarm(last_order_us_)));
      return false;
    }
    const std::int64_t give_up_us = to_us_ + kLiveWaitUs;
    if (clock_.MonotonicMicros() >= give_up_us) {
      Say(platform::StringPrintf(kStreamEnded, number, name_.c_str(), FromAlarm(last_order_us_)));
      return false;
    }
    camera_.WaitForFrameAfter(last_order_us_, window_.session, give_up_us);
  }
}

// Whether the frame continues the clip (a gap is named, other parameters end it).
bool ClipWalk::Admit(const acquisition::FrameRef& frame) {
  const int number = camera_.camera_number();
  if (!jpeg_ && frame.entry.codec != codec_number_) {
    auto next = camera_.Codec(frame.entry.codec);
    if (!SameParameters(codec_.get(), next.get())) {
      Say(platform::StringPrintf(kParametersChanged, number, name_.c_str(),
                                 FromAlarm(frame.entry.begin_us)));
      return false;
    }
    codec_number_ = frame.entry.codec;
  }
  if (frame.entry.order_us() - last_order_us_ >= kGapUs)
    Say(platform::StringPrintf(kGap, number, name_.c_str(),
                               static_cast<double>(frame.entry.order_us() - last_order_us_) / 1e6,
                               FromAlarm(last_order_us_)));
  last_order_us_ = std::max(last_order_us_, frame.entry.order_us());
  return true;
}

bool ClipWalk::Push(const acquisition::FrameRef& frame) {
  pending_.push_back(frame);
  moments_.insert(frame.entry.begin_us);
  return pending_.size() <= kReorderFrames || Emit();
}

// Writes the oldest frame waiting. Its decoding time is the earliest moment
// not yet given, moved back by how deep pictures reorder (found on the
// first frames), so that no frame decodes after it is shown.
bool ClipWalk::Emit() {
  const acquisition::FrameRef frame = pending_.front();
  if (reorder_us_ < 0) {
    reorder_us_ = 0;
    auto moment = moments_.begin();
    for (const acquisition::FrameRef& f : pending_)
      reorder_us_ = std::max(reorder_us_, *moment++ - f.entry.begin_us);
    // Capture moments wander by a few milliseconds around the camera's
    // frame period: a reordering stream gets a frame period more.
    if (reorder_us_ > 0 && moments_.size() > 1)
      reorder_us_ += (*moments_.rbegin() - *moments_.begin()) /
                     static_cast<std::int64_t>(moments_.size() - 1);
  }
  const std::int64_t dts = *moments_.begin() - reorder_us_;
  if (dts > frame.entry.begin_us) {
    Say(platform::StringPrintf(kReordered, camera_.camera_number(), name_.c_str(),
                               FromAlarm(frame.entry.begin_us)));
    pending_.clear();
    return false;
  }
  pending_.pop_front();
  moments_.erase(moments_.begin());
  std::string message;
  int size = camera_.ReadStoredFrame(frame, buffer_.get(), capacity_, &message);
  acquisition::FrameRef still;
  if (size < 0 && !camera_.FrameByNumber(frame.number, &still)) {
    Say(platform::StringPrintf(kLapped, camera_.camera_number(), name_.c_str(),
                               FromAlarm(frame.entry.begin_us)));
    pending_.clear();
    return false;
  }
  if (size >= 0 && jpeg_) size = camera_.CheckJpeg(frame, buffer_.get(), size, &message);
  if (size < 0) {
    ++not_whole_;
    return true;
  }
  const platform::Status wrote = muxer_.Write(buffer_.get(), size, frame.entry.begin_us - first_us_,
                                              dts - first_us_, frame.entry.key);
  if (!wrote) {
    Failed(wrote);
    return false;
  }
  ++written_;
  last_us_ = std::max(last_us_, frame.entry.begin_us);
  return true;
}

bool ClipWalk::Finish() {
  while (!failed_ && !pending_.empty())
    if (!Emit()) break;
  if (failed_) return false;
  const int number = camera_.camera_number();
  if (not_whole_ > 0) Say(platform::StringPrintf(kNotWhole, number, name_.c_str(), not_whole_));
  if (written_ == 0) {
    muxer_.Abort();
    Failed(platform::Status::Failure("no frame could be copied"));
    return false;
  }
  platform::Status done = muxer_.Finish();
  if (done && rename(part_.c_str(), window_.path.c_str()) != 0)
    done = platform::Status::FromErrno(errno, window_.path);
  if (!done) {
    unlink(part_.c_str());
    Failed(done);
    return false;
  }
  return true;
}

void ClipWalk::Failed(const platform::Status& status) {
  if (failed_) return;
  failed_ = true;
  muxer_.Abort();
  const int number = camera_.camera_number();
  if (status.error() == ENOSPC || status.reason().find(std::strerror(ENOSPC)) != std::string::npos)
    Say(platform::StringPrintf(kDiskFull, number, name_.c_str(), status.reason().c_str()));
  else
    Say(platform::StringPrintf(kNotSaved, number, name_.c_str(), status.reason().c_str()));
}

}  // namespace

std::string ClipFileName(const std::string& camera_reference, const std::string& alarm_reference,
                         bool jpeg) {
  return camera_reference + "_" + alarm_reference + (jpeg ? ".mov" : ".mp4");
}

ClipResult RecordAlarmClip(acquisition::Camera& camera, platform::Clock& clock,
                           const ClipWindow& window) {
  return ClipWalk(camera, clock, window).Run();
}

}  // namespace jobs
