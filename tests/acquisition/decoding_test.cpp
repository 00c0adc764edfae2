// Decoded pictures as JPEG (colour matrices, 10 bits, halving to fit) and
// one camera's decoding shared by its jobs.
#include <gtest/gtest.h>
#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <barrier>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "acquisition/camera/decoding_service.h"
#include "acquisition/camera/picture_jpeg.h"
#include "support/sandbox.h"

namespace {

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameFree>;

// A picture of one colour: Y, U, V on the format's own scale.
Frame Flat(AVPixelFormat format, int width, int height, int y, int u, int v) {
  Frame f(av_frame_alloc());
  f->format = format;
  f->width = width;
  f->height = height;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  const bool wide = format == AV_PIX_FMT_YUV420P10LE;
  const int values[3] = {y, u, v};
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height : height / 2;
    const int columns = plane == 0 ? width : width / 2;
    for (int r = 0; r < rows; ++r) {
      std::uint8_t* row = f->data[plane] + r * f->linesize[plane];
      for (int c = 0; c < columns; ++c) {
        if (wide) {
          const auto value = static_cast<std::uint16_t>(values[plane]);
          std::memcpy(row + 2 * c, &value, 2);
        } else {
          row[c] = static_cast<std::uint8_t>(values[plane]);
        }
      }
    }
  }
  return f;
}

// The JPEG's size and its middle pixel.
struct Decoded {
  int width = 0, height = 0;
  int rgb[3] = {};
};
Decoded Decompress(const std::vector<std::uint8_t>& jpeg) {
  Decoded d;
  tjhandle h = tjInitDecompress();
  int sampling = 0, colors = 0;
  EXPECT_EQ(tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &d.width, &d.height, &sampling,
                                &colors),
            0);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(d.width) * d.height * 3);
  EXPECT_EQ(tjDecompress2(h, jpeg.data(), jpeg.size(), rgb.data(), d.width, 0, d.height, TJPF_RGB,
                          0),
            0);
  const std::size_t middle = (static_cast<std::size_t>(d.height / 2) * d.width + d.width / 2) * 3;
  for (int i = 0; i < 3; ++i) d.rgb[i] = rgb[middle + static_cast<std::size_t>(i)];
  tjDestroy(h);
  return d;
}

TEST(PictureJpeg, ColoursFollowTheStreamsDescription) {
  // Limited-range Y 120, U 100, V 170: BT.601 and BT.709 give colours 8
  // apart in red; the 10-bit picture is the same colour with two more bits.
  struct Case {
    const char* name;
    AVPixelFormat format;
    AVColorSpace matrix;
    AVColorRange range;
    int y, u, v;
    int rgb[3];
  } cases[] = {
      {"bt601", AV_PIX_FMT_YUV420P, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, 120, 100, 170,
       {188, 98, 65}},
      {"bt709", AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 120, 100, 170,
       {196, 105, 62}},
      {"bt709 full range", AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, 120, 128, 128,
       {120, 120, 120}},
      {"bt709 10 bits", AV_PIX_FMT_YUV420P10LE, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 480, 400, 680,
       {196, 105, 62}},
  };
  acquisition::PictureJpeg writer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Frame f = Flat(c.format, 64, 48, c.y, c.u, c.v);
    f->colorspace = c.matrix;
    f->color_range = c.range;
    std::vector<std::uint8_t> jpeg;
    auto outcome = writer.Write(*f, 800000, &jpeg);
    ASSERT_EQ(outcome.failure, acquisition::PictureJpeg::Failure::kNone) << outcome.detail;
    Decoded d = Decompress(jpeg);
    EXPECT_EQ(d.width, 64);
    EXPECT_EQ(d.height, 48);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(d.rgb[i], c.rgb[i], 3) << i;
  }
}

TEST(PictureJpeg, ANoisy4KPictureIsHalvedUntilItFits) {
  Frame f = Flat(AV_PIX_FMT_YUV420P, 3840, 2160, 128, 128, 128);
  std::mt19937 noise(7);
  for (int plane = 0; plane < 3; ++plane)
    for (int r = 0; r < (plane ? 1080 : 2160); ++r)
      for (int c = 0; c < (plane ? 1920 : 3840); ++c)
        f->data[plane][r * f->linesize[plane] + c] = static_cast<std::uint8_t>(noise());
  acquisition::PictureJpeg writer;
  std::vector<std::uint8_t> jpeg;
  auto outcome = writer.Write(*f, 800000, &jpeg);
  ASSERT_EQ(outcome.failure, acquisition::PictureJpeg::Failure::kNone);
  EXPECT_LT(jpeg.size(), 800000u);
  EXPECT_LT(outcome.width, 3840);
  EXPECT_EQ(3840 % outcome.width, 0);
  EXPECT_EQ(outcome.width * 2160, outcome.height * 3840);
  EXPECT_EQ(Decompress(jpeg).width, outcome.width);
}

// 30 MPEG-4 frames of 64x48, a key frame every 10, stored in a ring.
class SharedDecodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "cam_rtspstream.h26x";
    testing_support::WriteFile(path_, "");
    ring_.SetPath(path_);
    ASSERT_TRUE(ring_.Init());
    auto codec = std::make_shared<acquisition::VideoCodec>();
    codec->codec_id = AV_CODEC_ID_MPEG4;
    codec->name = "mpeg4";
    const std::uint16_t number = ring_.AddCodec(codec);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* e = avcodec_alloc_context3(encoder);
    e->width = 64;
    e->height = 48;
    e->pix_fmt = AV_PIX_FMT_YUV420P;
    e->time_base = {1, 25};
    e->gop_size = 10;
    // Each frame changes the whole picture: without this every one would be a key frame.
    av_opt_set(e, "sc_threshold", "1000000000", AV_OPT_SEARCH_CHILDREN);
    ASSERT_EQ(avcodec_open2(e, encoder, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    for (int i = 0; i < 30; ++i) {
      Frame f = Flat(AV_PIX_FMT_YUV420P, 64, 48, 16 + 7 * i, 128, 128);
      f->pts = i;
      ASSERT_EQ(avcodec_send_frame(e, f.get()), 0);
      while (avcodec_receive_packet(e, packet) == 0) {
        acquisition::FoundFrame found;
        found.begin_us = 1000000 + 40000LL * i;
        found.session = 1;
        found.codec = number;
        found.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        ring_.Store(packet->data, static_cast<std::size_t>(packet->size), found);
        av_packet_unref(packet);
      }
    }
    ring_.Flush();
    av_packet_free(&packet);
    avcodec_free_context(&e);
  }

  testing_support::TempDir dir_;
  std::string path_;
  acquisition::CameraLog log_;
  acquisition::RingStore ring_{platform::SystemClock(), log_};
  acquisition::DecodingService service_{ring_, log_, platform::SystemClock()};
};

TEST_F(SharedDecodingTest, TwoJobsOfOneCameraDecodeEachFrameOnce) {
  // Both jobs want the same frames, in step: 0..5, then 10..12 (from the
  // key frame 10), 13..17, 20..25.
  const std::int64_t wanted[] = {5, 12, 17, 25};
  std::barrier step(2);
  std::vector<std::vector<std::uint8_t>> images[2];
  auto job = [&](int j) {
    service_.Attach();
    std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
    for (std::int64_t n : wanted) {
      acquisition::FrameRef frame;
      ASSERT_TRUE(ring_.FrameByNumber(n, &frame));
      const int size = service_.Jpeg(frame, buffer.data());
      EXPECT_GT(size, 0) << n;
      images[j].emplace_back(buffer.begin(), buffer.begin() + std::max(size, 0));
      step.arrive_and_wait();
    }
    service_.Detach();
  };
  std::thread other(job, 1);
  job(0);
  other.join();
  EXPECT_EQ(service_.frames_decoded(), 6 + 3 + 5 + 6);
  EXPECT_EQ(images[0], images[1]);
}

}  // namespace
