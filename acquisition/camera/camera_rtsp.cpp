// The RTSP stream of a camera: H.264 or H.265 received with libavformat
// (RTP over TCP), each compressed frame stored in the ring as it arrives and
// indexed with its capture moment and whether decoding can start at it.
// Nothing is decoded here: a job decodes the frames it wants (image_reader).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/camera/av_support.h"
#include "acquisition/camera/camera.h"
#include "acquisition/camera/rtsp_address.h"
#include "acquisition/camera/stream_loss.h"
#include "core/metrics.h"
#include "platform/clock.h"
#include "platform/strings.h"

namespace {

constexpr const char* kReasonStalled = "stalled, no frame for %d s";
constexpr const char* kReasonNoVideo = "no video in the stream";
constexpr const char* kReasonCodec = "unsupported codec %s (H.264 and H.265 are recorded)";
constexpr const char* kReasonNoKeyFrame = "no key frame within %d s";
constexpr const char* kCodecChanged = "Camera %d: the stream changed from %s to %s";
// A key frame comes every few seconds from any camera set up for
// recording; one that keeps none for this long cannot be decoded.
constexpr int kKeyFrameWaitSeconds = 10;

std::once_flag g_network_init;

// What a connection is doing, for the interrupt callback libavformat calls
// while it waits.
struct Watch {
  CCamera* camera;
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
  if (!watch->probe && watch->camera->streaming() != 1) {
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

CCamera::StreamLoss CCamera::RtspTransfer(bool probe) {
  std::call_once(g_network_init, [] {
    avformat_network_init();
    // Our own lines say what went wrong; FFmpeg's would flood the console.
    av_log_set_level(AV_LOG_QUIET);
  });
  const int stall = stall_timeout_s_.load();
  Watch watch{this, &clock_, clock_.MonotonicMicros(), static_cast<std::int64_t>(stall) * 1000000,
              probe};
  stalled_ = probe_too_slow_ = false;

  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return {stream_loss::kVideo, "no memory for the stream"};
  raw->interrupt_callback = {Interrupt, &watch};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", "tcp", 0);
  // Socket reads give up with the stall time-out as well (the interrupt
  // callback also covers name lookup and connecting).
  av_dict_set_int(&options, "timeout", static_cast<std::int64_t>(stall) * 1000000, 0);
  const std::string url = RtspAddress(address, port, request_uri_, user_name, password);
  int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) {
    // avformat_open_input frees the context on failure.
    if (watch.switched_off) return {};
    if (watch.stalled)
      return {stream_loss::kConnectTimeout,
              platform::StringPrintf(stream_loss::kReasonConnectTimeout, stall)};
    if (rc == AVERROR_HTTP_UNAUTHORIZED)
      return {stream_loss::kStatus + 401, stream_loss::kReasonUnauthorized};
    if (rc == AVERROR_HTTP_NOT_FOUND)
      return {stream_loss::kStatus + 404, stream_loss::kReasonNotFound};
    if (rc == AVERROR(ECONNREFUSED))
      return {stream_loss::kVideo - rc,
              platform::StringPrintf(stream_loss::kReasonRefused, AvErrorText(rc).c_str())};
    return {stream_loss::kVideo - rc, AvErrorText(rc)};
  }
  std::unique_ptr<AVFormatContext, FormatCloser> format(raw);

  int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) return {stream_loss::kNoVideo, kReasonNoVideo};
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    if (static_cast<int>(i) != video) raw->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* stream = raw->streams[video];
  const AVCodecParameters* parameters = stream->codecpar;
  const char* codec_name = avcodec_get_name(parameters->codec_id);
  if (!Recorded(parameters->codec_id))
    return {stream_loss::kCodec, platform::StringPrintf(kReasonCodec, codec_name)};
  // A camera set up anew with another codec: its older frames keep theirs.
  if (!last_codec_name_.empty() && last_codec_name_ != codec_name)
    Log(platform::StringPrintf(kCodecChanged, camera_number_, last_codec_name_.c_str(), codec_name),
        ReportLevel::kInfo);
  last_codec_name_ = codec_name;
  auto codec = std::make_shared<VideoCodec>();
  codec->codec_id = parameters->codec_id;
  codec->name = codec_name;
  if (parameters->extradata && parameters->extradata_size > 0)
    codec->extradata.assign(parameters->extradata,
                            parameters->extradata + parameters->extradata_size);
  // The camera answered: a probe has its description, a stream its first
  // parameters.
  const std::uint16_t codec_number = probe ? 0 : AddCodec(codec);

  std::unique_ptr<AVPacket, AvPacketFreer> packet(av_packet_alloc());
  if (!packet) return {stream_loss::kVideo, "no memory for the stream"};
  const AVRational time_base = stream->time_base;
  const std::int64_t opened_us = clock_.MonotonicMicros();
  CaptureClock clock;
  bool keyed = false;  // a key frame came since the connection (or a lost frame)
  bool wanted_before = streaming_.load() == 1;
  std::uint16_t current_codec = codec_number;
  // The frame being gathered. The parser may hand one frame over in several
  // pieces (a slice each, or its parameter sets apart), and gives the first
  // piece of a connection no time; a decoder wants the whole frame in one
  // piece. So frames are told apart by their own bytes: a piece that holds
  // the first slice of a picture begins a frame, together with the
  // parameter sets and messages that came just before it; the other slices
  // of the picture join it. A frame is stored once the next one begins.
  const bool hevc = parameters->codec_id == AV_CODEC_ID_HEVC;
  std::vector<std::uint8_t> unit;
  std::int64_t unit_pts = AV_NOPTS_VALUE;
  FoundFrame unit_frame;
  bool unit_open = false;
  std::int64_t unit_arrival_us = 0;  // when its first piece came out
  int unit_pieces = 0;
  std::vector<std::uint8_t> lead;  // parameter sets and messages before a picture
  bool lead_key = false;
  std::int64_t lead_arrival_us = 0;
  // The first frame of a connection comes without a time: it is held until
  // the next one tells it (the demuxer counts times from the first frame).
  std::vector<std::uint8_t> held;
  FoundFrame held_frame;
  bool holding = false;
  bool dated_any = false;
  auto store = [&] {
    if (!unit_open) return;
    unit_open = false;
    if (unit.size() > static_cast<std::size_t>(kMaxFrameBytes)) {
      // The frames after it refer to it: recorded again from the next key frame.
      OnStreamProblem(StreamProblem::kTooBig, static_cast<std::int64_t>(unit.size()));
      keyed = false;
      holding = false;
      return;
    }
    // Frames before the first key frame cannot be decoded: not recorded.
    if (!unit_frame.key && !keyed) return;
    keyed = true;
    if (unit_pts == AV_NOPTS_VALUE && !dated_any && !holding) {
      held.swap(unit);
      held_frame = unit_frame;
      holding = true;
      clock.Prime(0);
      return;
    }
    auto dated = [&](std::int64_t moment, FoundFrame* frame) {
      // Lookups need the moments in order across connections too.
      moment = std::max(moment, last_moment_us_ + 1);
      last_moment_us_ = moment;
      frame->begin_us = moment;
      frame->begin_wall_ms = clock_.WallMillis() - (clock_.MonotonicMicros() - moment) / 1000;
    };
    // Another frame without a time is dated by its arrival.
    const std::int64_t pts_us =
        unit_pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(unit_pts, time_base, AVRational{1, 1000000});
    const std::int64_t moment = unit_pts == AV_NOPTS_VALUE
                                    ? unit_arrival_us
                                    : clock.Moment(pts_us, unit_arrival_us, unit_pieces == 1);
    if (holding) {
      holding = false;
      dated(std::min(moment - pts_us, moment - 1), &held_frame);
      ConsumePacket(held.data(), held.size(), held_frame);
    }
    dated_any = true;
    dated(moment, &unit_frame);
    ConsumePacket(unit.data(), unit.size(), unit_frame);
  };
  StreamLoss loss;
  if (!probe) finder_.Reset();
  for (;;) {
    rc = av_read_frame(raw, packet.get());
    if (rc < 0) {
      if (watch.switched_off) break;
      if (watch.stalled) {
        loss = {stream_loss::kStalled, platform::StringPrintf(kReasonStalled, stall)};
      } else if (rc == AVERROR_EOF) {
        loss = {stream_loss::kClosed, stream_loss::kReasonClosed};
      } else {
        loss = {stream_loss::kVideo - rc, AvErrorText(rc)};
      }
      break;
    }
    const std::int64_t now = clock_.MonotonicMicros();
    if (packet->stream_index != video || packet->size <= 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!keyed && !key && now - opened_us >= kKeyFrameWaitSeconds * 1000000LL) {
      loss = {stream_loss::kNoImage,
              platform::StringPrintf(kReasonNoKeyFrame, kKeyFrameWaitSeconds)};
      break;
    }
    watch.last_frame_us = now;
    if (probe) {
      if (!key) {
        av_packet_unref(packet.get());
        continue;
      }
      Refresh(false);
      NoteUp();
      break;
    }
    // New parameter sets within the connection: frames from here decode
    // with them.
    std::size_t side_size = 0;
    const std::uint8_t* side =
        av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &side_size);
    if (side && side_size > 0) {
      auto changed = std::make_shared<VideoCodec>(*codec);
      changed->extradata.assign(side, side + side_size);
      codec = changed;
      current_codec = AddCodec(codec);
    }
    const std::int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const std::uint8_t* data = packet->data;
    const std::size_t size = static_cast<std::size_t>(packet->size);
    switch (ClassifyPiece(data, size, hevc)) {
      case PieceKind::kBeginsPicture:
        store();
        unit.assign(lead.begin(), lead.end());
        unit.insert(unit.end(), data, data + size);
        unit_arrival_us = lead.empty() ? now : lead_arrival_us;
        unit_pieces = lead.empty() ? 1 : 2;
        unit_pts = pts;
        unit_frame = FoundFrame{};
        unit_frame.session = session_.load();
        unit_frame.codec = current_codec;
        unit_frame.key = key || lead_key;
        unit_open = true;
        lead.clear();
        lead_key = false;
        break;
      case PieceKind::kContinuesPicture:
        // Without the start of its picture (a connection's first piece) it
        // is of no use.
        if (unit_open) {
          unit.insert(unit.end(), data, data + size);
          ++unit_pieces;
          unit_frame.key = unit_frame.key || key;
          if (unit_pts == AV_NOPTS_VALUE) unit_pts = pts;
        }
        break;
      case PieceKind::kNoPicture:
        if (lead.empty()) lead_arrival_us = now;
        lead.insert(lead.end(), data, data + size);
        lead_key = lead_key || key;
        break;
    }
    av_packet_unref(packet.get());
    if (streaming_.load() != 1) {
      store();
      NoteStreamingOff();
      break;
    }
  }
  // A frame cut by a lost connection may lack its last slices: it is not
  // stored.
  if (!probe) {
    EndTransfer();
    counters_.streaming.store(0);
  }
  if (loss.kind == stream_loss::kClosed && !(wanted_before && streaming_.load() == 1)) return {};
  return loss;
}
