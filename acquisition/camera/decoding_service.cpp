#include "acquisition/camera/decoding_service.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "acquisition/camera/av_support.h"
#include "core/console.h"
#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr const char* kNoKeyFrame =
    "Camera %d: ERROR: no key frame at or before the image of index %lld is left in the stream "
    "file: it cannot be decoded";
constexpr const char* kFrameGone =
    "Camera %d: ERROR: the frame of index %lld, needed to decode the image, is no longer in the "
    "stream file";
constexpr const char* kRingPassed =
    "Camera %d: ERROR: the ring passed the frame of index %lld while it was decoded";
constexpr const char* kNoDecoder = "Camera %d: ERROR: no decoder for %s";
constexpr const char* kNoCodec =
    "Camera %d: ERROR: the codec parameters of the image of index %lld are gone";
constexpr const char* kBadFrame =
    "Camera %d: ERROR: the frame of index %lld does not decode (%s): no image is made from it";
constexpr const char* kNoPicture =
    "Camera %d: ERROR: the image of index %lld gave no whole picture";
constexpr const char* kBadPixels = "Camera %d: ERROR: pictures in %s cannot be written as JPEG";
constexpr const char* kJpegFailed = "Camera %d: ERROR: the JPEG of the image of index %lld: %s";
constexpr const char* kJpegTooBig =
    "Camera %d: ERROR: the JPEG of the image of index %lld stays above %d bytes";
constexpr const char* kNoMemory = "Camera %d: ERROR: no memory to decode the image of index %lld";
constexpr const char* kTooLarge =
    "Camera %d: ERROR: pictures of %dx%d are larger than %dx%d: they are not decoded";
constexpr const char* kNoBudget =
    "Camera %d: ERROR: no decoder came free within %d s for the image of index %lld";
constexpr const char* kScaled = "Camera %d: images scaled to %dx%d to fit %d bytes";
// The decoder may hold a picture back for frames that come later (B-frames):
// it is given this many more before the picture counts as missing.
constexpr int kMaxDelayFrames = 16;
// A request waits for the walker in slices this long, then looks again.
constexpr auto kWaitSlice = std::chrono::seconds(1);

struct ContextFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

bool TooLarge(int width, int height) {
  return width > kMaxPictureWidth || height > kMaxPictureHeight;
}

}  // namespace

struct DecodingService::Decoder {
  std::uint16_t codec = 0;  // the parameters it was opened with
  std::unique_ptr<AVCodecContext, ContextFreer> context;
  std::unique_ptr<AVFrame, FrameFreer> picture;  // the newest decoded picture
  std::unique_ptr<AVFrame, FrameFreer> scratch;
  std::unique_ptr<AVPacket, AvPacketFreer> packet;
  std::unique_ptr<std::uint8_t[]> bytes;  // one compressed frame read back
  std::int64_t last_fed = -1;             // the newest frame given to it
  std::int64_t used = 0;                  // the service's `uses_` when it last served
  bool spoiled = false;                   // a picture since the key frame had errors

  // Takes what the decoder gives out, keeping the newest picture up to
  // frame `wanted`; `have` once it is that frame's. False when the wanted
  // picture is spoiled: a picture with errors spoils every picture decoded
  // from it after, and none is made into an image until the next key frame.
  bool TakePictures(std::int64_t wanted, bool* have) {
    while (!*have && avcodec_receive_frame(context.get(), scratch.get()) == 0) {
      if (scratch->decode_error_flags != 0 || (scratch->flags & AV_FRAME_FLAG_CORRUPT))
        spoiled = true;
      if (scratch->pts == wanted && spoiled) {
        av_frame_unref(scratch.get());
        return false;
      }
      if (scratch->pts <= wanted) {
        av_frame_unref(picture.get());
        av_frame_move_ref(picture.get(), scratch.get());
        *have = picture->pts == wanted;
      } else {
        av_frame_unref(scratch.get());
      }
    }
    return true;
  }
  // Forgets what it holds: the next picture starts from its key frame.
  void Restart() {
    avcodec_flush_buffers(context.get());
    av_frame_unref(picture.get());
    spoiled = false;
  }
};

DecodingService::DecodingService(RingStore& ring, const CameraLog& log, platform::Clock& clock)
    : ring_(ring), log_(log), clock_(clock) {}
DecodingService::~DecodingService() = default;

void DecodingService::Attach() {
  platform::MutexLock guard(lock_);
  ++users_;
}

void DecodingService::Detach() {
  platform::MutexLock guard(lock_);
  if (--users_ > 0 || walking_) return;
  // Nobody walks and nobody will until a job attaches again: the decoder's
  // pictures (tens of megabytes at 4K) and the kept JPEGs go.
  users_ = 0;
  decoder_ = nullptr;
  decoders_.clear();
  writer_.Release();
  finished_.clear();
}

const DecodingService::Finished* DecodingService::Find(const FrameRef& frame) {
  for (const Finished& done : finished_)
    if (done.number == frame.number && done.begin_us == frame.entry.begin_us) return &done;
  return nullptr;
}

int DecodingService::Hand(const Finished& done, std::uint8_t* buffer, std::string* failure) {
  if (done.failed) {
    if (failure) *failure = done.why;
    return -1;
  }
  std::memcpy(buffer, done.jpeg.data(), done.jpeg.size());
  return static_cast<int>(done.jpeg.size());
}

bool DecodingService::NextRequest(FrameRef* next) {
  bool found = false;
  for (const FrameRef& r : requests_)
    if (!Find(r) && (!found || r.number < next->number)) {
      *next = r;
      found = true;
    }
  return found;
}

int DecodingService::Jpeg(const FrameRef& frame, std::uint8_t* buffer, std::string* failure) {
  {
    platform::MutexLock guard(lock_);
    requests_.push_back(frame);
    for (;;) {
      if (const Finished* done = Find(frame)) {
        requests_.erase(std::find_if(requests_.begin(), requests_.end(),
                                     [&](const FrameRef& r) { return r.number == frame.number; }));
        return Hand(*done, buffer, failure);
      }
      if (!walking_) break;
      changed_.WaitFor(lock_, kWaitSlice);
    }
    walking_ = true;
  }
  WalkTurn(frame);
  platform::MutexLock guard(lock_);
  walking_ = false;
  changed_.SignalAll();
  auto own = std::find_if(requests_.begin(), requests_.end(),
                          [&](const FrameRef& r) { return r.number == frame.number; });
  requests_.erase(own);
  const Finished* done = Find(frame);
  return done ? Hand(*done, buffer, failure) : -1;
}

void DecodingService::WalkTurn(const FrameRef& own) {
  const std::int64_t deadline =
      clock_.MonotonicMicros() + kBudgetWaitSeconds * platform::kMicrosPerSecond;
  if (budget_ && !budget_->Acquire(clock_, deadline)) {
    // Only this job's image fails: the next waiting job tries for a place.
    Report(platform::StringPrintf(kNoBudget, log_.camera_number(), kBudgetWaitSeconds,
                                  static_cast<long long>(own.number)));
    return;
  }
  for (;;) {
    FrameRef next;
    {
      platform::MutexLock guard(lock_);
      if (Find(own) || !NextRequest(&next)) break;
    }
    Finished done = Produce(next);
    platform::MutexLock guard(lock_);
    finished_.push_back(std::move(done));
    if (finished_.size() > kKeptJpegs) finished_.pop_front();
    changed_.SignalAll();
  }
  // The RGB picture (25 MB at 4K) is made again at the next turn: open
  // decoders of many cameras between turns keep only their own pictures.
  writer_.Release();
  if (budget_) budget_->Release();
}

DecodingService::Finished DecodingService::Produce(const FrameRef& frame) {
  Finished done;
  decoder_ = nullptr;
  done.number = frame.number;
  done.begin_us = frame.entry.begin_us;
  FrameRef key;
  std::string message =
      ring_.KeyFrameAtOrBefore(frame.number, &key)
          ? Prepare(frame, key)
          : platform::StringPrintf(kNoKeyFrame, log_.camera_number(),
                                   static_cast<long long>(frame.number));
  if (message.empty()) message = Decode(frame, key);
  if (message.empty()) message = Compress(frame, &done.jpeg);
  if (message.empty()) return done;
  Report(message);
  done.why = message;
  // Whatever the decoder holds may now be wrong: the next image starts from
  // its key frame.
  if (decoder_) decoder_->last_fed = -1;
  done.jpeg.clear();
  done.failed = true;
  return done;
}

void DecodingService::Report(const std::string& message) const {
  if (!log_lines_) return;
  core::ConsoleLog(message, core::ConsoleLevel::kError);
  log_.Log(message, core::ReportLevel::kInfo);
}

std::string DecodingService::Prepare(const FrameRef& frame, const FrameRef& key) {
  const int c = log_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  // A decoder within the frame's group of pictures goes on from there; one
  // behind it moves forward to it; only when every decoder stands past the
  // frame (another alarm's walk, further on) is one more opened.
  decoder_ = nullptr;
  Decoder* behind = nullptr;
  Decoder* oldest = nullptr;
  for (const auto& d : decoders_) {
    const bool ahead_of_key = d->context && d->codec == frame.entry.codec &&
                              d->last_fed >= key.number && d->last_fed < frame.number;
    if (ahead_of_key && (!decoder_ || d->last_fed > decoder_->last_fed)) decoder_ = d.get();
    if (d->last_fed < key.number && (!behind || d->used < behind->used)) behind = d.get();
    if (!oldest || d->used < oldest->used) oldest = d.get();
  }
  if (!decoder_) decoder_ = behind;
  if (!decoder_ && decoders_.size() < kDecodersPerCamera) {
    auto d = std::make_unique<Decoder>();
    d->picture.reset(av_frame_alloc());
    d->scratch.reset(av_frame_alloc());
    d->packet.reset(av_packet_alloc());
    d->bytes.reset(new (std::nothrow) std::uint8_t[kRtspFrameLimit + AV_INPUT_BUFFER_PADDING_SIZE]);
    if (!d->picture || !d->scratch || !d->packet || !d->bytes)
      return platform::StringPrintf(kNoMemory, c, index);
    decoders_.push_back(std::move(d));
    oldest = decoders_.back().get();
  }
  if (!decoder_) decoder_ = oldest;
  decoder_->used = ++uses_;
  if (decoder_->context && decoder_->codec == frame.entry.codec) return "";
  return OpenCodec(frame);
}

std::string DecodingService::OpenCodec(const FrameRef& frame) {
  const int c = log_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  Decoder& d = *decoder_;
  std::shared_ptr<const VideoCodec> parameters = ring_.Codec(frame.entry.codec);
  if (!parameters) return platform::StringPrintf(kNoCodec, c, index);
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(parameters->codec_id));
  d.context.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
  if (!d.context) return platform::StringPrintf(kNoDecoder, c, parameters->name.c_str());
  if (!parameters->extradata.empty()) {
    d.context->extradata = static_cast<std::uint8_t*>(
        av_mallocz(parameters->extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!d.context->extradata) return platform::StringPrintf(kNoMemory, c, index);
    std::memcpy(d.context->extradata, parameters->extradata.data(), parameters->extradata.size());
    d.context->extradata_size = static_cast<int>(parameters->extradata.size());
  }
  // A picture with errors in it is never made into an image.
  d.context->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
  d.context->thread_count = 1;
  // A stream announcing a huge picture gets no buffer for it.
  d.context->max_pixels = static_cast<std::int64_t>(kMaxPictureWidth) * kMaxPictureHeight;
  if (avcodec_open2(d.context.get(), codec, nullptr) < 0) {
    d.context.reset();
    return platform::StringPrintf(kNoDecoder, c, parameters->name.c_str());
  }
  // The parameter sets announced give the size before any picture is made.
  if (TooLarge(d.context->width, d.context->height)) {
    std::string message = platform::StringPrintf(kTooLarge, c, d.context->width, d.context->height,
                                                 kMaxPictureWidth, kMaxPictureHeight);
    d.context.reset();
    return message;
  }
  d.codec = frame.entry.codec;
  d.last_fed = -1;
  return "";
}

std::string DecodingService::Decode(const FrameRef& frame, const FrameRef& key) {
  const int c = log_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  Decoder& d = *decoder_;
  // Forward from where the decoder stands when that lies within the wanted
  // frame's group of pictures (or later); else from its key frame.
  std::int64_t from = d.last_fed + 1;
  if (d.last_fed < key.number || d.last_fed >= frame.number) {
    d.Restart();
    from = key.number;
  }
  bool have = d.picture->buf[0] != nullptr && d.picture->pts == frame.number;
  for (std::int64_t n = from; !have && n <= frame.number + kMaxDelayFrames; ++n) {
    FrameRef next;
    if (!ring_.FrameByNumber(n, &next) || next.entry.session != frame.entry.session ||
        next.entry.codec != frame.entry.codec) {
      if (n <= frame.number)
        return platform::StringPrintf(n > key.number ? kRingPassed : kFrameGone, c,
                                      static_cast<long long>(n));
      // Nothing later is in yet: the decoder gives up what it holds back,
      // and starts from a key frame next time.
      avcodec_send_packet(d.context.get(), nullptr);
      d.TakePictures(frame.number, &have);
      d.last_fed = -1;
      break;
    }
    if (std::string message = Feed(next, key); !message.empty()) return message;
    if (!d.TakePictures(frame.number, &have))
      return platform::StringPrintf(kBadFrame, c, index, "errors in the picture");
  }
  if (have && TooLarge(d.picture->width, d.picture->height))
    return platform::StringPrintf(kTooLarge, c, d.picture->width, d.picture->height,
                                  kMaxPictureWidth, kMaxPictureHeight);
  return have ? "" : platform::StringPrintf(kNoPicture, c, index);
}

std::string DecodingService::Feed(const FrameRef& next, const FrameRef& key) {
  Decoder& d = *decoder_;
  std::string message;
  if (trace_) trace_(next);
  const int size = ring_.ReadFrame(next, d.bytes.get(), kRtspFrameLimit + 1, &message);
  if (size < 0) {
    // The key frame was in the ring when the walk began: a frame after it
    // that is overwritten now was passed by the writer during the walk.
    if (next.number > key.number && ring_.Overwritten(next.entry))
      return platform::StringPrintf(kRingPassed, log_.camera_number(),
                                    static_cast<long long>(next.number));
    return message;
  }
  std::memset(d.bytes.get() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  AVPacket* packet = d.packet.get();
  packet->data = d.bytes.get();
  packet->size = size;
  packet->pts = packet->dts = next.number;
  packet->flags = next.entry.key ? AV_PKT_FLAG_KEY : 0;
  const int rc = avcodec_send_packet(d.context.get(), packet);
  d.last_fed = next.number;
  decoded_.fetch_add(1);
  if (rc < 0 && rc != AVERROR(EAGAIN))
    return platform::StringPrintf(kBadFrame, log_.camera_number(),
                                  static_cast<long long>(next.number), AvErrorText(rc).c_str());
  return "";
}

std::string DecodingService::Compress(const FrameRef& frame, std::vector<std::uint8_t>* out) {
  const int c = log_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  const AVFrame& p = *decoder_->picture;
  const PictureJpeg::Outcome outcome = writer_.Write(p, kImageBufferSize, out);
  switch (outcome.failure) {
    case PictureJpeg::Failure::kNone:
      break;
    case PictureJpeg::Failure::kPixels:
      return platform::StringPrintf(kBadPixels, c, outcome.detail.c_str());
    case PictureJpeg::Failure::kJpeg:
      return platform::StringPrintf(kJpegFailed, c, index, outcome.detail.c_str());
    case PictureJpeg::Failure::kTooBig:
      return platform::StringPrintf(kJpegTooBig, c, index, kImageBufferSize - 1);
    case PictureJpeg::Failure::kNoMemory:
      return platform::StringPrintf(kNoMemory, c, index);
  }
  // Said once per camera, and again only when the size it is scaled to changes.
  const bool scaled = outcome.width != p.width || outcome.height != p.height;
  if (log_lines_ && scaled &&
      (outcome.width != scaled_width_ || outcome.height != scaled_height_)) {
    scaled_width_ = outcome.width;
    scaled_height_ = outcome.height;
    log_.Log(platform::StringPrintf(kScaled, c, outcome.width, outcome.height, kImageBufferSize - 1),
             core::ReportLevel::kInfo);
  }
  return "";
}

}  // namespace acquisition
