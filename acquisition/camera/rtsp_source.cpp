#include "acquisition/camera/rtsp_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}
#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "acquisition/camera/av_support.h"
#include "acquisition/camera/clip_muxer.h"
#include "acquisition/camera/rtsp_endpoint.h"
#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr const char* kReasonStalled = "stalled, no frame for %d s";
constexpr const char* kReasonNoVideo = "no video in the stream";
constexpr const char* kReasonCodec = "unsupported codec %s (H.264 and H.265 are recorded)";
constexpr const char* kReasonNoMemory = "no memory for the stream";
constexpr const char* kReasonRedirected = "redirected to %s (another host or port): not followed";
constexpr const char* kReasonRedirectLoop = "more than %d redirects: not followed";
constexpr const char* kReasonUnresolved = "host name %s not resolved within %d s";
constexpr const char* kReasonLookupFailed = "host name %s not resolved: %s";
constexpr const char* kCodecChanged = "Camera %d: the stream changed from %s to %s";
constexpr const char* kFirstKeyFrame = "Camera %d: first key frame after %.1f s";
constexpr const char* kPacketsLost = "Camera %d: %lld RTP packets lost in the last minute";
// What libavformat may open: RTSP and its RTP, over TCP or UDP; nothing
// else, and no other demuxer.
constexpr const char* kProtocols = "rtsp,rtp,udp,tcp";
constexpr const char* kProtocolsWithoutTcp = "rtsp,rtp,udp";
constexpr const char* kFormats = "rtsp";
// libavformat's log lines we act on (libavformat 59 to 61).
constexpr const char* kRedirectLine = "Status %d: Redirecting to %s\n";
constexpr const char* kMissedLine = "RTP: missed %d packets\n";
// Every line of a reply as libavformat reads it (at the trace level, which
// reaches our callback: levels are filtered by FFmpeg's own callback).
constexpr const char* kReplyLine = "line='%s'\n";
constexpr std::string_view kChallengeHeader = "WWW-Authenticate:";
constexpr int kMaxRedirects = 5;
// Over TCP libavformat keeps no reorder queue, and so never says which RTP
// packets were skipped; a small one tells it, delaying packets only behind
// a gap.
constexpr int kReorderQueuePackets = 16;
constexpr std::int64_t kLossLineUs = 60 * platform::kMicrosPerSecond;

std::once_flag g_network_init;

// What libavformat's log tells of the connection this thread makes.
struct Guard {
  AVFormatContext* format = nullptr;
  RtspEndpoint origin;       // where the connection was sent
  std::string origin_name;   // the host name the address was resolved from
  int redirects = 0;
  bool refused = false;      // a redirect was not followed
  std::string refused_url;   // where it pointed, fit for a log ("" for a loop)
  std::int64_t lost = 0;     // RTP packets skipped, not yet counted
  // Authentication: whether Basic may have the password (allowed, or no
  // user to send), what the context's replies offered, and whether a
  // Basic-only challenge stopped the connection before its answer.
  bool basic_allowed = true;
  bool basic_offered = false;
  bool digest_offered = false;
  bool basic_refused = false;
};

// The connection the streaming thread of this thread is making: set while
// `Transfer` runs, read by the process-wide log callback.
thread_local Guard* t_guard = nullptr;

bool Elsewhere(const Guard& g, const char* url) {
  const RtspEndpoint to = ParseRtspEndpoint(url);
  return to.port != g.origin.port || (to.host != g.origin.host && to.host != g.origin_name);
}

// libavformat has set the context's address to `location` and is about to
// connect there: without TCP among its protocols it cannot.
void Refuse(Guard& g, const char* location) {
  g.refused = true;
  g.refused_url = location ? LoggableUrl(location) : "";
  av_opt_set(g.format, "protocol_whitelist", kProtocolsWithoutTcp, 0);
}

void OnRedirect(Guard& g, const char* location) {
  if (!location) return;
  // Whether or not libavformat keeps its challenges across a redirect, the
  // new address must offer Digest itself, or its Basic alone is refused.
  g.digest_offered = false;
  if (++g.redirects > kMaxRedirects)
    Refuse(g, nullptr);
  else if (Elsewhere(g, location))
    Refuse(g, location);
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// libavformat answers the strongest challenge its context has been offered,
// Digest over Basic, once a reply has been read whole; it has no option to
// refuse Basic. So the challenges are followed line by line, and at a
// reply's end (its empty line) Basic offered, Digest never, and Basic not
// allowed stops the connection: the interrupt callback refuses every write
// from then on, the answer carrying the password included.
void OnReplyLine(Guard& g, const char* line) {
  if (!line) return;
  std::string_view text(line);
  if (text.empty()) {
    if (g.basic_offered && !g.digest_offered && !g.basic_allowed) g.basic_refused = true;
    return;
  }
  if (!StartsNoCase(text, kChallengeHeader)) return;
  text.remove_prefix(kChallengeHeader.size());
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  // libavformat takes the scheme a value begins with, "Basic " or "Digest "
  // in any case. Basic is counted by a looser rule than its own, Digest by
  // exactly its rule: a Digest counted here that libavformat did not take
  // would let its Basic answer through.
  if (StartsNoCase(text, "Basic")) g.basic_offered = true;
  if (StartsNoCase(text, "Digest ")) g.digest_offered = true;
}

// Every line of FFmpeg's log comes here; our own lines say what went wrong,
// so the rest is dropped.
void AvLog(void* object, int, const char* format, va_list args) {
  Guard* g = t_guard;
  if (!g || !format || !object || object != g->format) return;
  va_list copy;
  va_copy(copy, args);
  if (std::strcmp(format, kRedirectLine) == 0) {
    (void)va_arg(copy, int);
    OnRedirect(*g, va_arg(copy, const char*));
  } else if (std::strcmp(format, kReplyLine) == 0) {
    OnReplyLine(*g, va_arg(copy, const char*));
  } else if (std::strcmp(format, kMissedLine) == 0) {
    const int missed = va_arg(copy, int);
    if (missed > 0) g->lost += missed;
  }
  va_end(copy);
}

class GuardScope {
 public:
  explicit GuardScope(Guard* g) { t_guard = g; }
  ~GuardScope() { t_guard = nullptr; }
  GuardScope(const GuardScope&) = delete;
  GuardScope& operator=(const GuardScope&) = delete;
};

// What a connection is doing, for the interrupt callback libavformat calls
// while it waits.
struct Watch {
  const StreamingSessions* sessions;
  platform::Clock* clock;
  std::int64_t last_frame_us;
  std::int64_t stall_us;
  bool probe;
  Guard* guard = nullptr;
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
  // Should a redirect elsewhere get past the log, it goes no further.
  Guard& g = *watch->guard;
  if (!g.refused && g.format && g.format->url && Elsewhere(g, g.format->url))
    Refuse(g, g.format->url);
  return g.refused || g.basic_refused ? 1 : 0;
}

bool Recorded(AVCodecID id) { return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC; }

// The video's kind as the operator's page names it.
const char* VideoKind(AVCodecID id) { return id == AV_CODEC_ID_HEVC ? "H.265" : "H.264"; }

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

// Whether a failed TCP open may be a camera that offers RTP over UDP alone.
// The standard answer to a TCP SETUP it cannot serve is 461; some servers
// answer 400 or another 4xx/5xx (libavformat names no method in the code it
// returns). Credentials refused (401), access denied (403) and a missing
// path (404) are never tried again over UDP: one more attempt with refused
// credentials brings a camera's lock-out nearer.
bool RefusesTcp(int rc) {
  return rc == AVERROR(EPROTONOSUPPORT) || rc == AVERROR_HTTP_BAD_REQUEST ||
         rc == AVERROR_HTTP_OTHER_4XX || rc == AVERROR_HTTP_SERVER_ERROR;
}

}  // namespace

struct RtspSource::Connection {
  Connection(const Watch& w, int stall_timeout_s) : watch(w), stall_s(stall_timeout_s) {
    watch.guard = &guard;
  }

  Guard guard;
  Watch watch;
  int stall_s;
  int open_rc = 0;
  std::unique_ptr<AVFormatContext, FormatCloser> format;
  std::unique_ptr<AVPacket, AvPacketFreer> packet;
  int video = -1;
  AVRational time_base{};
  std::shared_ptr<const VideoCodec> codec;
  std::uint16_t codec_number = 0;  // 0 for a probe
  std::int64_t now_us = 0;  // when the current packet came out
  std::optional<AccessUnitAssembler> units;
};

StreamLoss RtspSource::Transfer(const StreamTarget& target, bool probe) {
  std::call_once(g_network_init, [] {
    avformat_network_init();
    av_log_set_callback(AvLog);
  });
  const std::int64_t stall_us =
      static_cast<std::int64_t>(target.stall_timeout_s) * platform::kMicrosPerSecond;
  Connection c(Watch{&parts_.sessions, &parts_.clock, parts_.clock.MonotonicMicros(), stall_us,
                     probe},
               target.stall_timeout_s);
  c.guard.basic_allowed = target.allow_basic || target.user.empty();
  GuardScope scope(&c.guard);
  std::string url;
  StreamLoss loss = Locate(c, target.url, &url);
  if (loss.kind != stream_loss::kNone || url.empty()) return loss;
  loss = OpenAny(c, url, target.transport);
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

StreamLoss RtspSource::Locate(Connection& c, const std::string& url, std::string* located) {
  c.guard.origin = ParseRtspEndpoint(url);
  const std::string host = c.guard.origin.host;
  if (host.empty() || IsAddressLiteral(host)) {
    *located = url;
    return {};
  }
  std::string address, reason;
  const Watch& w = c.watch;
  const auto stop = [&w] { return !w.probe && !w.sessions->Wanted(); };
  switch (lookup_.Resolve(host, parts_.clock, w.last_frame_us + w.stall_us, stop, &address,
                          &reason)) {
    case HostLookup::Outcome::kResolved:
      break;
    case HostLookup::Outcome::kStopped:
      return {};
    case HostLookup::Outcome::kTimedOut:
      return {stream_loss::kUnresolved,
              platform::StringPrintf(kReasonUnresolved, host.c_str(), c.stall_s)};
    case HostLookup::Outcome::kFailed:
      return {stream_loss::kUnresolved,
              platform::StringPrintf(kReasonLookupFailed, host.c_str(), reason.c_str())};
  }
  c.guard.origin_name = host;
  c.guard.origin.host = address;
  *located = WithHost(url, address);
  return {};
}

StreamLoss RtspSource::OpenAny(Connection& c, const std::string& url, RtspTransport transport) {
  if (transport == RtspTransport::kUdp) return Open(c, url, "udp");
  StreamLoss loss = Open(c, url, "tcp");
  if (transport == RtspTransport::kAuto && !c.format && RefusesTcp(c.open_rc))
    loss = Open(c, url, "udp");
  return loss;
}

StreamLoss RtspSource::Open(Connection& c, const std::string& url, const char* transport) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return {stream_loss::kVideo, kReasonNoMemory};
  raw->interrupt_callback = {Interrupt, &c.watch};
  c.guard.format = raw;
  // A new context has been offered nothing yet.
  c.guard.basic_offered = c.guard.digest_offered = false;
  AVDictionary* options = nullptr;
  const bool tcp = std::strcmp(transport, "tcp") == 0;
  av_dict_set(&options, "rtsp_transport", transport, 0);
  // Only the video track is set up: no audio is sent for nothing.
  av_dict_set(&options, "allowed_media_types", "video", 0);
  av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
  av_dict_set(&options, "format_whitelist", kFormats, 0);
  if (tcp) av_dict_set_int(&options, "reorder_queue_size", kReorderQueuePackets, 0);
  // Socket reads give up with the stall time-out as well (the interrupt
  // callback also covers connecting).
  av_dict_set_int(&options, "timeout", c.watch.stall_us, 0);
  c.open_rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (c.open_rc >= 0) {
    c.format.reset(raw);
    transport_ = tcp ? "TCP" : "UDP";
    return {};
  }
  // avformat_open_input frees the context on failure.
  c.guard.format = nullptr;
  return OpenLoss(c, c.open_rc);
}

StreamLoss RtspSource::OpenLoss(const Connection& c, int rc) const {
  if (c.guard.basic_refused) return {stream_loss::kBasicRefused, stream_loss::kReasonBasicRefused};
  if (c.guard.refused && c.guard.refused_url.empty())
    return {stream_loss::kRedirect, platform::StringPrintf(kReasonRedirectLoop, kMaxRedirects)};
  if (c.guard.refused)
    return {stream_loss::kRedirect,
            platform::StringPrintf(kReasonRedirected, c.guard.refused_url.c_str())};
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
  parts_.report.SetVideo(VideoKind(parameters->codec_id), parameters->width, parameters->height);
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
  opened_us_ = parts_.clock.MonotonicMicros();
  first_key_logged_ = false;
  size_unknown_ = parameters->width > 0 && parameters->height > 0 ? nullptr : codec;
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
  // A keep-alive request may meet a Basic challenge too.
  if (c.guard.basic_refused) return {stream_loss::kBasicRefused, stream_loss::kReasonBasicRefused};
  if (c.watch.switched_off) return {};
  if (c.watch.stalled)
    return {stream_loss::kStalled, platform::StringPrintf(kReasonStalled, c.stall_s)};
  if (rc == AVERROR_EOF) return {stream_loss::kClosed, stream_loss::kReasonClosed};
  return {stream_loss::kVideo - rc, AvErrorText(rc)};
}

StreamLoss RtspSource::Probe(Connection& c) {
  // The camera sends video: it is alive, key frame or not.
  if (const int rc = NextVideoPacket(c); rc < 0) return ReadLoss(c, rc);
  parts_.events.ProbeSawImage();
  return {};
}

StreamLoss RtspSource::Record(Connection& c) {
  for (;;) {
    if (const int rc = NextVideoPacket(c); rc < 0) return ReadLoss(c, rc);
    const AVPacket& packet = *c.packet;
    const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    // Packets keep the connection up, key frame or not: a camera whose key
    // frames come a minute apart is recorded from its first.
    c.watch.last_frame_us = c.now_us;
    CountLost(c);
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

void RtspSource::CountLost(Connection& c) {
  if (c.guard.lost > 0) {
    // The frame being gathered misses bytes, and those after it refer to it.
    c.units->Drop();
    parts_.counters.rtp_packets_lost.fetch_add(c.guard.lost, std::memory_order_relaxed);
    lost_unlogged_ += c.guard.lost;
    c.guard.lost = 0;
  }
  if (lost_unlogged_ == 0 || (loss_logged_ && c.now_us - loss_line_us_ < kLossLineUs)) return;
  parts_.log.Log(platform::StringPrintf(kPacketsLost, parts_.log.camera_number(),
                                        static_cast<long long>(lost_unlogged_)),
                 core::ReportLevel::kInfo);
  lost_unlogged_ = 0;
  loss_line_us_ = c.now_us;
  loss_logged_ = true;
}

void RtspSource::OnUnit(const std::uint8_t* data, std::size_t size, const FoundFrame& unit) {
  FoundFrame frame = unit;
  frame.begin_wall_ms =
      parts_.clock.WallMillis() - (parts_.clock.MonotonicMicros() - frame.begin_us) / 1000;
  if (frame.key && !first_key_logged_) {
    first_key_logged_ = true;
    parts_.log.Log(
        platform::StringPrintf(kFirstKeyFrame, parts_.log.camera_number(),
                               static_cast<double>(parts_.clock.MonotonicMicros() - opened_us_) /
                                   platform::kMicrosPerSecond),
        core::ReportLevel::kInfo);
  }
  if (frame.key && size_unknown_) {
    const ClipFormat format = ClipFormatOf(size_unknown_.get(), data, static_cast<int>(size), 0);
    parts_.report.SetVideo(VideoKind(static_cast<AVCodecID>(size_unknown_->codec_id)),
                           format.width, format.height);
    size_unknown_.reset();
  }
  parts_.counters.bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  if (const std::int64_t added = parts_.ring.Store(data, size, frame); added > 0)
    parts_.events.FramesIndexed(added);
}

void RtspSource::OnTooBig(std::int64_t size) {
  parts_.problems.Report(StreamProblem::kTooBig, size, kRtspFrameLimit);
}

void RtspSource::OnClockStep(std::int64_t step_us) {
  parts_.problems.Report(StreamProblem::kClockStep, step_us / 1000);
}

}  // namespace acquisition
