// The stream file ring, the image index and reading images back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <sys/stat.h>
#include <vector>

#include "acquisition/camera/camera.h"
#include "acquisition/status_file.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "support/sandbox.h"

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

std::vector<std::string> g_reports;
void Capture(void*, char* text, int) { g_reports.emplace_back(text); }

// A camera whose stream file lives in a private directory, fed by hand.
class StreamStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("LOG", 0755);
    path_ = dir_ / "cam_mjpegstream.mjpeg";
    WriteFile(path_, "");
    camera_.SetStreamFilePath(path_);
    camera_.SetCameraNumber(3);
    ASSERT_EQ(camera_.InitStream("127.0.0.1", 80, kStreamName, 3), 0);
    camera_.StartStreaming(1000);
    SetReportSink(&g_reports, Capture);
    g_reports.clear();
  }
  void TearDown() override { SetReportSink(nullptr, nullptr); }

  void Feed(const std::vector<std::uint8_t>& bytes, std::size_t chunk = 4096) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
      ASSERT_TRUE(camera_.ConsumeStream(bytes.data() + at, std::min(chunk, bytes.size() - at)));
  }
  // A frame of `size` bytes: SoI, filler without 0xFF, EoI.
  static std::vector<std::uint8_t> Frame(std::size_t size, std::uint8_t fill) {
    std::vector<std::uint8_t> f(size, fill);
    f[0] = 0xFF, f[1] = 0xD8, f[size - 2] = 0xFF, f[size - 1] = 0xD9;
    return f;
  }

  TempDir dir_;
  std::string path_;
  CCamera camera_;
};

TEST_F(StreamStoreTest, RingFileHoldsTheStreamAcrossTheWrap) {
  // Just over one lap of the 50,000,000-byte file, in chunks of odd sizes.
  std::vector<std::uint8_t> stream(kStreamFileSize + 3 * kStreamBlockSize);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>((i * 31 + i / 7) % 251);
  std::size_t at = 0;
  std::size_t sizes[] = {1, 16383, 16384, 5000, 777};
  for (int k = 0; at < stream.size(); ++k) {
    std::size_t n = std::min(sizes[k % 5], stream.size() - at);
    ASSERT_TRUE(camera_.ConsumeStream(stream.data() + at, n));
    at += n;
    // The block at 49,987,584 (the 3052nd) is the one split across the end.
    if (at == 3052 * kStreamBlockSize) {
      EXPECT_EQ(camera_.file_position(), 3968);
    }
  }
  std::string file = ReadFile(path_);
  ASSERT_EQ(file.size(), static_cast<std::size_t>(kStreamFileSize));
  std::size_t written = stream.size() / kStreamBlockSize * kStreamBlockSize;
  EXPECT_EQ(camera_.block_fill(), stream.size() - written);
  // Every byte position holds the byte of the newest lap that reached it.
  for (std::size_t i = 0; i < written; i += 4099) {
    std::size_t pos = i % kStreamFileSize;
    bool overwritten = i < kStreamFileSize && i + kStreamFileSize < written;
    std::size_t newest = overwritten ? i + kStreamFileSize : i;
    ASSERT_EQ(static_cast<std::uint8_t>(file[pos]), stream[newest]) << i;
  }
  EXPECT_EQ(camera_.file_position(), static_cast<std::int64_t>(written % kStreamFileSize));
}

TEST_F(StreamStoreTest, ImagesAreIndexedAndReadBackWhole) {
  std::vector<std::uint8_t> stream;
  std::vector<std::vector<std::uint8_t>> frames;
  for (int i = 0; i < 20; ++i) {
    frames.push_back(Frame(3000 + i * 100, static_cast<std::uint8_t>(i + 1)));
    stream.insert(stream.end(), {'-', '-', 'b', '\r', '\n'});
    stream.insert(stream.end(), frames.back().begin(), frames.back().end());
  }
  stream.resize(stream.size() + kStreamBlockSize, 0);  // push the last frames out to the file
  Feed(stream, 1000);
  ASSERT_TRUE(camera_.HasImage());
  EXPECT_EQ(camera_.write_index(), 20);
  std::vector<std::uint8_t> buffer(kImageBufferSize);
  int index = -1;
  int n = camera_.GetImage(0, buffer.data(), &index);
  EXPECT_EQ(index, 19);
  ASSERT_EQ(n, static_cast<int>(frames[19].size()));
  EXPECT_TRUE(std::equal(frames[19].begin(), frames[19].end(), buffer.begin()));
  EXPECT_EQ(camera_.GetImage(-50, buffer.data(), &index), n);  // negative means newest too
  // An entry the ring never filled yields 0, silently.
  EXPECT_EQ(camera_.Bounds(100).first, -1);
}

TEST_F(StreamStoreTest, MarkersSplitAcrossBlocksAreNotSeen) {
  // 0xFF at the last byte of block 0, 0xD8 at the first of block 1: no image.
  std::vector<std::uint8_t> stream(2 * kStreamBlockSize, 0);
  stream[kStreamBlockSize - 1] = 0xFF;
  stream[kStreamBlockSize] = 0xD8;
  stream[kStreamBlockSize + 10] = 0xFF;
  stream[kStreamBlockSize + 11] = 0xD9;
  Feed(stream);
  EXPECT_FALSE(camera_.HasImage());
  EXPECT_EQ(camera_.image_count(), 0);
}

TEST_F(StreamStoreTest, ImageAcrossTheFileEndReadsBackWhole) {
  // Fill up to 8000 bytes before the end, then a 20000-byte frame that wraps.
  std::size_t lead = kStreamFileSize - 8000;
  std::vector<std::uint8_t> stream(lead, 0x11);
  std::vector<std::uint8_t> frame = Frame(20000, 0x22);
  stream.insert(stream.end(), frame.begin(), frame.end());
  stream.resize(stream.size() + kStreamBlockSize, 0x33);
  Feed(stream, 16384);
  auto [soi, eoi] = camera_.Bounds(0);
  EXPECT_EQ(soi, static_cast<int>(lead));
  EXPECT_EQ(eoi, 12000);
  std::vector<std::uint8_t> buffer(kImageBufferSize);
  ASSERT_EQ(camera_.GetImage(0, buffer.data(), nullptr), 20000);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), buffer.begin()));
}

TEST_F(StreamStoreTest, BadEntriesGiveTheirMessages) {
  // SoI == EoI cannot come from a stream; build it with a zero-length image
  // followed by a too-big one.
  std::vector<std::uint8_t> stream = Frame(4, 0);
  std::vector<std::uint8_t> big = Frame(kImageBufferSize, 0x01);
  stream.insert(stream.end(), big.begin(), big.end());
  stream.resize(stream.size() + kStreamBlockSize, 0);
  Feed(stream, 16384);
  std::vector<std::uint8_t> buffer(kImageBufferSize);
  EXPECT_EQ(camera_.GetImage(0, buffer.data(), nullptr), -1);
  EXPECT_NE(ReadFile(dir_.path() + "/" + [] {
              char name[64];
              std::time_t now = std::time(nullptr);
              std::tm tm{};
              localtime_r(&now, &tm);
              std::snprintf(name, sizeof name, "LOG/Ocelam_3_%04d%02d%02d.log", tm.tm_year + 1900,
                            tm.tm_mday, tm.tm_mon + 1);
              return std::string(name);
            }()).find("Camera 3: ERROR: image too big (800000 bytes, max allowed: 800000 bytes)"),
            std::string::npos);
  // The stream file gone: the open message and -1.
  unlink(path_.c_str());
  EXPECT_EQ(camera_.GetImage(0, buffer.data(), nullptr), -1);
}

TEST(ImageIndex, TimeBackChoosesTheEntry) {
  struct Case {
    int w;
    float rate;
    int time_back;
    int expected;
  } cases[] = {
      {1000, 10.0f, 500, 950},    {1000, 10.0f, 0, 999},        {20, 10.0f, 500, 199970},
      {1000, 10.0f, -5, 999},     {0, 10.0f, 0, 199999},        {5, 25.0f, 2147483647, 5 - static_cast<int>(536870911L % 200000) + 200000},
      {100, 0.0f, 500, 100},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseImageIndex(c.w, c.rate, c.time_back), c.expected)
        << c.w << " " << c.rate << " " << c.time_back;
}

TEST(ImageIndex, RingWrapsAfter200000Images) {
  TempDir dir;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  testing_support::WriteFile(dir / "s.mjpeg", "");
  CCamera camera;
  camera.SetStreamFilePath(dir / "s.mjpeg");
  ASSERT_EQ(camera.InitStream("127.0.0.1", 80, kStreamName, 1), 0);
  camera.StartStreaming(1000);
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < kImageIndexSize; ++i) stream.insert(stream.end(), {0xFF, 0xD8, 0, 0, 0, 0, 0xFF, 0xD9});  // 8 bytes: never split
  // The 200000th end marker lands exactly at the end of the stream: flush it.
  stream.resize((stream.size() / kStreamBlockSize + 1) * kStreamBlockSize, 0);
  for (std::size_t at = 0; at < stream.size(); at += kStreamBlockSize)
    camera.ConsumeStream(stream.data() + at, kStreamBlockSize);
  EXPECT_EQ(camera.write_index(), 0);
  EXPECT_FALSE(camera.HasImage());
  EXPECT_EQ(camera.image_count(), kImageIndexSize);
}

TEST(WriteJpegFile, ChecksBothMarkers) {
  TempDir dir;
  int sink = 0;
  SetReportSink(&sink, Capture);
  g_reports.clear();
  const std::uint8_t reversed[] = {0xFF, 0xD9, 0xFF, 0xD8};
  EXPECT_EQ(WriteJpegFile(dir / "a.jpg", reversed, 4), 0);
  EXPECT_EQ(ReadFile(dir / "a.jpg").size(), 4u);
  const std::uint8_t one[] = {0xFF, 0xD8};
  EXPECT_EQ(WriteJpegFile(dir / "b.jpg", one, 1), -1);
  const std::uint8_t no_end[] = {0xFF, 0xD8, 0x00, 0x12};
  EXPECT_EQ(WriteJpegFile(dir / "c.jpg", no_end, 4), -1);
  EXPECT_EQ(WriteJpegFile(dir / "missing/d.jpg", reversed, 4), -1);
  SetReportSink(nullptr, nullptr);
  ASSERT_EQ(g_reports.size(), 3u);
  EXPECT_EQ(g_reports[0], "ERROR: Unable to find the SoI in the buffer for writing '" + dir / "b.jpg" +
                              "' (nb Bytes 1 -ffffffff 0)");
  EXPECT_EQ(g_reports[1], "ERROR: Unable to find the EoI in the buffer for writing '" + dir / "c.jpg" +
                              "' (nb Bytes 4 -12 0)");
  EXPECT_EQ(g_reports[2], "ERROR: Unable to open the file '" + dir / "missing/d.jpg" + "'");
}

TEST(StatusFile, KeysAndFormats) {
  TempDir dir;
  testing_support::WriteFile(dir / "reg.ini", "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" +
                                                 dir.path() + "\n");
  setenv("OCELAM_REGISTRY", (dir / "reg.ini").c_str(), 1);
  ResetIniDirectoryForTest();
  WriteStatusTime(7, kStatusCamStatus);
  WriteStreamingState(7, 1);
  WriteStreamFps(7, 12.5f);
  WriteStreamingState(7, 2);  // ignored
  WriteStatusTime(7, 5);      // ignored
  std::string status = ReadFile(dir / "ocelam_status.ini");
  EXPECT_TRUE(std::regex_search(status, std::regex("^\\[Scenario7\\]\nCamStatus=[0-9A-F]{8}\n"
                                                   "Streaming=1\nFPS=12.500000\n$")))
      << status;
}

}  // namespace
