#include "acquisition/camera/rtsp_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

#include "acquisition/camera/av_support.h"
#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr const char* kReasonStalled = "stalled, no frame for %d s";
constexpr const char* kReasonNoVideo = "no video in the stream";
constexpr const char* kReasonCodec = "unsupported codec %s (H.264 and H.265 are recorded)";
constexpr const char* kReasonNoKeyFrame = "no key frame within %d s";
constexpr const char* kReasonNoMemory = "no memory for the stream";
constexpr const char* kCodecChanged = "Camera %d: the stream changed from %s to %s";
// A key frame comes every few seconds from any camera set up for
// recording; one that keeps none for this long cannot be decoded.
constexpr int kKeyFrameWaitSeconds = 10;

std::once_flag g_network_init;

// What a connection is doing, for the interrupt callback libavformat calls
// while it waits.
struct Watch {
  const StreamingSessions* sessions;
  platform::Clock* clock;
  std::int64_t last_frame_us;
  std::int64_t stall_us;
  bool probe;
  bool stalled = false;
  bool switched_off = false;
};

int Interrupt(void* opaque) {
  auto* watch = static_cast<Watch*>(opaque);
  // A stream a job no longer wants is left at once; a probe runs to its end.
  if (!watch->probe && !watch->sessions->Wanted()) {
    watch->switched_off = true;
    return 1;
  }
  if (watch->clock->MonotonicMicros() - watch->last_frame_us >= watch->stall_us) {
    watch->stalled = true;
    return 1;
  }
  return 0;
}

bool Recorded(AVCodecID id) { return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC; }

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

}  // namespace

struct RtspSource::Connection {
  Connection(const Watch& w, int stall_timeout_s) : watch(w), stall_s(stall_timeout_s) {}

  Watch watch;
  int stall_s;
  std::unique_ptr<AVFormatContext, FormatCloser> format;
  std::unique_ptr<AVPacket, AvPacketFreer> packet;
  int video = -1;
  AVRational time_base{};
  std::shared_ptr<const VideoCodec> codec;
  std::uint16_t codec_number = 0;  // 0 for a probe
  std::int64_t opened_us = 0;
  std::int64_t now_us = 0;  // when the current packet came out
  std::optional<AccessUnitAssembler> units;

  // A connection that brought no key frame in time is given up.
  bool KeyFrameOverdue(bool keyed) const {
    return !keyed && now_us - opened_us >= kKeyFrameWaitSeconds * platform::kMicrosPerSecond;
  }
};

StreamLoss RtspSource::Transfer(const StreamTarget& target, bool probe) {
  std::call_once(g_network_init, [] {
    avformat_network_init();
    // Our own lines say what went wrong; FFmpeg's would flood the console.
    av_log_set_level(AV_LOG_QUIET);
  });
  const std::int64_t stall_us =
      static_cast<std::int64_t>(target.stall_timeout_s) * platform::kMicrosPerSecond;
  Connection c(Watch{&parts_.sessions, &parts_.clock, parts_.clock.MonotonicMicros(), stall_us,
                     probe},
               target.stall_timeout_s);
  StreamLoss loss = Open(c, target.url);
  if (!c.format) return loss;
  loss = Describe(c);
  if (loss.kind != stream_loss::kNone) return loss;
  if (probe) return Probe(c);
  const bool wanted_before = parts_.sessions.Wanted();
  loss = Record(c);
  if (const std::int64_t added = parts_.ring.Flush(); added > 0) parts_.events.FramesIndexed(added);
  parts_.counters.streaming.store(0);
  // A stream we did not stop was ended by the camera.
  if (loss.kind == stream_loss::kClosed && !(wanted_before && parts_.sessions.Wanted())) return {};
  return loss;
}

StreamLoss RtspSource::Open(Connection& c, const std::string& url) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return {stream_loss::kVideo, kReasonNoMemory};
  raw->interrupt_callback = {Interrupt, &c.watch};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", "tcp", 0);
  // Socket reads give up with the stall time-out as well (the interrupt
  // callback also covers name lookup and connecting).
  av_dict_set_int(&options, "timeout", c.watch.stall_us, 0);
  const int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc >= 0) {
    c.format.reset(raw);
    return {};
  }
  // avformat_open_input frees the context on failure.
  if (c.watch.switched_off) return {};
  if (c.watch.stalled)
    return {stream_loss::kConnectTimeout,
            platform::StringPrintf(stream_loss::kReasonConnectTimeout, c.stall_s)};
  if (rc == AVERROR_HTTP_UNAUTHORIZED)
    return {stream_loss::kStatus + 401, stream_loss::kReasonUnauthorized};
  if (rc == AVERROR_HTTP_NOT_FOUND) return {stream_loss::kStatus + 404, stream_loss::kReasonNotFound};
  if (rc == AVERROR(ECONNREFUSED))
    return {stream_loss::kVideo - rc,
            platform::StringPrintf(stream_loss::kReasonRefused, AvErrorText(rc).c_str())};
  return {stream_loss::kVideo - rc, AvErrorText(rc)};
}

StreamLoss RtspSource::Describe(Connection& c) {
  AVFormatContext* format = c.format.get();
  c.video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (c.video < 0) return {stream_loss::kNoVideo, kReasonNoVideo};
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != c.video) format->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* stream = format->streams[c.video];
  const AVCodecParameters* parameters = stream->codecpar;
  const char* codec_name = avcodec_get_name(parameters->codec_id);
  if (!Recorded(parameters->codec_id))
    return {stream_loss::kCodec, platform::StringPrintf(kReasonCodec, codec_name)};
  // A camera set up anew with another codec: its older frames keep theirs.
  if (!last_codec_name_.empty() && last_codec_name_ != codec_name)
    parts_.log.Log(platform::StringPrintf(kCodecChanged, parts_.log.camera_number(),
                                          last_codec_name_.c_str(), codec_name),
                   core::ReportLevel::kInfo);
  last_codec_name_ = codec_name;
  auto codec = std::make_shared<VideoCodec>();
  codec->codec_id = parameters->codec_id;
  codec->name = codec_name;
  if (parameters->extradata && parameters->extradata_size > 0)
    codec->extradata.assign(parameters->extradata,
                            parameters->extradata + parameters->extradata_size);
  c.codec = codec;
  // The camera answered: a probe has its description, a stream its first
  // parameters.
  if (!c.watch.probe) c.codec_number = parts_.ring.AddCodec(codec);
  c.packet.reset(av_packet_alloc());
  if (!c.packet) return {stream_loss::kVideo, kReasonNoMemory};
  c.time_base = stream->time_base;
  c.opened_us = parts_.clock.MonotonicMicros();
  c.units.emplace(parameters->codec_id == AV_CODEC_ID_HEVC);
  return {};
}

int RtspSource::NextVideoPacket(Connection& c) {
  for (;;) {
    av_packet_unref(c.packet.get());
    const int rc = av_read_frame(c.format.get(), c.packet.get());
    if (rc < 0) return rc;
    c.now_us = parts_.clock.MonotonicMicros();
    if (c.packet->stream_index == c.video && c.packet->size > 0) return 0;
  }
}

StreamLoss RtspSource::ReadLoss(const Connection& c, int rc) const {
  if (c.watch.switched_off) return {};
  if (c.watch.stalled)
    return {stream_loss::kStalled, platform::StringPrintf(kReasonStalled, c.stall_s)};
  if (rc == AVERROR_EOF) return {stream_loss::kClosed, stream_loss::kReasonClosed};
  return {stream_loss::kVideo - rc, AvErrorText(rc)};
}

StreamLoss RtspSource::Probe(Connection& c) {
  for (;;) {
    if (const int rc = NextVideoPacket(c); rc < 0) return ReadLoss(c, rc);
    const bool key = (c.packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!key && c.KeyFrameOverdue(false))
      return {stream_loss::kNoImage,
              platform::StringPrintf(kReasonNoKeyFrame, kKeyFrameWaitSeconds)};
    c.watch.last_frame_us = c.now_us;
    if (key) {
      parts_.events.ProbeSawImage();
      return {};
    }
  }
}

StreamLoss RtspSource::Record(Connection& c) {
  for (;;) {
    if (const int rc = NextVideoPacket(c); rc < 0) return ReadLoss(c, rc);
    const AVPacket& packet = *c.packet;
    const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (!key && c.KeyFrameOverdue(c.units->keyed()))
      return {stream_loss::kNoImage,
              platform::StringPrintf(kReasonNoKeyFrame, kKeyFrameWaitSeconds)};
    c.watch.last_frame_us = c.now_us;
    // New parameter sets within the connection: frames from here decode
    // with them.
    std::size_t side_size = 0;
    const std::uint8_t* side =
        av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &side_size);
    if (side && side_size > 0) {
      auto changed = std::make_shared<VideoCodec>(*c.codec);
      changed->extradata.assign(side, side + side_size);
      c.codec = changed;
      c.codec_number = parts_.ring.AddCodec(c.codec);
    }
    const std::int64_t pts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    c.units->Take({packet.data, static_cast<std::size_t>(packet.size),
                   pts == AV_NOPTS_VALUE ? kNoTime
                                         : av_rescale_q(pts, c.time_base, AVRational{1, 1000000}),
                   key, c.now_us, c.codec_number, parts_.sessions.current()},
                  *this);
    if (!parts_.sessions.Wanted()) {
      c.units->Finish(*this);
      parts_.events.StreamingSwitchedOff();
      return {};
    }
  }
}

void RtspSource::OnUnit(const std::uint8_t* data, std::size_t size, const FoundFrame& unit) {
  FoundFrame frame = unit;
  // Lookups need the moments in order across connections too.
  frame.begin_us = std::max(unit.begin_us, last_moment_us_ + 1);
  last_moment_us_ = frame.begin_us;
  frame.begin_wall_ms =
      parts_.clock.WallMillis() - (parts_.clock.MonotonicMicros() - frame.begin_us) / 1000;
  parts_.counters.bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  if (const std::int64_t added = parts_.ring.Store(data, size, frame); added > 0)
    parts_.events.FramesIndexed(added);
}

void RtspSource::OnTooBig(std::int64_t size) {
  parts_.problems.Report(StreamProblem::kTooBig, size);
}

}  // namespace acquisition
