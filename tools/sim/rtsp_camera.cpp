#include "rtsp_camera.h"

#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "frame_mark.h"
#include "http.h"
#include "jpeg_frame.h"
#include "rtp_rewrite.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// One interleaved frame on the video's RTP channel holding `size` bytes of
// junk behind an RTP header of version 2 (so a client does not skip it as
// no RTP at all): the sequence, time and source are noise too.
std::string Junk(int size, std::uint64_t seed) {
  std::string frame = "$";
  frame += '\0';
  frame += static_cast<char>((size >> 8) & 0xFF);
  frame += static_cast<char>(size & 0xFF);
  std::uint64_t x = seed * 6364136223846793005ULL + 1442695040888963407ULL;
  for (int i = 0; i < size; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    frame += static_cast<char>(x >> 56);
  }
  if (size >= 2) {
    frame[4] = static_cast<char>(0x80);
    frame[5] = static_cast<char>(96);
  }
  return frame;
}

// The data key that ties a GStreamer client to our connection.
constexpr const char* kConnectionKey = "ocelam-sim-connection";
// Frames an encoder may have waiting; older ones give way to newer ones, as
// a live camera drops frames rather than falls behind.
constexpr int kQueuedFrames = 3;
// The relay moves this much per receive.
constexpr std::size_t kRelayChunk = 65536;

// One GLib main loop on a thread of its own serves the RTSP servers of every
// camera; made with the first RTSP camera, ended with the last.
class GstThread {
 public:
  static std::shared_ptr<GstThread> Get() {
    static std::mutex mu;
    static std::weak_ptr<GstThread> current;
    std::lock_guard<std::mutex> lock(mu);
    std::shared_ptr<GstThread> thread = current.lock();
    if (!thread) {
      thread = std::make_shared<GstThread>();
      current = thread;
    }
    return thread;
  }

  GstThread() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this] {
      // The clients the servers take on attach to the thread's default
      // context: this one.
      g_main_context_push_thread_default(context_);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }
  ~GstThread() {
    Run([this] { g_main_loop_quit(loop_); });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }
  GstThread(const GstThread&) = delete;
  GstThread& operator=(const GstThread&) = delete;

  GMainContext* context() const { return context_; }

  // Runs `work` on the loop's thread and waits for it (directly when
  // called there).
  void Run(const std::function<void()>& work) {
    struct Call {
      const std::function<void()>* work;
      std::mutex mu;
      std::condition_variable done_cv;
      bool done = false;
    } call{&work, {}, {}, false};
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Call*>(data);
          (*c->work)();
          std::lock_guard<std::mutex> lock(c->mu);
          c->done = true;
          c->done_cv.notify_all();
          return G_SOURCE_REMOVE;
        },
        &call);
    std::unique_lock<std::mutex> lock(call.mu);
    call.done_cv.wait(lock, [&] { return call.done; });
  }

 private:
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
};

// The encoder of `s` up to its output (H.264 as byte-stream access units).
std::string Encoder(const CameraSettings& s) {
  switch (s.codec) {
    case CameraSettings::Codec::kH265:
      // x265 wants a lookahead longer than a run of B-frames; zerolatency
      // has none.
      return StringPrintf(
          "x265enc name=enc tune=zerolatency speed-preset=ultrafast key-int-max=%d bitrate=%d%s ! "
          "video/x-h265,stream-format=byte-stream,alignment=au",
          s.gop, s.bitrate,
          s.bframes > 0
              ? StringPrintf(" option-string=\"bframes=%d:rc-lookahead=%d\"", s.bframes,
                             s.bframes + 1)
                    .c_str()
              : "");
    case CameraSettings::Codec::kJpeg:
      return "jpegenc name=enc";
    default:
      // One thread: x264's sliced threads would cut every frame in slices,
      // which `slices` asks for on purpose.
    {
      // x264's options after its tune (zerolatency turns B-frames off):
      // B-frames in every run (b-adapt 0), so that presentation order
      // always differs from decoding order; the baseline profile, which
      // x264enc picks when nothing asks for more, has none.
      std::string options;
      if (s.slices > 0) options += StringPrintf(":slices=%d", s.slices);
      if (s.bframes > 0) options += StringPrintf(":bframes=%d:b-adapt=0", s.bframes);
      return StringPrintf(
          "x264enc name=enc tune=zerolatency speed-preset=ultrafast key-int-max=%d bitrate=%d "
          "threads=1%s ! video/x-h264,stream-format=byte-stream,alignment=au%s",
          s.gop, s.bitrate,
          options.empty() ? "" : (" option-string=\"" + options.substr(1) + "\"").c_str(),
          s.bframes > 0 ? ",profile=main" : "");
    }
  }
}

std::string RawCaps(const CameraSettings& s) {
  gint num = 0, den = 1;
  gst_util_double_to_fraction(s.fps, &num, &den);
  return StringPrintf("video/x-raw,format=I420,width=%d,height=%d,framerate=%d/%d", s.width,
                      s.height, num, den);
}

std::string Launch(const CameraSettings& s) {
  const char* payloader = s.codec == CameraSettings::Codec::kH265   ? "rtph265pay"
                          : s.codec == CameraSettings::Codec::kJpeg ? "rtpjpegpay"
                                                                    : "rtph264pay";
  const int type = s.codec == CameraSettings::Codec::kJpeg ? 26 : 96;
  const char* extra = s.codec == CameraSettings::Codec::kJpeg ? "" : " config-interval=-1";
  // A replaying camera's source gives encoded frames (see EncodedLoop).
  std::string caps = s.replay > 0 ? (s.codec == CameraSettings::Codec::kH265
                                         ? "video/x-h265,stream-format=byte-stream,alignment=au"
                                         : "video/x-h264,stream-format=byte-stream,alignment=au")
                                  : RawCaps(s);
  std::string body = s.replay > 0 ? std::string() : Encoder(s) + " ! ";
  // The audio: a live tone in A-law, as a camera's G.711 microphone.
  const char* audio = s.audio ? " audiotestsrc name=asrc is-live=true wave=sine freq=440 "
                                "samplesperbuffer=160 ! "
                                "audio/x-raw,rate=8000,channels=1 ! alawenc ! "
                                "rtppcmapay name=pay1 pt=8"
                              : "";
  return StringPrintf(
      "( appsrc name=src is-live=true format=time do-timestamp=true max-buffers=%d "
      "leaky-type=downstream caps=\"%s\" ! %s%s name=pay0 pt=%d%s%s )",
      kQueuedFrames, caps.c_str(), body.c_str(), payloader, type, extra, audio);
}

// What the encoder's output gets on its way to the payloader: key frames
// dropped (nokey), filler data added to every frame (pad) or to key frames
// (keypad), the SPS made to announce 16384x16384 (hugesps).
struct EncoderFaults {
  bool nokey = false;
  bool h265 = false;
  bool hugesps = false;
  int pad = 0;
  int keypad = 0;

  static EncoderFaults Of(const CameraSettings& s) {
    return {s.nokey, s.codec == CameraSettings::Codec::kH265, s.hugesps, s.pad, s.keypad};
  }
  bool any() const { return nokey || hugesps || pad > 0 || keypad > 0; }
};

// The picture size a hugesps stream announces.
constexpr int kHugeSide = 16384;

GstBuffer* WithBytes(GstBuffer* buffer, std::string bytes) {
  GstBuffer* out = gst_buffer_new_memdup(bytes.data(), bytes.size());
  gst_buffer_copy_into(out, buffer, GstBufferCopyFlags(GST_BUFFER_COPY_METADATA), 0, -1);
  gst_buffer_unref(buffer);
  return out;
}

GstPadProbeReturn ApplyEncoderFaults(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const auto* faults = static_cast<const EncoderFaults*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer == nullptr) return GST_PAD_PROBE_OK;
  const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  if (faults->nokey && key) return GST_PAD_PROBE_DROP;
  if (faults->hugesps && key) {
    GstMapInfo map;
    std::string rewritten;
    bool changed = false;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      changed = RewriteSpsPicture(
          std::string_view(reinterpret_cast<const char*>(map.data), map.size), kHugeSide,
          kHugeSide, &rewritten);
      gst_buffer_unmap(buffer, &map);
    }
    if (changed) buffer = WithBytes(buffer, std::move(rewritten));
  }
  const int pad = faults->pad + (key ? faults->keypad : 0);
  if (pad > 0) {
    // Decoders skip a filler NAL unit; the stream carries it.
    buffer = gst_buffer_make_writable(buffer);
    auto* filler = new std::string(FillerNal(faults->h265, static_cast<std::size_t>(pad)));
    gst_buffer_append_memory(
        buffer, gst_memory_new_wrapped(GstMemoryFlags(0), filler->data(), filler->size(), 0,
                                       filler->size(), filler,
                                       [](gpointer p) { delete static_cast<std::string*>(p); }));
  }
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

// The frames of a replaying camera: `replay` frames drawn and encoded once
// (cameras of the same settings share them) and sent over and over, so that
// a benchmark's many large cameras cost the simulator next to nothing.
struct EncodedLoop {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<bool> key;
};

std::shared_ptr<const EncodedLoop> LoopFor(const CameraSettings& s) {
  static std::mutex mu;
  static std::map<std::string, std::shared_ptr<const EncodedLoop>> loops;
  const std::string name =
      Encoder(s) + RawCaps(s) +
      StringPrintf(" %d %d %d %d %d", s.replay, s.pad, s.keypad, s.nokey ? 1 : 0, s.hugesps ? 1 : 0);
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = loops.find(name); it != loops.end()) return it->second;
  auto loop = std::make_shared<EncodedLoop>();
  const std::string text = "appsrc name=src format=time block=true caps=\"" + RawCaps(s) + "\" ! " +
                           Encoder(s) + " ! appsink name=sink sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(text.c_str(), &error);
  if (error != nullptr) g_error_free(error);
  if (pipeline == nullptr) return loop;
  GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "enc");
  EncoderFaults faults = EncoderFaults::Of(s);
  if (encoder != nullptr && faults.any()) {
    GstPad* pad = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, ApplyEncoderFaults, &faults, nullptr);
    gst_object_unref(pad);
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  const std::size_t luma = static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height);
  for (int n = 0; n < s.replay; ++n) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, luma * 3 / 2, nullptr);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
      DrawFrameMark(static_cast<std::uint32_t>(n), map.data, s.width, s.height, s.width);
      std::memset(map.data + luma, 128, luma / 2);
      gst_buffer_unmap(buffer, &map);
    }
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(static_cast<double>(n) * GST_SECOND / s.fps);
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(source));
  while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      loop->frames.emplace_back(map.data, map.data + map.size);
      loop->key.push_back(!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (encoder != nullptr) gst_object_unref(encoder);
  gst_object_unref(sink);
  gst_object_unref(source);
  gst_object_unref(pipeline);
  loops[name] = loop;
  return loop;
}

// Applies `edit` to every buffer of a probe (one, or each of a list):
// `edit(GstBuffer**)` may replace the buffer (unreferencing the old one)
// and returns false to leave it out.
template <typename Edit>
GstPadProbeReturn EditBuffers(GstPadProbeInfo* info, Edit& edit) {
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) != 0) {
    GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
    GST_PAD_PROBE_INFO_DATA(info) = list;
    gst_buffer_list_foreach(
        list,
        [](GstBuffer** buffer, guint, gpointer data) -> gboolean {
          if (!(*static_cast<Edit*>(data))(buffer)) {
            gst_buffer_unref(*buffer);
            *buffer = nullptr;
          }
          return TRUE;
        },
        &edit);
    return gst_buffer_list_length(list) == 0 ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer == nullptr) return GST_PAD_PROBE_OK;
  if (!edit(&buffer)) return GST_PAD_PROBE_DROP;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

// Replaces `*buffer` by the result of `change(std::string*)` on a copy of
// its bytes, when `change` returns true.
template <typename Change>
void RewriteBytes(GstBuffer** buffer, Change change) {
  GstMapInfo map;
  if (!gst_buffer_map(*buffer, &map, GST_MAP_READ)) return;
  std::string bytes(reinterpret_cast<const char*>(map.data), map.size);
  gst_buffer_unmap(*buffer, &map);
  if (change(&bytes)) *buffer = WithBytes(*buffer, std::move(bytes));
}

// The video RTP packets of one media on their way out: every Nth left out
// (rtploss), made into one endless frame (noend), timestamps jumping
// (tsjump). A shared camera's first frame is left out too: encoded when the
// media was prepared, it waits until the first client plays, stale by then,
// and with it every client starts in the middle of a group of pictures.
struct VideoFaults {
  std::shared_ptr<RtspCamera::Wire> wire;
  bool noend = false;
  bool tsjump = false;
  bool shared = false;
  std::uint64_t packets = 0;
  EndlessFrame endless;
  bool first_seen = false;
  bool first_over = false;
  std::uint32_t first_timestamp = 0;

  bool operator()(GstBuffer** buffer) {
    if (shared && !first_over && FirstFrame(*buffer)) return false;
    const int loss = wire->rtploss.load();
    if (loss > 0 && ++packets % static_cast<std::uint64_t>(loss) == 0) {
      ++wire->lost;
      return false;
    }
    if (noend) {
      RewriteBytes(buffer, [&](std::string* p) {
        std::string out;
        if (!EndlessFragment(*p, &endless, &out)) return false;
        *p = std::move(out);
        return true;
      });
    }
    if (tsjump) {
      // Every other second of media time is sent 3 s ahead: the
      // timestamps jump 3 s forward, then 2 s back.
      constexpr std::uint32_t kVideoRate = 90000;
      RewriteBytes(buffer, [](std::string* p) {
        return (RtpTimestamp(*p) / kVideoRate) % 2 == 1 && ShiftRtpTimestamp(p, 3 * kVideoRate);
      });
    }
    return true;
  }

  bool FirstFrame(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
    const std::uint32_t ts =
        RtpTimestamp(std::string_view(reinterpret_cast<const char*>(map.data), map.size));
    gst_buffer_unmap(buffer, &map);
    if (!first_seen) {
      first_seen = true;
      first_timestamp = ts;
    }
    first_over = ts != first_timestamp;
    return !first_over;
  }
};

// The RTCP sender reports of one media, with the camera's clock steps.
struct ReportFaults {
  std::shared_ptr<RtspCamera::Wire> wire;
  bool operator()(GstBuffer** buffer) {
    const std::int64_t shift = wire->clock_shift_ms.load();
    if (shift != 0)
      RewriteBytes(buffer, [&](std::string* p) { return ShiftSenderReports(p, shift) > 0; });
    return true;
  }
};

template <typename Faults>
void AddPacketProbe(GstPad* pad, Faults* faults) {
  gst_pad_add_probe(
      pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      [](GstPad*, GstPadProbeInfo* info, gpointer data) {
        return EditBuffers(info, *static_cast<Faults*>(data));
      },
      faults, [](gpointer data) { delete static_cast<Faults*>(data); });
}

// Puts the probes on the rtpbin of a prepared media: its RTP (session 0,
// the video) and RTCP source pads. Once per media.
void AddMediaProbes(GstRTSPMedia* media, const VideoFaults& video,
                    const std::shared_ptr<RtspCamera::Wire>& wire) {
  static constexpr const char* kProbedKey = "ocelam-sim-probed";
  if (g_object_get_data(G_OBJECT(media), kProbedKey) != nullptr) return;
  g_object_set_data(G_OBJECT(media), kProbedKey, GINT_TO_POINTER(1));
  GstElement* element = gst_rtsp_media_get_element(media);
  GstObject* pipeline = gst_object_get_parent(GST_OBJECT(element));
  gst_object_unref(element);
  if (pipeline == nullptr) return;
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* e = GST_ELEMENT(g_value_get_object(&item));
    if (std::strcmp(G_OBJECT_TYPE_NAME(e), "GstRtpBin") == 0) {
      for (GList* l = e->srcpads; l != nullptr; l = l->next) {
        GstPad* pad = GST_PAD(l->data);
        const std::string name = GST_PAD_NAME(pad);
        if (name == "send_rtp_src_0") {
          AddPacketProbe(pad, new VideoFaults(video));
        } else if (name.rfind("send_rtcp_src_", 0) == 0) {
          AddPacketProbe(pad, new ReportFaults{wire});
        }
      }
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  gst_object_unref(pipeline);
}

GstRTSPLowerTrans LowerTransports(CameraSettings::Transport t) {
  switch (t) {
    case CameraSettings::Transport::kUdp:
      return GST_RTSP_LOWER_TRANS_UDP;
    case CameraSettings::Transport::kTcp:
      return GST_RTSP_LOWER_TRANS_TCP;
    case CameraSettings::Transport::kAny:
      break;
  }
  return GstRTSPLowerTrans(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_UDP_MCAST |
                           GST_RTSP_LOWER_TRANS_TCP);
}

// The value of header `name` (lower case, with the colon) in a request
// head, blanks trimmed; empty when missing.
std::string HeaderValue(std::string_view head, std::string_view name) {
  std::string lower(head);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::size_t at = lower.find("\r\n" + std::string(name));
  if (at == std::string::npos) return "";
  std::size_t from = at + 2 + name.size();
  const std::size_t end = head.find("\r\n", from);
  while (from < end && head[from] == ' ') ++from;
  return std::string(head.substr(from, end - from));
}

std::size_t ContentLength(std::string_view head) {
  static constexpr std::string_view kName = "\r\ncontent-length:";
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
       at = head.find("\r\n", at + 2)) {
    if (head.size() - at < kName.size()) break;
    bool same = true;
    for (std::size_t k = 0; k < kName.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(head[at + k])) == kName[k];
    if (same) {
      long n = std::strtol(std::string(head.substr(at + kName.size(), 12)).c_str(), nullptr, 10);
      return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
  }
  return 0;
}

// Connects a pair of loopback TCP sockets through `listener` (the
// camera's own, on `port`): the RTSP server takes a client only on an
// internet socket. Callers take turns (the camera's pair_mu_).
bool LoopbackPair(int listener, int port, Fd* ours, Fd* theirs) {
  Fd a(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!a.valid() || connect(a.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return false;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  getsockname(a.get(), reinterpret_cast<sockaddr*>(&local), &size);
  // A connection of someone else's on the private port is closed.
  for (int tries = 0; tries < 16; ++tries) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    sockaddr_in peer{};
    size = sizeof peer;
    Fd b(accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
    if (b.valid() && peer.sin_port == local.sin_port) {
      *ours = std::move(a);
      *theirs = std::move(b);
      return true;
    }
  }
  return false;
}

}  // namespace

// The RTSP server of one camera; its objects are touched on the GStreamer
// thread only.
struct RtspCamera::Server {
  std::shared_ptr<GstThread> gst = GstThread::Get();
  GstRTSPServer* server = nullptr;
  GSource* session_watch = nullptr;
  std::string mounted;                   // the path of the mounted factory
  GstRTSPMedia* shared_media = nullptr;  // a shared camera's media, prepared once more by us
  std::shared_ptr<Connection> handover;  // the connection being handed to the server
};

// One accepted connection and what its relay learnt.
struct RtspCamera::Connection {
  std::uint64_t number = 0;
  std::atomic<bool> ended{false};
  std::mutex mu;
  int client = -1;  // guarded by mu; -1 once the relay is over

  // Ends the connection from outside (the drop fault).
  void Drop() {
    std::lock_guard<std::mutex> lock(mu);
    if (client >= 0) shutdown(client, SHUT_RDWR);
  }

  // Relay thread only: requests waiting for their response, the bytes of a
  // request not complete yet, and where the server's byte stream stands.
  struct Pending {
    std::string bytes;
    std::int64_t time_us = 0;
    bool play = false;
  };
  std::deque<Pending> pending;
  std::string incoming;
  std::string reply;      // the start of a response head or of an interleaved frame
  std::size_t skip = 0;   // bytes of a body or an interleaved frame still to pass
  bool in_frame = false;  // the bytes to pass are of the video's RTP channel
  std::uint64_t junk_sent = 0;
};

// Draws the frames of one media (one client) and pushes them at their due
// times.
struct RtspCamera::Feeder {
  std::shared_ptr<Connection> conn;  // null when the client was not ours
  GstElement* source = nullptr;      // owned reference to the appsrc
  gulong handler = 0;                // its need-data handler
  int width = 0;
  int height = 0;
  int replay = 0;  // the frames of `replay_settings`, encoded once
  CameraSettings replay_settings;
  bool wanted = false;  // guarded by the camera's mu_: the pipeline asked for data
  bool shared = false;   // feeds a shared camera's media: ends when retired, not with a client
  bool retired = false;  // guarded by the camera's mu_
  std::thread thread;
};

RtspCamera::RtspCamera(const CameraSettings& settings, Clock::time_point clock_start,
                       RequestSink* sink)
    : id_(settings.id),
      wanted_port_(settings.port),
      sink_(sink),
      settings_(settings),
      epoch_(clock_start),
      fps_(settings.fps),
      server_(std::make_unique<Server>()),
      requests_("camera", settings.id, sink) {
  // Real time of the clock's zero, as near as two readings get.
  wire_->rtploss = settings.rtploss;
  epoch_realtime_us_ =
      NowRealtimeUs() -
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - clock_start).count();
  server_->gst->Run([this, settings] {
    server_->server = gst_rtsp_server_new();
    g_signal_connect(server_->server, "client-connected",
                     G_CALLBACK(+[](GstRTSPServer*, GstRTSPClient* client, gpointer data) {
                       auto* server = static_cast<Server*>(data);
                       if (!server->handover) return;
                       g_object_set_data_full(
                           G_OBJECT(client), kConnectionKey,
                           new std::shared_ptr<Connection>(server->handover),
                           [](gpointer p) { delete static_cast<std::shared_ptr<Connection>*>(p); });
                     }),
                     server_.get());
    // Sessions a client left without TEARDOWN end when they time out.
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_->server);
    server_->session_watch = gst_rtsp_session_pool_create_watch(pool);
    GstRTSPSessionPoolFunc cleanup = [](GstRTSPSessionPool* p, gpointer) -> gboolean {
      gst_rtsp_session_pool_cleanup(p);
      return TRUE;
    };
    g_source_set_callback(server_->session_watch, G_SOURCE_FUNC(cleanup), nullptr, nullptr);
    g_source_attach(server_->session_watch, server_->gst->context());
    g_object_unref(pool);
    Configure(settings);
  });
}

RtspCamera::~RtspCamera() {
  Stop();
  JoinFeeders(nullptr);
  server_->gst->Run([this] {
    if (server_->shared_media != nullptr) {
      gst_rtsp_media_unprepare(server_->shared_media);
      g_object_unref(server_->shared_media);
    }
    g_source_destroy(server_->session_watch);
    g_source_unref(server_->session_watch);
    g_object_unref(server_->server);
  });
}

void RtspCamera::Configure(const CameraSettings& s) {
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_->server);
  if (!server_->mounted.empty())
    gst_rtsp_mount_points_remove_factory(mounts, server_->mounted.c_str());
  if (server_->shared_media != nullptr) {
    gst_rtsp_media_unprepare(server_->shared_media);
    g_object_unref(server_->shared_media);
    server_->shared_media = nullptr;
  }
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, Launch(s).c_str());
  // Every client gets its own pipeline, so that its faults stay its own;
  // unless shared: then one pipeline serves all, as a camera's one encoder.
  gst_rtsp_media_factory_set_shared(factory, s.shared);
  // After DESCRIBE the pipeline starts again from nothing at PLAY, so that
  // a client's first frame is a key frame and no frame it gets refers to
  // one encoded before it played. A shared pipeline runs on.
  gst_rtsp_media_factory_set_suspend_mode(
      factory, s.shared ? GST_RTSP_SUSPEND_MODE_NONE : GST_RTSP_SUSPEND_MODE_RESET);
  gst_rtsp_media_factory_set_protocols(factory, LowerTransports(s.transport));
  g_signal_connect(factory, "media-configure",
                   G_CALLBACK(+[](GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
                     static_cast<RtspCamera*>(data)->StartFeeder(media);
                   }),
                   this);
  GstRTSPAuth* auth = nullptr;
  if (!s.user.empty()) {
    gst_rtsp_media_factory_add_role(factory, "user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
    auth = gst_rtsp_auth_new();
    gst_rtsp_auth_set_realm(auth, std::string(kRealm).c_str());
    GstRTSPToken* token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "user", nullptr);
    if (s.auth == CameraSettings::Auth::kDigest) {
      gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
      gst_rtsp_auth_add_digest(auth, s.user.c_str(), s.pass.c_str(), token);
    } else {
      gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_BASIC);
      gchar* basic = gst_rtsp_auth_make_basic(s.user.c_str(), s.pass.c_str());
      gst_rtsp_auth_add_basic(auth, basic, token);
      g_free(basic);
    }
    gst_rtsp_token_unref(token);
  }
  gst_rtsp_server_set_auth(server_->server, auth);
  if (auth) g_object_unref(auth);
  if (s.shared) StartShared(factory, s);
  gst_rtsp_mount_points_add_factory(mounts, s.path.c_str(), factory);
  server_->mounted = s.path;
  g_object_unref(mounts);
}

void RtspCamera::StartShared(void* factory_pointer, const CameraSettings& s) {
  auto* factory = static_cast<GstRTSPMediaFactory*>(factory_pointer);
  // A shared media is found again by a key made of the URL's port, path
  // and query; the relay hides the port a client used, so every URL of a
  // camera's factory gets one key (a factory per camera: no clash).
  static std::once_flag keyed;
  std::call_once(keyed, [factory] {
    GST_RTSP_MEDIA_FACTORY_GET_CLASS(factory)->gen_key =
        [](GstRTSPMediaFactory*, const GstRTSPUrl*) -> gchar* { return g_strdup("camera"); };
  });
  GstRTSPUrl* url = nullptr;
  if (gst_rtsp_url_parse(("rtsp://127.0.0.1" + s.path).c_str(), &url) != GST_RTSP_OK) return;
  GstRTSPMedia* media = gst_rtsp_media_factory_construct(factory, url);
  gst_rtsp_url_free(url);
  // Prepared by us, the media stays prepared (and its encoder runs) when
  // the last client leaves. Preparing waits for the pipeline's bus on a
  // thread of the server's pool (where its clients run), not this one.
  GstRTSPThreadPool* pool = gst_rtsp_server_get_thread_pool(server_->server);
  GstRTSPContext context{};
  GstRTSPThread* thread =
      gst_rtsp_thread_pool_get_thread(pool, GST_RTSP_THREAD_TYPE_CLIENT, &context);
  g_object_unref(pool);
  if (media != nullptr && thread != nullptr && gst_rtsp_media_prepare(media, thread)) {
    server_->shared_media = media;
  } else {
    std::fprintf(stderr, "ocelam-sim: camera %d: the shared stream does not start\n", id_);
    if (media != nullptr) g_object_unref(media);
  }
}

bool RtspCamera::dead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.dead;
}

bool RtspCamera::blackhole() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.blackhole;
}

void RtspCamera::Serve(Fd connection) {
  Fd client = std::move(connection);
  const int fd = client.get();
  if (!connections_.Add(fd)) return;
  struct Leave {
    ConnectionSet& set;
    int fd;
    ~Leave() { set.Remove(fd); }
  } leave{connections_, fd};
  auto conn = std::make_shared<Connection>();
  conn->number = ++count_.connections;
  conn->client = fd;
  if (dead()) return;

  Fd inner, theirs;
  {
    std::lock_guard<std::mutex> lock(pair_mu_);
    std::string why;
    if (!pair_listener_.valid()) pair_listener_ = ListenTcp("127.0.0.1", 0, &pair_port_, &why);
    if (!pair_listener_.valid() ||
        !LoopbackPair(pair_listener_.get(), pair_port_, &inner, &theirs)) {
      std::fprintf(stderr, "ocelam-sim: camera %d: no loopback pair for the RTSP server %s\n", id_,
                   why.c_str());
      return;
    }
  }
  sockaddr_in peer{};
  socklen_t peer_size = sizeof peer;
  char ip[INET_ADDRSTRLEN] = "127.0.0.1";
  int port = 0;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) == 0) {
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    port = ntohs(peer.sin_port);
  }
  bool handed = false;
  server_->gst->Run([&] {
    GError* error = nullptr;
    GSocket* socket = g_socket_new_from_fd(theirs.get(), &error);
    if (socket == nullptr) {
      std::fprintf(stderr, "ocelam-sim: camera %d: %s\n", id_, error->message);
      g_error_free(error);
      return;
    }
    theirs.Release();  // the socket owns it now
    server_->handover = conn;
    handed = gst_rtsp_server_transfer_connection(server_->server, socket, ip, port, nullptr);
    server_->handover.reset();
  });
  if (handed) {
    SetNoDelay(fd);
    Relay(fd, inner.get(), conn);
  } else {
    std::fprintf(stderr, "ocelam-sim: camera %d: the RTSP server refused a connection\n", id_);
  }

  {
    std::lock_guard<std::mutex> lock(conn->mu);
    conn->client = -1;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    conn->ended = true;
  }
  changed_.notify_all();
  shutdown(inner.get(), SHUT_RDWR);
  inner.Reset();
  for (Connection::Pending& p : conn->pending)
    requests_.Add(conn->number, p.time_us, "noreply", std::move(p.bytes));
  if (!conn->incoming.empty() && conn->incoming[0] != '$')
    requests_.Add(conn->number, NowRealtimeUs(), "incomplete", conn->incoming);
  JoinFeeders(conn.get());
}

void RtspCamera::Relay(int client, int inner, const std::shared_ptr<Connection>& conn) {
  Connection& c = *conn;
  std::string buffer(kRelayChunk, '\0');
  pollfd polled[2] = {{client, POLLIN, 0}, {inner, POLLIN, 0}};
  while (true) {
    if (poll(polled, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled[0].revents) {
      ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
      if (n <= 0) return;
      std::string answer;
      const std::string forward =
          TakeClientBytes(c, std::string_view(buffer.data(), static_cast<std::size_t>(n)), &answer);
      if (!forward.empty() && !SendAll(inner, forward)) return;
      if (!answer.empty()) {
        if (!SendAll(client, answer)) return;
        count_.bytes += answer.size();
      }
    }
    if (polled[1].revents) {
      ssize_t n = recv(inner, buffer.data(), buffer.size(), 0);
      if (n <= 0) return;
      const std::size_t got = static_cast<std::size_t>(n);
      int garbage = 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        garbage = settings_.garbage;
      }
      // What goes to the client: the server's bytes, and with `garbage` a
      // packet of junk on the video channel after every interleaved frame.
      std::string out;
      std::size_t forwarded = 0;
      // Find the responses among the interleaved frames.
      for (std::size_t i = 0; i < got;) {
        if (c.skip > 0) {
          const std::size_t take = std::min(c.skip, got - i);
          c.skip -= take;
          i += take;
          if (c.skip == 0 && c.in_frame && garbage > 0) {
            out.append(buffer.data() + forwarded, i - forwarded);
            forwarded = i;
            out += Junk(garbage, ++c.junk_sent);
          }
          if (c.skip == 0) c.in_frame = false;
          continue;
        }
        c.reply += buffer[i++];
        if (c.reply[0] == '$') {
          if (c.reply.size() == 4) {
            c.skip = (static_cast<unsigned char>(c.reply[2]) << 8) |
                     static_cast<unsigned char>(c.reply[3]);
            c.in_frame = c.reply[1] == 0;  // the video's RTP channel
            c.reply.clear();
          }
        } else if (c.reply.size() >= 4 && c.reply.compare(c.reply.size() - 4, 4, "\r\n\r\n") == 0) {
          int status = 0;
          if (std::sscanf(c.reply.c_str(), "RTSP/%*d.%*d %d", &status) == 1) Answered(c, status);
          c.skip = ContentLength(std::string_view(c.reply).substr(0, c.reply.size() - 2));
          c.reply.clear();
        } else if (c.reply.size() > kMaxRequestHead) {
          c.reply.clear();
        }
      }
      out.append(buffer.data() + forwarded, got - forwarded);
      if (!SendAll(client, out)) return;
      count_.bytes += out.size();
    }
  }
}

std::string RtspCamera::TakeClientBytes(Connection& c, std::string_view data,
                                        std::string* to_client) {
  std::string redirect;
  {
    std::lock_guard<std::mutex> lock(mu_);
    redirect = settings_.redirect;
  }
  // `c.incoming` holds what was not passed on yet: the start of a request
  // or of an interleaved frame (the server can do nothing with either).
  c.incoming.append(data);
  std::string forward;
  std::size_t taken = 0;
  // Split into requests (and the client's interleaved RTCP, passed on).
  while (taken < c.incoming.size()) {
    const std::string_view rest = std::string_view(c.incoming).substr(taken);
    if (rest[0] == '$') {
      if (rest.size() < 4) break;
      const std::size_t length =
          (static_cast<unsigned char>(rest[2]) << 8) | static_cast<unsigned char>(rest[3]);
      if (rest.size() < 4 + length) break;
      forward.append(rest.substr(0, 4 + length));
      taken += 4 + length;
      continue;
    }
    const std::size_t head_end = rest.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      if (rest.size() > kMaxRequestHead) {
        requests_.Add(c.number, NowRealtimeUs(), "incomplete", std::string(rest));
        forward.append(rest);
        taken = c.incoming.size();
      }
      break;
    }
    const std::size_t size = head_end + 4 + ContentLength(rest.substr(0, head_end + 2));
    if (rest.size() < size) break;
    ++count_.requests;
    std::string request(rest.substr(0, size));
    taken += size;
    // A redirect answers DESCRIBE itself, between two of the server's
    // messages (never inside an interleaved frame).
    if (!redirect.empty() && request.compare(0, 9, "DESCRIBE ") == 0 && c.skip == 0 &&
        c.reply.empty()) {
      *to_client += "RTSP/1.0 302 Moved Temporarily\r\nCSeq: " + HeaderValue(request, "cseq:") +
                    "\r\nLocation: " + redirect + "\r\n\r\n";
      ++count_.redirects;
      requests_.Add(c.number, NowRealtimeUs(), "rtsp:302", std::move(request));
      continue;
    }
    forward.append(request);
    const bool play = request.compare(0, 5, "PLAY ") == 0;
    c.pending.push_back(Connection::Pending{std::move(request), NowRealtimeUs(), play});
  }
  c.incoming.erase(0, taken);
  return forward;
}

void RtspCamera::Answered(Connection& conn, int status) {
  if (conn.pending.empty()) return;
  Connection::Pending p = std::move(conn.pending.front());
  conn.pending.pop_front();
  if (status == 401) ++count_.unauthorized;
  requests_.Add(conn.number, p.time_us, "rtsp:" + std::to_string(status), std::move(p.bytes));
  if (!p.play || status != 200) return;
  ++count_.streams;
  if (sink_ == nullptr) return;
  char line[512];
  {
    std::lock_guard<std::mutex> lock(mu_);
    const long long t0 = epoch_realtime_us_ - std::llround(static_cast<double>(base_) * 1e6 / fps_);
    std::snprintf(line, sizeof line,
                  "session camera %d conn=%llu t=%lld t0=%lld fps=%g codec=%s width=%d height=%d "
                  "gop=%d bitrate=%d\n",
                  id_, static_cast<unsigned long long>(conn.number),
                  static_cast<long long>(NowRealtimeUs()), t0, fps_, CodecName(settings_.codec),
                  settings_.width, settings_.height, settings_.gop, settings_.bitrate);
  }
  sink_->Write(line);
}

void RtspCamera::StartFeeder(void* media_pointer) {
  auto* media = static_cast<GstRTSPMedia*>(media_pointer);
  GstElement* element = gst_rtsp_media_get_element(media);
  GstElement* source = gst_bin_get_by_name(GST_BIN(element), "src");
  if (source == nullptr) {
    gst_object_unref(element);
    return;
  }
  EncoderFaults faults;
  {
    std::lock_guard<std::mutex> lock(mu_);
    faults = EncoderFaults::Of(settings_);
  }
  if (faults.any()) {
    GstElement* encoder = gst_bin_get_by_name(GST_BIN(element), "enc");
    GstPad* pad = encoder ? gst_element_get_static_pad(encoder, "src") : nullptr;
    if (pad != nullptr) {
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, ApplyEncoderFaults,
                        new EncoderFaults(faults),
                        [](gpointer data) { delete static_cast<EncoderFaults*>(data); });
      gst_object_unref(pad);
    }
    if (encoder) gst_object_unref(encoder);
  }
  {
    VideoFaults video;
    std::lock_guard<std::mutex> lock(mu_);
    video.wire = wire_;
    video.noend = settings_.noend;
    video.tsjump = settings_.tsjump;
    video.shared = settings_.shared;
    struct Probes {
      VideoFaults video;
      std::shared_ptr<Wire> wire;
    };
    g_signal_connect_data(
        media, "prepared", G_CALLBACK(+[](GstRTSPMedia* m, gpointer data) {
          auto* probes = static_cast<Probes*>(data);
          AddMediaProbes(m, probes->video, probes->wire);
        }),
        new Probes{video, wire_}, [](gpointer data, GClosure*) { delete static_cast<Probes*>(data); },
        GConnectFlags(0));
  }
  if (GstElement* tone = gst_bin_get_by_name(GST_BIN(element), "asrc"); tone != nullptr) {
    // A tone generator can seek; the camera cannot: the server would seek
    // the media for a PLAY with a Range and fail.
    GstPad* pad = gst_element_get_static_pad(tone, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer) {
          GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
          if (GST_QUERY_TYPE(query) != GST_QUERY_SEEKING) return GST_PAD_PROBE_OK;
          gst_query_set_seeking(query, GST_FORMAT_TIME, FALSE, 0, -1);
          return GST_PAD_PROBE_HANDLED;
        },
        nullptr, nullptr);
    gst_object_unref(pad);
    gst_object_unref(tone);
  }
  auto feeder = std::make_shared<Feeder>();
  feeder->source = source;
  // The picture this media was built for, whatever a restart did since.
  GstCaps* caps = nullptr;
  g_object_get(source, "caps", &caps, nullptr);
  if (caps != nullptr) {
    const GstStructure* st = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(st, "width", &feeder->width);
    gst_structure_get_int(st, "height", &feeder->height);
    gst_caps_unref(caps);
  }
  gst_object_unref(element);
  if (GstRTSPContext* ctx = gst_rtsp_context_get_current(); ctx != nullptr && ctx->client) {
    auto* conn = static_cast<std::shared_ptr<Connection>*>(
        g_object_get_data(G_OBJECT(ctx->client), kConnectionKey));
    if (conn != nullptr) feeder->conn = *conn;
  }
  struct Wake {
    RtspCamera* camera;
    std::shared_ptr<Feeder> feeder;
  };
  // The handler lives as long as the feeder's thread (it disconnects it).
  feeder->handler = g_signal_connect_data(
      source, "need-data", G_CALLBACK(+[](GstElement*, guint, gpointer data) {
        auto* wake = static_cast<Wake*>(data);
        {
          std::lock_guard<std::mutex> lock(wake->camera->mu_);
          wake->feeder->wanted = true;
        }
        wake->camera->changed_.notify_all();
      }),
      new Wake{this, feeder}, [](gpointer data, GClosure*) { delete static_cast<Wake*>(data); },
      GConnectFlags(0));
  std::lock_guard<std::mutex> lock(mu_);
  feeder->replay = settings_.replay;
  feeder->replay_settings = settings_;
  feeder->shared = settings_.shared;
  feeders_.push_back(feeder);
  feeder->thread = std::thread([this, f = feeder.get()] { Feed(f); });
}

namespace {

// A picture is stamped with the pipeline's running time when it is taken,
// as a camera stamps it at its sensor. appsrc's own stamp (do-timestamp) is
// taken only when its thread hands the buffer on, which under load waits
// for the encoder: the stream's times would then run late by the
// encoder's backlog, and a receiver would date the frames late.
void StampTaken(GstElement* source, GstBuffer* buffer) {
  GstClock* clock = gst_element_get_clock(source);
  if (clock == nullptr) return;
  const GstClockTime now = gst_clock_get_time(clock);
  const GstClockTime base = gst_element_get_base_time(source);
  if (now >= base) GST_BUFFER_PTS(buffer) = now - base;
  gst_object_unref(clock);
}

}  // namespace

void RtspCamera::Feed(Feeder* f) {
  const Connection* conn = f->conn.get();
  const std::size_t luma = static_cast<std::size_t>(f->width) * static_cast<std::size_t>(f->height);
  std::shared_ptr<const EncodedLoop> loop;
  if (f->replay > 0) loop = LoopFor(f->replay_settings);
  std::unique_lock<std::mutex> lock(mu_);
  // A shared camera's encoder runs while the camera is dead too, as a
  // camera's own does when the network fails.
  auto over = [&] {
    return stopping_ || f->retired || (!f->shared && settings_.dead) || (conn && conn->ended);
  };
  std::uint64_t generation = generation_;
  bool armed = true;
  int since_armed = 0;
  std::uint64_t next = 0;
  bool running = false;
  while (!over() && (loop ? !loop->frames.empty() : luma > 0)) {
    if (!running) {
      // A live pipeline asks for data once it plays, and again after it
      // was started anew; it then gets the newest frame due.
      changed_.wait(lock, [&] { return over() || f->wanted; });
      running = true;
      next = DueIndex(Clock::now());
      continue;
    }
    if (generation_ != generation) {
      generation = generation_;
      armed = true;
      since_armed = 0;
    }
    const Clock::time_point due = DueTime(next);
    if (Clock::now() < due) {
      changed_.wait_until(lock, due, [&] { return over() || generation_ != generation; });
      continue;
    }
    const CameraSettings& s = settings_;
    if (armed && since_armed >= s.after && (s.drop || s.stall_ms > 0)) {
      armed = false;
      const bool drop = s.drop;
      if (s.stall_ms > 0) {
        ++count_.stalls;
        // A change of the settings (say "stall=0") ends the pause early.
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(s.stall_ms);
        changed_.wait_until(lock, end, [&] { return over() || generation_ != generation; });
        if (over()) break;
        next = std::max(next, DueIndex(Clock::now()));
      }
      if (drop && f->conn) {
        ++count_.drops;
        lock.unlock();
        f->conn->Drop();
        lock.lock();
        break;
      }
      continue;
    }
    const std::uint64_t n = next;
    lock.unlock();
    GstBuffer* buffer;
    if (loop) {
      const std::size_t k = static_cast<std::size_t>(n % loop->frames.size());
      buffer = gst_buffer_new_memdup(loop->frames[k].data(), loop->frames[k].size());
      if (!loop->key[k]) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    } else {
      buffer = gst_buffer_new_allocate(nullptr, luma * 3 / 2, nullptr);
      GstMapInfo map;
      if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        DrawFrameMark(static_cast<std::uint32_t>(n), map.data, f->width, f->height, f->width);
        std::memset(map.data + luma, 128, luma / 2);
        gst_buffer_unmap(buffer, &map);
      }
    }
    GST_BUFFER_OFFSET(buffer) = n;
    StampTaken(f->source, buffer);
    wire_->taken.Taken(n, NowRealtimeUs());
    const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(f->source), buffer);
    lock.lock();
    if (flow == GST_FLOW_FLUSHING) {
      // Stopped, or suspended until PLAY: wait until it asks again. What
      // was pushed before never reached the client.
      f->wanted = false;
      running = false;
      since_armed = 0;
      continue;
    }
    if (flow != GST_FLOW_OK) break;
    ++count_.frames;
    ++since_armed;
    // Frames due while this one was drawn are skipped, as a live camera does.
    next = std::max(next + 1, DueIndex(Clock::now()));
  }
  lock.unlock();
  g_signal_handler_disconnect(f->source, f->handler);
  gst_object_unref(f->source);
  f->source = nullptr;
}

std::uint64_t RtspCamera::DueIndex(Clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - epoch_).count();
  if (elapsed <= 0) return base_;
  return base_ + static_cast<std::uint64_t>(std::floor(elapsed * fps_));
}

Clock::time_point RtspCamera::DueTime(std::uint64_t n) const {
  if (n <= base_) return epoch_;
  return epoch_ + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(static_cast<double>(n - base_) / fps_));
}

void RtspCamera::JoinFeeders(const Connection* conn) {
  std::vector<std::shared_ptr<Feeder>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = feeders_.begin(); it != feeders_.end();) {
      if (conn == nullptr || (*it)->conn.get() == conn) {
        done.push_back(std::move(*it));
        it = feeders_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& f : done)
    if (f->thread.joinable()) f->thread.join();
}

bool RtspCamera::Set(std::string_view keys, std::string* error) {
  CameraSettings changed;
  bool auth_changed = false;
  bool now_dead = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed = settings_;
    if (!ApplyCameraKeys(keys, KeyTime::kSet, &changed, error)) return false;
    auth_changed = changed.user != settings_.user || changed.pass != settings_.pass ||
                   changed.auth != settings_.auth;
    settings_ = changed;
    now_dead = settings_.dead;
    UpdateWire();
  }
  // New connections get the new credentials; open ones keep theirs (a
  // shared camera's encoder starts anew with the new factory).
  if (auth_changed) {
    std::vector<std::shared_ptr<Feeder>> retired = RetireSharedFeeders();
    server_->gst->Run([&] { Configure(changed); });
    for (auto& f : retired)
      if (f->thread.joinable()) f->thread.join();
  }
  Changed();
  if (now_dead) connections_.ShutdownAll(false);
  return true;
}

bool RtspCamera::Restart(std::string_view keys, std::string* error) {
  CameraSettings changed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed = settings_;
    if (!ApplyCameraKeys(keys, KeyTime::kRestart, &changed, error)) return false;
    if (changed.fps != fps_) {
      // Numbers go on from the next frame due, at the new rate.
      const Clock::time_point now = Clock::now();
      base_ = DueIndex(now) + 1;
      epoch_ = now;
      epoch_realtime_us_ = NowRealtimeUs();
      fps_ = changed.fps;
    }
    settings_ = changed;
    UpdateWire();
    ++generation_;
  }
  changed_.notify_all();
  std::vector<std::shared_ptr<Feeder>> retired = RetireSharedFeeders();
  server_->gst->Run([&] { Configure(changed); });
  for (auto& f : retired)
    if (f->thread.joinable()) f->thread.join();
  connections_.ShutdownAll(false);
  ++count_.restarts;
  return true;
}

void RtspCamera::Clear() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ClearFaults(&settings_);
    UpdateWire();
  }
  Changed();
}

void RtspCamera::UpdateWire() { wire_->rtploss = settings_.rtploss; }

void RtspCamera::StepClock(std::int64_t ms) { wire_->clock_shift_ms += ms; }

std::vector<std::shared_ptr<RtspCamera::Feeder>> RtspCamera::RetireSharedFeeders() {
  std::vector<std::shared_ptr<Feeder>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = feeders_.begin(); it != feeders_.end();) {
      if ((*it)->shared) {
        (*it)->retired = true;
        done.push_back(std::move(*it));
        it = feeders_.erase(it);
      } else {
        ++it;
      }
    }
  }
  changed_.notify_all();
  return done;
}

void RtspCamera::Changed() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++generation_;
  }
  changed_.notify_all();
}

std::string RtspCamera::Stats() const {
  auto item = [](const char* name, std::uint64_t v) {
    return std::string(name) + "=" + std::to_string(v) + " ";
  };
  char clock[160];
  {
    std::lock_guard<std::mutex> lock(mu_);
    const long long t0 = epoch_realtime_us_ - std::llround(static_cast<double>(base_) * 1e6 / fps_);
    std::snprintf(clock, sizeof clock, "t0=%lld fps=%g codec=%s width=%d height=%d", t0, fps_,
                  CodecName(settings_.codec), settings_.width, settings_.height);
  }
  return item("connections", count_.connections) +
         item("open", static_cast<std::uint64_t>(connections_.count())) +
         item("requests", count_.requests) + item("streams", count_.streams) +
         item("frames", count_.frames) + item("drops", count_.drops) +
         item("stalls", count_.stalls) + item("unauthorized", count_.unauthorized) +
         item("restarts", count_.restarts) + item("bytes", count_.bytes) + clock +
         " rtplost=" + std::to_string(wire_->lost.load()) +
         " redirects=" + std::to_string(count_.redirects.load()) +
         " clockshift=" + std::to_string(wire_->clock_shift_ms.load());
}

void RtspCamera::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    ++generation_;
  }
  changed_.notify_all();
  connections_.ShutdownAll(true);
}

}  // namespace sim
