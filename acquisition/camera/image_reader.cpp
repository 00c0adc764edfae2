#include "acquisition/camera/image_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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
// The decoder may hold a picture back for frames that come later (B-frames):
// it is given this many more before the picture counts as missing.
constexpr int kMaxDelayFrames = 16;
constexpr int kJpegQualities[] = {85, 70, 50};

// Limited-range luminance (16..235) and chrominance (16..240) stretched to
// the full range JPEG pictures use.
struct RangeTables {
  std::uint8_t luma[256];
  std::uint8_t chroma[256];
  RangeTables() {
    for (int v = 0; v < 256; ++v) {
      luma[v] = static_cast<std::uint8_t>(std::clamp((v - 16) * 255 / 219, 0, 255));
      chroma[v] = static_cast<std::uint8_t>(std::clamp((v - 128) * 127 / 112 + 128, 0, 255));
    }
  }
};
const RangeTables& Ranges() {
  static const RangeTables tables;
  return tables;
}

struct ContextFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// The JPEG-ready planes of a decoded picture.
struct JpegPlanes {
  int sampling = -1;  // TurboJPEG's
  const unsigned char* data[3] = {};
  int strides[3] = {};
};

// TurboJPEG's sampling of a pixel format it can take as planes, or -1.
int SamplingOf(const AVPixFmtDescriptor* format) {
  if (!format || (format->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE)) ||
      !(format->flags & AV_PIX_FMT_FLAG_PLANAR || format->nb_components == 1) ||
      format->comp[0].depth < 8 || format->comp[0].depth > 16)
    return -1;
  if (format->nb_components == 1) return TJSAMP_GRAY;
  if (format->nb_components != 3) return -1;
  if (format->log2_chroma_w == 1 && format->log2_chroma_h == 1) return TJSAMP_420;
  if (format->log2_chroma_w == 1 && format->log2_chroma_h == 0) return TJSAMP_422;
  if (format->log2_chroma_w == 0 && format->log2_chroma_h == 0) return TJSAMP_444;
  return -1;
}

// One plane as 8 bits in the full range, into `out`.
void NarrowPlane(const AVFrame& p, int plane, int width, int height, int shift, bool full_range,
                 std::vector<std::uint8_t>& out) {
  const std::uint8_t* table = plane == 0 ? Ranges().luma : Ranges().chroma;
  out.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = p.data[plane] + static_cast<std::ptrdiff_t>(y) * p.linesize[plane];
    std::uint8_t* to = out.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; ++x) {
      int v = row[x];
      if (shift > 0) {
        std::uint16_t wide;
        std::memcpy(&wide, row + 2 * x, 2);
        v = std::min(255, wide >> shift);
      }
      to[x] = full_range ? static_cast<std::uint8_t>(v) : table[v];
    }
  }
}

}  // namespace

struct ImageReader::Decoder {
  std::uint16_t codec = 0;  // the parameters it was opened with
  std::unique_ptr<AVCodecContext, ContextFreer> context;
  std::unique_ptr<AVFrame, FrameFreer> picture;  // the newest decoded picture
  std::unique_ptr<AVFrame, FrameFreer> scratch;
  std::unique_ptr<AVPacket, AvPacketFreer> packet;
  std::unique_ptr<std::uint8_t[]> bytes;  // one compressed frame read back
  std::int64_t last_fed = -1;             // the newest frame given to it
  bool spoiled = false;                   // a picture since the key frame had errors
  tjhandle jpeg = nullptr;
  std::vector<std::uint8_t> planes[3];  // pictures made JPEG-ready
  ~Decoder() {
    if (jpeg) tjDestroy(jpeg);
  }

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

ImageReader::ImageReader(Camera& camera) : camera_(camera) {}
ImageReader::~ImageReader() = default;

int ImageReader::Read(const FrameRef& frame, std::uint8_t* buffer) {
  if (camera_.stream_kind() != StreamKind::kRtsp) return camera_.GetImage(frame, buffer);
  int size = -1;
  FrameRef key;
  std::string message =
      camera_.KeyFrameAtOrBefore(frame.number, &key)
          ? Prepare(frame)
          : platform::StringPrintf(kNoKeyFrame, camera_.camera_number(),
                                   static_cast<long long>(frame.number));
  if (message.empty()) message = Decode(frame, key);
  if (message.empty()) message = Compress(frame, buffer, &size);
  if (message.empty()) return size;
  core::ConsoleLog(message, core::ConsoleLevel::kError);
  camera_.Log(message, core::ReportLevel::kInfo);
  // Whatever the decoder holds may now be wrong: the next image starts from
  // its key frame.
  if (decoder_) decoder_->last_fed = -1;
  return -1;
}

std::string ImageReader::Prepare(const FrameRef& frame) {
  const int c = camera_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  if (!decoder_) {
    auto d = std::make_unique<Decoder>();
    d->picture.reset(av_frame_alloc());
    d->scratch.reset(av_frame_alloc());
    d->packet.reset(av_packet_alloc());
    d->bytes.reset(new (std::nothrow) std::uint8_t[kImageBufferSize]);
    d->jpeg = tjInitCompress();
    if (!d->picture || !d->scratch || !d->packet || !d->bytes || !d->jpeg)
      return platform::StringPrintf(kNoMemory, c, index);
    decoder_ = std::move(d);
  }
  if (decoder_->context && decoder_->codec == frame.entry.codec) return "";
  return OpenCodec(frame);
}

std::string ImageReader::OpenCodec(const FrameRef& frame) {
  const int c = camera_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  Decoder& d = *decoder_;
  std::shared_ptr<const VideoCodec> parameters = camera_.Codec(frame.entry.codec);
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
  if (avcodec_open2(d.context.get(), codec, nullptr) < 0) {
    d.context.reset();
    return platform::StringPrintf(kNoDecoder, c, parameters->name.c_str());
  }
  d.codec = frame.entry.codec;
  d.last_fed = -1;
  return "";
}

std::string ImageReader::Decode(const FrameRef& frame, const FrameRef& key) {
  const int c = camera_.camera_number();
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
    if (!camera_.FrameByNumber(n, &next) || next.entry.session != frame.entry.session ||
        next.entry.codec != frame.entry.codec) {
      if (n <= frame.number)
        return platform::StringPrintf(kFrameGone, c, static_cast<long long>(n));
      // Nothing later is in yet: the decoder gives up what it holds back,
      // and starts from a key frame next time.
      avcodec_send_packet(d.context.get(), nullptr);
      d.TakePictures(frame.number, &have);
      d.last_fed = -1;
      break;
    }
    if (std::string message = Feed(next); !message.empty()) return message;
    if (!d.TakePictures(frame.number, &have))
      return platform::StringPrintf(kBadFrame, c, index, "errors in the picture");
  }
  return have ? "" : platform::StringPrintf(kNoPicture, c, index);
}

std::string ImageReader::Feed(const FrameRef& next) {
  Decoder& d = *decoder_;
  std::string message;
  const int size = camera_.ReadFrame(next, d.bytes.get(), &message);
  if (size < 0) return message;
  AVPacket* packet = d.packet.get();
  packet->data = d.bytes.get();
  packet->size = size;
  packet->pts = packet->dts = next.number;
  packet->flags = next.entry.key ? AV_PKT_FLAG_KEY : 0;
  const int rc = avcodec_send_packet(d.context.get(), packet);
  d.last_fed = next.number;
  if (rc < 0 && rc != AVERROR(EAGAIN))
    return platform::StringPrintf(kBadFrame, camera_.camera_number(),
                                  static_cast<long long>(next.number), AvErrorText(rc).c_str());
  return "";
}

std::string ImageReader::Compress(const FrameRef& frame, std::uint8_t* buffer, int* size) {
  const int c = camera_.camera_number();
  const long long index = static_cast<long long>(frame.number);
  Decoder& d = *decoder_;
  const AVFrame& p = *d.picture;
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(p.format));
  JpegPlanes planes;
  planes.sampling = SamplingOf(format);
  if (planes.sampling < 0)
    return platform::StringPrintf(kBadPixels, c, format ? format->name : "an unknown format");
  // The picture as 8-bit planes JPEG takes, in the full range.
  const bool full_range = p.color_range == AVCOL_RANGE_JPEG || p.format == AV_PIX_FMT_YUVJ420P ||
                          p.format == AV_PIX_FMT_YUVJ422P || p.format == AV_PIX_FMT_YUVJ444P;
  const int shift = format->comp[0].depth - 8;
  for (int i = 0; i < (planes.sampling == TJSAMP_GRAY ? 1 : 3); ++i) {
    if (shift == 0 && full_range) {
      planes.data[i] = p.data[i];
      planes.strides[i] = p.linesize[i];
      continue;
    }
    const int width = i == 0 ? p.width : AV_CEIL_RSHIFT(p.width, format->log2_chroma_w);
    const int height = i == 0 ? p.height : AV_CEIL_RSHIFT(p.height, format->log2_chroma_h);
    NarrowPlane(p, i, width, height, shift, full_range, d.planes[i]);
    planes.data[i] = d.planes[i].data();
    planes.strides[i] = width;
  }
  for (int quality : kJpegQualities) {
    unsigned char* jpeg = nullptr;
    unsigned long bytes = 0;
    const int rc = tjCompressFromYUVPlanes(d.jpeg, planes.data, p.width, planes.strides, p.height,
                                           planes.sampling, &jpeg, &bytes, quality, TJFLAG_FASTDCT);
    const bool fits = rc == 0 && bytes < static_cast<unsigned long>(kImageBufferSize);
    if (fits) std::memcpy(buffer, jpeg, bytes);
    tjFree(jpeg);
    if (rc != 0) return platform::StringPrintf(kJpegFailed, c, index, tjGetErrorStr2(d.jpeg));
    if (fits) {
      *size = static_cast<int>(bytes);
      return "";
    }
  }
  return platform::StringPrintf(kJpegTooBig, c, index, kImageBufferSize - 1);
}

}  // namespace acquisition
