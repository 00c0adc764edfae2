#include "acquisition/camera/clip_muxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "acquisition/camera/av_support.h"
#include "acquisition/camera/ring_store.h"
#include "platform/strings.h"

namespace acquisition {
namespace {

constexpr int kIoBufferSize = 65536;
constexpr AVRational kMicros = {1, 1000000};

// libavformat reads and writes the clip through these, on descriptors we
// opened ourselves: its own file protocol would follow a link and replace a
// file.
int ReadFd(void* opaque, std::uint8_t* buffer, int size) {
  const ssize_t got = read(*static_cast<int*>(opaque), buffer, static_cast<std::size_t>(size));
  if (got < 0) return AVERROR(errno);
  return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

int WriteFd(void* opaque, std::uint8_t* buffer, int size) {
  const int fd = *static_cast<int*>(opaque);
  int done = 0;
  while (done < size) {
    const ssize_t n = write(fd, buffer + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
    done += static_cast<int>(n);
  }
  return size;
}

std::int64_t SeekFd(void* opaque, std::int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    const off_t here = lseek(fd, 0, SEEK_CUR);
    const off_t end = lseek(fd, 0, SEEK_END);
    if (here < 0 || end < 0 || lseek(fd, here, SEEK_SET) < 0) return AVERROR(errno);
    return end;
  }
  const off_t at = lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

// An AVIOContext over `*fd` (which it does not own).
AVIOContext* FdContext(int* fd, bool write) {
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  if (!buffer) return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, write ? 1 : 0, fd, ReadFd,
                                       write ? WriteFd : nullptr, SeekFd);
  if (!io) av_free(buffer);
  return io;
}

void FreeFdContext(AVIOContext** io) {
  if (!*io) return;
  av_freep(&(*io)->buffer);
  avio_context_free(io);
}

// Moving the index to the front reads the clip back: through a descriptor
// opened without following a link, like the one that writes it.
struct ReadBack {
  int fd = -1;
};

int OpenForReadBack(AVFormatContext*, AVIOContext** io, const char* url, int flags,
                    AVDictionary**) {
  if (flags & AVIO_FLAG_WRITE) return AVERROR(EPERM);
  auto* back = new ReadBack;
  back->fd = open(url, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (back->fd < 0) {
    const int error = errno;
    delete back;
    return AVERROR(error);
  }
  *io = FdContext(&back->fd, false);
  if (!*io) {
    close(back->fd);
    delete back;
    return AVERROR(ENOMEM);
  }
  return 0;
}

int CloseReadBack(AVFormatContext*, AVIOContext* io) {
  if (!io) return 0;
  auto* back = static_cast<ReadBack*>(io->opaque);
  AVIOContext* owned = io;
  FreeFdContext(&owned);
  close(back->fd);
  delete back;
  return 0;
}

std::string CreationTime(std::int64_t wall_ms) {
  const std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return platform::StringPrintf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                                static_cast<int>(wall_ms % 1000));
}

platform::Status AvFailure(const char* what, int rc) {
  return platform::Status::Failure(std::string(what) + ": " + AvErrorText(rc));
}

// The width and height a JPEG image's frame header gives; false when none
// is found within the image.
bool JpegDimensions(const std::uint8_t* data, int size, int* width, int* height) {
  int at = 2;  // after FF D8
  while (at + 9 <= size) {
    if (data[at] != 0xFF) return false;
    const int marker = data[at + 1];
    if (marker == 0xFF) {
      ++at;  // fill byte
      continue;
    }
    const int length = (data[at + 2] << 8) | data[at + 3];
    // Start of frame: baseline, extended, progressive, lossless.
    if (marker >= 0xC0 && marker <= 0xC3) {
      *height = (data[at + 5] << 8) | data[at + 6];
      *width = (data[at + 7] << 8) | data[at + 8];
      return *width > 0 && *height > 0;
    }
    if (marker == 0xDA || length < 2) return false;
    at += 2 + length;
  }
  return false;
}

// The width and height an H.264 or H.265 key frame's parameter sets give
// (with `extradata` in front of it); false when the parser finds none.
bool StreamDimensions(int codec_id, const std::vector<std::uint8_t>& extradata,
                      const std::uint8_t* key_frame, int size, int* width, int* height) {
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
  AVCodecParserContext* parser = av_parser_init(codec_id);
  AVCodecContext* context = codec ? avcodec_alloc_context3(codec) : nullptr;
  bool found = false;
  if (parser && context) {
    std::vector<std::uint8_t> whole(extradata);
    whole.insert(whole.end(), key_frame, key_frame + size);
    whole.resize(whole.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    const int length = static_cast<int>(whole.size()) - AV_INPUT_BUFFER_PADDING_SIZE;
    std::uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser, context, &out, &out_size, whole.data(), length, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    // The parser holds the access unit back until it sees the next one's
    // start; a flush hands it over.
    if (parser->width <= 0)
      av_parser_parse2(parser, context, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE,
                       AV_NOPTS_VALUE, 0);
    found = parser->width > 0 && parser->height > 0;
    if (found) {
      *width = parser->width;
      *height = parser->height;
    }
  }
  if (parser) av_parser_close(parser);
  avcodec_free_context(&context);
  return found;
}

// The parameter sets (H.264 SPS/PPS, H.265 VPS/SPS/PPS) at the front of a
// key frame, for a stream whose description announced none.
std::vector<std::uint8_t> InBandParameterSets(bool hevc, const std::uint8_t* data, int size) {
  std::vector<std::uint8_t> sets;
  int at = 0;
  while (at + 3 < size) {
    if (!(data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1)) {
      ++at;
      continue;
    }
    const int start = at + 3;
    int end = start;
    while (end + 2 < size && !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] <= 1)) ++end;
    if (end + 2 >= size) end = size;
    const int type = hevc ? (data[start] >> 1) & 0x3F : data[start] & 0x1F;
    const bool parameter_set = hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
    if (parameter_set) {
      static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
      sets.insert(sets.end(), kStartCode, kStartCode + 4);
      sets.insert(sets.end(), data + start, data + end);
    }
    at = end;
  }
  return sets;
}

}  // namespace

struct ClipMuxer::State {
  std::string path;
  int fd = -1;
  AVFormatContext* format = nullptr;
  AVIOContext* io = nullptr;
  AVStream* stream = nullptr;
  std::int64_t last_dts = INT64_MIN;

  void Close() {
    if (format) {
      avformat_free_context(format);
      format = nullptr;
    }
    FreeFdContext(&io);
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

ClipMuxer::ClipMuxer() : state_(std::make_unique<State>()) {}

ClipMuxer::~ClipMuxer() {
  if (state_->fd >= 0) Abort();
}

platform::Status ClipMuxer::Open(const std::string& path, const ClipFormat& format) {
  State& s = *state_;
  s.path = path;
  const bool jpeg = format.codec_id == AV_CODEC_ID_MJPEG;
  if (avformat_alloc_output_context2(&s.format, nullptr, jpeg ? "mov" : "mp4", path.c_str()) < 0)
    return platform::Status::Failure("no memory for the clip's muxer");
  s.fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (s.fd < 0) {
    const int error = errno;
    s.Close();
    return platform::Status::FromErrno(error, path);
  }
  s.io = FdContext(&s.fd, true);
  s.stream = s.io ? avformat_new_stream(s.format, nullptr) : nullptr;
  if (!s.stream) {
    Abort();
    return platform::Status::Failure("no memory for the clip's muxer");
  }
  s.format->pb = s.io;
  s.format->flags |= AVFMT_FLAG_CUSTOM_IO;
  s.format->io_open = OpenForReadBack;
  s.format->io_close2 = CloseReadBack;
  AVCodecParameters* par = s.stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = static_cast<AVCodecID>(format.codec_id);
  par->width = format.width;
  par->height = format.height;
  if (!format.extradata.empty()) {
    par->extradata = static_cast<std::uint8_t*>(
        av_mallocz(format.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
      Abort();
      return platform::Status::Failure("no memory for the clip's muxer");
    }
    std::memcpy(par->extradata, format.extradata.data(), format.extradata.size());
    par->extradata_size = static_cast<int>(format.extradata.size());
  }
  s.stream->time_base = {1, 90000};
  av_dict_set(&s.format->metadata, "creation_time", CreationTime(format.creation_wall_ms).c_str(),
              0);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+faststart", 0);
  const int rc = avformat_write_header(s.format, &options);
  av_dict_free(&options);
  if (rc < 0) {
    Abort();
    return AvFailure("the clip's header", rc);
  }
  return {};
}

platform::Status ClipMuxer::Write(const std::uint8_t* data, int size, std::int64_t pts_us,
                                  std::int64_t dts_us, bool key) {
  State& s = *state_;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return platform::Status::Failure("no memory for the clip's muxer");
  packet->data = const_cast<std::uint8_t*>(data);
  packet->size = size;
  packet->stream_index = 0;
  packet->pts = av_rescale_q(pts_us, kMicros, s.stream->time_base);
  packet->dts = av_rescale_q(dts_us, kMicros, s.stream->time_base);
  // Two moments closer than the track's tick still need two decoding times.
  if (packet->dts <= s.last_dts) packet->dts = s.last_dts + 1;
  if (packet->pts < packet->dts) packet->pts = packet->dts;
  s.last_dts = packet->dts;
  if (key) packet->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_write_frame(s.format, packet);
  av_packet_free(&packet);
  if (rc < 0) return AvFailure("writing the clip", rc);
  return {};
}

platform::Status ClipMuxer::Finish() {
  State& s = *state_;
  int rc = av_write_trailer(s.format);
  if (rc >= 0) avio_flush(s.io);
  if (rc >= 0 && s.io->error < 0) rc = s.io->error;
  if (rc >= 0 && fsync(s.fd) != 0) rc = AVERROR(errno);
  if (rc < 0) {
    Abort();
    return AvFailure("finishing the clip", rc);
  }
  s.Close();
  return {};
}

void ClipMuxer::Abort() {
  State& s = *state_;
  const bool created = s.fd >= 0;
  s.Close();
  if (created) unlink(s.path.c_str());
}

ClipFormat ClipFormatOf(const VideoCodec* codec, const std::uint8_t* first, int size,
                        std::int64_t wall_ms) {
  ClipFormat format;
  format.creation_wall_ms = wall_ms;
  if (!codec) {
    format.codec_id = AV_CODEC_ID_MJPEG;
    JpegDimensions(first, size, &format.width, &format.height);
    return format;
  }
  format.codec_id = codec->codec_id;
  format.extradata = codec->extradata;
  if (format.extradata.empty())
    format.extradata = InBandParameterSets(codec->codec_id == AV_CODEC_ID_HEVC, first, size);
  StreamDimensions(format.codec_id, format.extradata, first, size, &format.width,
                   &format.height);
  return format;
}

}  // namespace acquisition
