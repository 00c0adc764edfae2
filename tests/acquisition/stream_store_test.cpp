// The stream file ring, the image index and reading images back.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>
#include <cstring>
#include <regex>
#include <sstream>
#include <vector>

#include "acquisition/camera/camera.h"
#include "acquisition/status_file.h"
#include "core/profile/user_profile.h"
#include "core/report.h"
#include "support/report_capture.h"
#include "support/sandbox.h"

using namespace testing_support;

namespace {

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
    ASSERT_EQ(camera_.InitStream("127.0.0.1", 80, acquisition::kStreamName, 3), 0);
    session_ = camera_.StartStreaming(1000);
  }
  // Camera 3's daily log (year, day, month in its name).
  static std::string CameraLog() {
    return ReadFile(DatedName("LOG/Ocelam_3_%04d%02d%02d.log", true));
  }
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
  // Cameras of earlier tests still report from their threads: the capture
  // takes their lines under its lock.
  ReportCapture capture_;
  TempDir dir_;
  std::string path_;
  acquisition::Camera camera_{platform::SystemClock()};
  std::uint32_t session_ = 0;
};

// Just over one lap of the 50,000,000-byte file, in chunks of odd sizes,
// with no 0xFF but in two frames: one at the start, which is gone once the
// writer comes round to it again, and one across the end of the file.
TEST_F(StreamStoreTest, RingFileHoldsTheStreamAcrossTheWrap) {
  std::vector<std::uint8_t> stream(acquisition::kStreamFileSize +
                                   3 * acquisition::kStreamBlockSize);
  for (std::size_t i = 0; i < stream.size(); ++i)
    stream[i] = static_cast<std::uint8_t>((i * 31 + i / 7) % 251);
  const std::size_t lead = acquisition::kStreamFileSize - 8000;
  for (auto [start, size] : {std::pair<std::size_t, std::size_t>{0, 30000}, {lead, 20000}}) {
    stream[start] = stream[start + size - 2] = 0xFF;
    stream[start + 1] = 0xD8, stream[start + size - 1] = 0xD9;
  }
  std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
  acquisition::FrameRef old;
  std::size_t at = 0;
  std::size_t sizes[] = {1, 16383, 16384, 5000, 777};
  for (int k = 0; at < stream.size(); ++k) {
    std::size_t n = std::min(sizes[k % 5], stream.size() - at);
    ASSERT_TRUE(camera_.ConsumeStream(stream.data() + at, n));
    at += n;
    // The 3052nd block, at 49,987,584, is the one split across the end:
    // while the block before it fills, the first frame is still whole.
    if (at >= 3050 * acquisition::kStreamBlockSize && old.number < 0) {
      ASSERT_TRUE(camera_.FirstFrame(session_, &old));
      EXPECT_EQ(camera_.GetImage(old, buffer.data()), 30000);
    }
    if (at >= 3052 * acquisition::kStreamBlockSize &&
        at - n < 3052 * acquisition::kStreamBlockSize) {
      EXPECT_EQ(camera_.file_position(), 3968);
    }
  }
  std::string file = ReadFile(path_);
  ASSERT_EQ(file.size(), static_cast<std::size_t>(acquisition::kStreamFileSize));
  std::size_t written =
      stream.size() / acquisition::kStreamBlockSize * acquisition::kStreamBlockSize;
  EXPECT_EQ(camera_.block_fill(), stream.size() - written);
  // Every byte position holds the byte of the newest lap that reached it.
  for (std::size_t i = 0; i < written; i += 4099) {
    std::size_t pos = i % acquisition::kStreamFileSize;
    bool overwritten =
        i < acquisition::kStreamFileSize && i + acquisition::kStreamFileSize < written;
    std::size_t newest = overwritten ? i + acquisition::kStreamFileSize : i;
    ASSERT_EQ(static_cast<std::uint8_t>(file[pos]), stream[newest]) << i;
  }
  EXPECT_EQ(camera_.file_position(),
            static_cast<std::int64_t>(written % acquisition::kStreamFileSize));
  // The first frame is gone from the index and a reader holding it is
  // refused; the frame across the end reads back whole.
  EXPECT_EQ(camera_.GetImage(old, buffer.data()), -1);
  EXPECT_NE(CameraLog().find("is no longer in the stream file"), std::string::npos);
  acquisition::FrameRef across;
  ASSERT_TRUE(camera_.FirstFrame(session_, &across));
  EXPECT_EQ(across.entry.start, static_cast<std::int64_t>(lead));
  ASSERT_EQ(camera_.GetImage(across, buffer.data()), 20000);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 20000, stream.begin() + lead));
}

TEST_F(StreamStoreTest, TooBigFramesAreDroppedAndAGoneFileIsReported) {
  std::vector<std::uint8_t> stream = Frame(acquisition::kImageBufferSize + 10, 0x01);
  std::vector<std::uint8_t> small = Frame(5000, 0x02);
  stream.insert(stream.end(), small.begin(), small.end());
  Feed(stream, 16384);
  camera_.EndTransfer();
  EXPECT_EQ(camera_.next_frame_number(), 1);
  EXPECT_NE(CameraLog().find("is larger than an image may be"), std::string::npos);
  acquisition::FrameRef frame;
  ASSERT_TRUE(camera_.FirstFrame(session_, &frame));
  EXPECT_EQ(frame.entry.length, 5000);
  // The stream file gone: the open message and -1.
  unlink(path_.c_str());
  std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
  EXPECT_EQ(camera_.GetImage(frame, buffer.data()), -1);
  // The next block makes it anew, once, and forgets the frames it held.
  Feed(std::vector<std::uint8_t>(4 * acquisition::kStreamBlockSize, 0x11), 16384);
  EXPECT_TRUE(FileExists(path_));
  EXPECT_FALSE(camera_.HasImage());
  EXPECT_EQ(CountOf(CameraLog(), "was gone and is made anew"), 1u);
}

// The newest 200,000 frames are kept: 200,005 little ones, then 20 in
// parts, fed in other pieces, which read back whole.
TEST_F(StreamStoreTest, IndexKeepsTheNewest200000FramesWhichReadBackWhole) {
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < acquisition::kImageIndexSize + 5; ++i)
    stream.insert(stream.end(), {0xFF, 0xD8, 0, 0, 0, 0, 0xFF, 0xD9});
  Feed(stream, acquisition::kStreamBlockSize);
  stream.clear();
  std::vector<std::vector<std::uint8_t>> frames;
  for (int i = 0; i < 20; ++i) {
    frames.push_back(Frame(3000 + i * 100, static_cast<std::uint8_t>(i + 1)));
    stream.insert(stream.end(), {'-', '-', 'b', '\r', '\n'});
    stream.insert(stream.end(), frames.back().begin(), frames.back().end());
  }
  // Each frame is indexed with the chunk that ends it, the last one too,
  // though its block is not full and no byte follows.
  Feed(stream, 1000);
  const std::int64_t all = acquisition::kImageIndexSize + 25;
  EXPECT_EQ((std::vector<std::int64_t>{camera_.image_count(), camera_.first_frame_number(),
                                       camera_.next_frame_number()}),
            (std::vector<std::int64_t>{all, 25, all}));
  EXPECT_FALSE(camera_.HasImage(session_ + 1));
  acquisition::FrameRef frame;
  ASSERT_TRUE(camera_.FrameByNumber(acquisition::kImageIndexSize + 4, &frame));
  EXPECT_EQ(frame.entry.start, static_cast<std::int64_t>(acquisition::kImageIndexSize + 4) * 8);
  std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(camera_.FrameByNumber(acquisition::kImageIndexSize + 5 + i, &frame));
    ASSERT_EQ(camera_.GetImage(frame, buffer.data()), static_cast<int>(frames[i].size()));
    EXPECT_TRUE(std::equal(frames[i].begin(), frames[i].end(), buffer.begin())) << i;
  }
}

// A disk that cannot hold a new camera's ring, then fills in the middle of
// a frame: one line for each start of the failures and each recovery, with
// the system's reason, and no frame with a byte in a failed write indexed.
// A file-size limit in a child stands for the disk: a write past it stops
// short, and so does the allocation of the whole ring.
TEST_F(StreamStoreTest, FullDiskIsNamedOnceAndTornFramesAreNotIndexed) {
  mkdir("disk", 0755);
  const std::string ring_path = dir_ / "disk/cam_mjpegstream.mjpeg";
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    auto disk_room = [&](rlim_t bytes) {
      limit.rlim_cur = std::min(bytes, limit.rlim_max);
      setrlimit(RLIMIT_FSIZE, &limit);
    };
    acquisition::CameraLog log;
    log.SetCameraNumber(3);
    acquisition::RingStore ring(platform::SystemClock(), log);
    ring.SetPath(ring_path);
    if (!ring.Init()) _exit(2);
    const std::vector<std::uint8_t> bytes(20000, 0x01);
    auto add_frame = [&](std::int64_t size) {
      ring.AddFrame({ring.stream_position(), ring.stream_position() + size});
    };
    // `n` bytes appended while the file may grow to `room` bytes.
    auto append = [&](std::size_t n, rlim_t room) {
      disk_room(room);
      ring.Append(bytes.data(), n);
      disk_room(RLIM_INFINITY);
    };
    disk_room(4096);
    ring.MakeFileIfMissing();
    add_frame(10000);
    append(10000, 4096);  // torn at 4096 bytes
    add_frame(10000);
    append(10000, RLIM_INFINITY);
    // Its block is torn at 30000 bytes, its end written once there is room.
    add_frame(20000);
    append(14000, 30000);
    append(6000, RLIM_INFINITY);
    add_frame(10000);
    append(10000, RLIM_INFINITY);
    std::string indexed;
    acquisition::FrameRef frame;
    for (std::int64_t n = ring.first_frame_number(); ring.FrameByNumber(n, &frame); ++n)
      indexed += std::to_string(frame.entry.start) + " ";
    WriteFile(dir_ / "indexed", indexed);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(dir_ / "indexed"), "10000 40000 ");
  std::vector<std::string> lines;
  std::istringstream log(CameraLog());
  for (std::string line; std::getline(log, line);)
    if (line.find("stream file") != std::string::npos) lines.push_back(line.substr(9));
  const std::string disk = dir_ / "disk";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Camera 3: ERROR: the disk of " + disk + " cannot hold the stream file " +
                           ring_path + " (50000000 bytes): File too large",
                       "Camera 3: the stream file " + ring_path + " is written again",
                       "Camera 3: ERROR: the stream file " + ring_path +
                           " cannot be written (File too large): its frames are not indexed",
                       "Camera 3: the stream file " + ring_path + " is written again"}));
}

// What the frame finder makes of a stream, fed in small pieces.
struct Recorder : acquisition::MjpegFrameFinder::Events {
  std::vector<std::pair<std::int64_t, std::int64_t>> frames;
  std::vector<acquisition::StreamProblem> problems;
  void OnFrame(const acquisition::FoundFrame& f) override { frames.emplace_back(f.start, f.end); }
  void OnStreamProblem(acquisition::StreamProblem p, std::int64_t) override {
    problems.push_back(p);
  }
};

std::string Jpeg(std::size_t scan_bytes, bool thumbnail) {
  std::string j = "\xFF\xD8";
  if (thumbnail) {
    // An APP1 segment holding a whole little JPEG of its own.
    std::string thumb = std::string("Exif\0\0", 6) + "\xFF\xD8\xFF\xDA\x00\x02\x11\x22\xFF\xD9";
    j += "\xFF\xE1";
    j += static_cast<char>((thumb.size() + 2) >> 8);
    j += static_cast<char>((thumb.size() + 2) & 0xFF);
    j += thumb;
  }
  j += "\xFF\xDB";
  j += std::string("\x00\x04\xFF\xD9", 4);  // a table whose values look like an end marker
  j += std::string("\xFF\xDA\x00\x02", 4);
  for (std::size_t i = 0; i < scan_bytes; ++i)
    j += (i % 97 == 5) ? std::string("\xFF\x00", 2) : std::string(1, 'a');
  j += "\xFF\xD9";
  return j;
}

std::string Part(const std::string& jpeg, long long announced) {
  std::string head = "--b\r\nContent-Type: image/jpeg\r\n";
  if (announced >= 0) head += "Content-Length: " + std::to_string(announced) + "\r\n";
  return head + "\r\n" + jpeg + "\r\n";
}

// An RTSP camera's frames stored in decoding order (I0 P3 B1 B2 P6 B4 B5, 40 ms
// apart): a moment finds the frame whose own picture is wanted, and a key
// frame of 1.2 MB is stored and read back whole (refused by a buffer of
// 800000 bytes).
TEST_F(StreamStoreTest, BFramesAreFoundByTheirPicturesAndBigFramesReadBack) {
  acquisition::CameraLog log;
  acquisition::RingStore ring(platform::SystemClock(), log);
  ring.SetPath(dir_ / "cam_rtspstream.h26x");
  WriteFile(ring.path(), "");
  ASSERT_TRUE(ring.Init());
  const int pictures[] = {0, 3, 1, 2, 6, 4, 5};
  const std::int64_t t0 = 1000000, frame_us = 40000;
  std::vector<std::uint8_t> bytes(1200000, 0x5A);
  for (int i = 0; i < 7; ++i) {
    acquisition::FoundFrame f;
    f.begin_us = t0 + pictures[i] * frame_us;
    f.session = 7;
    f.codec = 1;
    f.key = i == 0;
    ring.Store(bytes.data(), i == 0 ? bytes.size() : 1000, f);
  }
  ring.Flush();
  struct Row {
    acquisition::FrameSearch search;
    std::int64_t wanted_us;  // after t0
    int picture;
  } rows[] = {
      {acquisition::FrameSearch::kAtOrBefore, frame_us + 10, 1},
      {acquisition::FrameSearch::kAtOrAfter, frame_us - 10, 1},
      {acquisition::FrameSearch::kAtOrBefore, 2 * frame_us, 2},
      {acquisition::FrameSearch::kAtOrAfter, 3 * frame_us + 1, 4},
      {acquisition::FrameSearch::kAtOrBefore, 6 * frame_us - 1, 5},
      {acquisition::FrameSearch::kAtOrAfter, -frame_us, 0},
  };
  for (const Row& r : rows) {
    acquisition::FrameRef ref;
    ASSERT_TRUE(ring.FindFrame(r.search, t0 + r.wanted_us, 7, &ref)) << r.wanted_us;
    EXPECT_EQ(ref.entry.begin_us, t0 + r.picture * frame_us) << r.wanted_us;
  }
  acquisition::FrameRef key;
  ASSERT_TRUE(ring.FindFrame(acquisition::FrameSearch::kAtOrBefore, t0, 7, &key));
  std::vector<std::uint8_t> buffer(acquisition::kRtspFrameLimit);
  std::string message;
  EXPECT_EQ(ring.ReadFrame(key, buffer.data(), acquisition::kRtspFrameLimit, &message), 1200000);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
  EXPECT_EQ(ring.ReadFrame(key, buffer.data(), acquisition::kImageBufferSize, &message), -1);
}

TEST(MjpegFrameFinder, FindsWholeFramesOnly) {
  const std::string a = Jpeg(500, true), b = Jpeg(700, false), c = Jpeg(300, true);
  const long long la = static_cast<long long>(a.size()), lb = static_cast<long long>(b.size());
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::size_t> sizes;  // sizes of the frames found, in order
    std::vector<acquisition::StreamProblem> problems;
    bool reset_after_first_part = false;
  } cases[] = {
      // clang-format off
      {"by length, thumbnail inside", Part(a, la) + Part(b, lb), {a.size(), b.size()}, {}},
      {"by markers, thumbnail skipped", Part(a, -1) + Part(b, -1) + Part(c, -1),
       {a.size(), b.size(), c.size()}, {}},
      {"length counts the CR LF", Part(a, la + 2) + Part(b, lb + 2), {a.size(), b.size()}, {}},
      {"length too short", Part(a, la - 50) + Part(b, lb) + Part(c, -1), {b.size(), c.size()},
       {acquisition::StreamProblem::kLengthMismatch}},
      {"length too long", Part(a, la + 100) + Part(b, lb) + Part(c, -1), {c.size()},
       {acquisition::StreamProblem::kLengthMismatch}},
      {"unusable length", Part(a, -1).replace(5, 0, "Content-Length: 99999999999999\r\n") +
       Part(b, lb), {a.size(), b.size()}, {acquisition::StreamProblem::kBadLength}},
      {"no end marker", "--b\r\n\r\n" + a.substr(0, 300) + Part(b, -1), {b.size()},
       {acquisition::StreamProblem::kNoEndMarker}},
      {"garbage between frames", "\x01\xFF\x02garbage\r\n" + Part(a, -1) + "\xFF\xFF\xD9xx" +
       Part(b, lb), {a.size(), b.size()}, {}},
      {"cut by a reconnect", "--b\r\n\r\n" + a.substr(0, 300), {b.size()}, {}, true},
      // clang-format on
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.name);
    Recorder r;
    acquisition::MjpegFrameFinder finder;
    std::string stream = k.stream;
    const std::size_t reset_at = k.reset_after_first_part ? stream.size() : std::string::npos;
    if (k.reset_after_first_part) stream += a.substr(300) + Part(b, -1);
    // Pieces of 37 bytes, one cut short where the connection was made anew.
    for (std::size_t at = 0, end; at < stream.size(); at = end) {
      end = std::min({at + 37, stream.size(), at < reset_at ? reset_at : stream.size()});
      if (at == reset_at) finder.Reset();
      finder.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()) + at, end - at,
                  static_cast<std::int64_t>(at), 0, 0, 1, r);
    }
    std::vector<std::size_t> sizes;
    for (auto [start, end] : r.frames) {
      sizes.push_back(static_cast<std::size_t>(end - start));
      EXPECT_EQ(stream.substr(start, 2) + stream.substr(end - 2, 2), "\xFF\xD8\xFF\xD9");
    }
    EXPECT_EQ(sizes, k.sizes);
    EXPECT_EQ(r.problems, k.problems);
  }
}

// A frame is reported with the byte that ends it (for a length that counts
// the CR LF behind the image, the LF), never before and never a chunk late,
// however the stream is cut: fed byte by byte, every boundary, header and
// marker is split.
TEST(MjpegFrameFinder, ReportsEachFrameWithTheByteThatEndsIt) {
  const std::string a = Jpeg(500, true), b = Jpeg(300, false);
  const long long la = static_cast<long long>(a.size()), lb = static_cast<long long>(b.size());
  const struct {
    const char* name;
    std::string stream;
    std::int64_t counted_after_image;
  } cases[] = {
      {"by length, end markers inside", Part(a, la) + Part(b, lb), 0},
      {"by length counting the CR LF", Part(a, la + 2) + Part(b, lb + 2), 2},
      {"by markers", Part(a, -1) + Part(b, -1), 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Recorder r;
    acquisition::MjpegFrameFinder finder;
    std::vector<std::int64_t> reported_at, ends_at;
    for (std::size_t at = 0; at < k.stream.size(); ++at) {
      finder.Feed(reinterpret_cast<const std::uint8_t*>(k.stream.data()) + at, 1,
                  static_cast<std::int64_t>(at), 0, 0, 1, r);
      while (reported_at.size() < r.frames.size()) reported_at.push_back(static_cast<std::int64_t>(at));
    }
    for (auto [start, end] : r.frames) ends_at.push_back(end - 1 + k.counted_after_image);
    EXPECT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(reported_at, ends_at);
  }
}

// A frame too big to keep is given up at the same byte however the stream
// is cut: a skip over a long segment used to run to the end of the chunk,
// so what was found after it depended on the chunk sizes.
TEST(MjpegFrameFinder, GivesUpATooBigFrameAtTheSameByteForAnyChunks) {
  std::string segment(65533, 'x');
  segment.replace(segment.size() - 10, 4, "\xFF\xD8\xFF\xD9");  // a little JPEG inside
  std::string big = "\xFF\xD8";
  while (big.size() <= static_cast<std::size_t>(acquisition::kMaxFrameBytes))
    big += "\xFF\xE1\xFF\xFF" + segment;
  big += "\xFF\xD9";
  const std::string stream = Part(big, -1) + Part(Jpeg(100, false), -1);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
  Recorder whole, cut;
  acquisition::MjpegFrameFinder one_shot, chunked;
  one_shot.Feed(bytes, stream.size(), 0, 0, 0, 1, whole);
  for (std::size_t at = 0; at < stream.size(); at += 37)
    chunked.Feed(bytes + at, std::min<std::size_t>(37, stream.size() - at),
                 static_cast<std::int64_t>(at), 0, 0, 1, cut);
  EXPECT_EQ(cut.frames, whole.frames);
  EXPECT_EQ(cut.problems, whole.problems);
  EXPECT_EQ(whole.problems,
            std::vector<acquisition::StreamProblem>{acquisition::StreamProblem::kTooBig});
}

TEST(WriteJpegFile, ChecksBothMarkersAndReplacesALinkWithoutWritingThroughIt) {
  TempDir dir;
  ReportCapture capture;
  const std::uint8_t reversed[] = {0xFF, 0xD9, 0xFF, 0xD8};
  // A link planted at the image's name: its target is never written.
  WriteFile(dir / "target", "kept");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "a.jpg").c_str()), 0);
  EXPECT_EQ(acquisition::WriteJpegFile(dir / "a.jpg", reversed, 4), 0);
  EXPECT_EQ(ReadFile(dir / "a.jpg").size(), 4u);
  EXPECT_EQ(ReadFile(dir / "target"), "kept");
  EXPECT_EQ(SortedNames(dir.path()), (std::vector<std::string>{"a.jpg", "target"}));
  const std::uint8_t one[] = {0xFF, 0xD8};
  EXPECT_EQ(acquisition::WriteJpegFile(dir / "b.jpg", one, 1), -1);
  const std::uint8_t no_end[] = {0xFF, 0xD8, 0x00, 0x12};
  EXPECT_EQ(acquisition::WriteJpegFile(dir / "c.jpg", no_end, 4), -1);
  EXPECT_EQ(acquisition::WriteJpegFile(dir / "missing/d.jpg", reversed, 4), -1);
  // Only this test's lines: cameras of earlier tests may still report.
  std::vector<std::string> lines;
  for (const auto& [line, level] : capture.Take())
    if (line.find(dir.path()) != std::string::npos) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{
                           "ERROR: Unable to find the SoI in the buffer for writing '" +
                               dir / "b.jpg" + "' (nb Bytes 1 -ffffffff 0)",
                           "ERROR: Unable to find the EoI in the buffer for writing '" +
                               dir / "c.jpg" + "' (nb Bytes 4 -12 0)",
                           "ERROR: Unable to open the file '" + dir / "missing/d.jpg" + "'"}));
}

// A disk that fills in the middle of an image: the torn bytes must not stay
// under the image's name (the alarm server would take them for the picture),
// and the image another job wrote under that name (an alarm sent twice)
// stays. A file-size limit in a child makes every write stop short, as a
// full disk does.
TEST(WriteJpegFile, ShortWriteLeavesNoTornFileAndRemovesNoOtherImage) {
  TempDir dir;
  const std::string path = dir / "torn.jpg";
  WriteFile(path, "other job's image");
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<std::uint8_t> image(1000, 0x11);
    image[0] = 0xFF, image[1] = 0xD8, image[998] = 0xFF, image[999] = 0xD9;
    _exit(acquisition::WriteJpegFile(path, image.data(), 1000) == -1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(path), "other job's image");
  EXPECT_EQ(SortedNames(dir.path()), std::vector<std::string>{"torn.jpg"});
}

TEST(StatusFile, KeysAndFormats) {
  TempDir dir;
  WriteFile(dir / "reg.ini",
            "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir.path() + "\n");
  setenv("OCELAM_REGISTRY", (dir / "reg.ini").c_str(), 1);
  acquisition::WriteStatusTime(7, acquisition::kStatusCamStatus, 0x6A000000);
  acquisition::WriteStreamingState(7, 1);
  acquisition::WriteStreamFps(7, 12.5f);
  acquisition::WriteStreamingState(7, 2);  // ignored
  acquisition::WriteStatusTime(7, 5, 1);   // ignored
  std::string status = ReadFile(dir / "ocelam_status.ini");
  EXPECT_TRUE(std::regex_search(status, std::regex("^\\[Scenario7\\]\nCamStatus=6A000000\n"
                                                   "Streaming=1\nFPS=12.500000\n$")))
      << status;
}

}  // namespace
