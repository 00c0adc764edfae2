// H.264 and H.265 cameras over RTSP, gateway to JPEG files: the images of a
// job are the frames of their moments (the simulator's frames carry their
// numbers), B-frames, a mid-GOP join and a camera clock step included, a
// camera restarted with another size and codec keeps recording, a
// pre-record reaching past the ring's oldest key frame saves what can be
// decoded, UDP-only cameras record, a redirect elsewhere is not followed,
// and bad streams get a line in the camera log and no image. A snapshot on
// the status port is the newest frame, decoded at the camera's size.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "sim/frame_mark.h"
#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

using sim_test::SimProcess;
using testing_support::FileExists;
using testing_support::GatewaySandbox;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

double Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// A saved image: its size and the simulator's frame number it shows (-1
// when it is no JPEG or carries no readable number).
struct Picture {
  int width = 0, height = 0, frame = -1;
};

Picture DecodeBytes(std::string bytes) {
  Picture p;
  tjhandle handle = tjInitDecompress();
  int sampling = 0, colors = 0;
  auto* data = reinterpret_cast<unsigned char*>(bytes.data());
  if (tjDecompressHeader3(handle, data, bytes.size(), &p.width, &p.height, &sampling, &colors) ==
      0) {
    std::vector<unsigned char> gray(static_cast<std::size_t>(p.width) * p.height);
    if (tjDecompress2(handle, data, bytes.size(), gray.data(), p.width, 0, p.height, TJPF_GRAY,
                      0) == 0)
      p.frame = sim::FrameNumberFromGray(gray.data(), p.width, p.height, p.width);
  }
  tjDestroy(handle);
  return p;
}

Picture Decode(const std::string& path) { return DecodeBytes(ReadFile(path)); }

// A port that must never be connected to.
struct Listener {
  Listener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
  bool Connected() const { return accept4(fd, nullptr, nullptr, SOCK_NONBLOCK) >= 0; }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int port = 0;
};

class RtspWorld {
 public:
  // `cameras`: the simulator's keys of cameras 1, 2, ...; `sections`: what
  // each camera's section adds to "CamPort" ("{port}" stands for the
  // camera's port); cameras record permanently unless it says otherwise.
  // `status_port`: the gateway's "StatusPort" (0: none).
  RtspWorld(const std::vector<std::string>& cameras, const std::vector<std::string>& sections,
            int status_port = 0)
      : sim_(Args(cameras)) {
    EXPECT_TRUE(sim_.ready()) << sim_.Output();
    std::string ini = "[Config]\nWatchPath=" + box_.path("watch") +
                      "\nDonePath=" + box_.path("done") + "\nErrorPath=" + box_.path("error") +
                      "\nFilePath=" + box_.path("file") + "\nLogDirectory=" + box_.path("alarms") +
                      // One decoder at a time for all cameras: their jobs take turns.
                      "\nMaxDecoders=1\n";
    if (status_port != 0) ini += "StatusPort=" + std::to_string(status_port) + "\n";
    for (std::size_t i = 0; i < sections.size(); ++i) {
      int n = static_cast<int>(i) + 1;
      std::string port = std::to_string(sim_.port(n));
      std::string section = sections[i];
      if (std::size_t at = section.find("{port}"); at != std::string::npos)
        section.replace(at, 6, port);
      ini += "[Scenario" + std::to_string(n) + "]\nCameraRef=cam" + std::to_string(n) +
             "\nCamPort=" + port + "\n" + section + "\n";
      if (section.find("MJPEGPermanentRecording") == std::string::npos)
        ini += "MJPEGPermanentRecording=1\n";
    }
    for (const char* d : {"watch", "done", "error", "file", "alarms"})
      std::filesystem::create_directories(box_.path(d));
    WriteFile(box_.IniFile("ocelam.ini"), ini);
    gateway_ = box_.Start();
  }
  ~RtspWorld() {
    gateway_->Signal(SIGTERM);
    EXPECT_TRUE(gateway_->WaitExit(60));
    EXPECT_EQ(gateway_->exit_code(), 0) << box_.Output();
  }

  std::string CameraLog(int n) const {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(box_.work() + "/LOG"))
      if (e.path().filename().string().starts_with("Ocelam_" + std::to_string(n) + "_"))
        all += ReadFile(e.path());
    return all;
  }
  bool WaitLog(int n, const std::string& text, int times = 1, double seconds = 60) const {
    return WaitFor(
        [&] {
          std::string log = CameraLog(n);
          int found = 0;
          for (std::size_t at = log.find(text); at != std::string::npos;
               at = log.find(text, at + 1))
            ++found;
          return found >= times;
        },
        seconds);
  }

  // Drops a job of the cameras with these images; the moment it was dropped.
  double DropJob(const std::string& ref, const std::vector<int>& cameras, int pre, int duration,
                 double interval) {
    std::string job =
        "[Alarm]\nAlarmRef=" + ref + "\nNumberOfCams=" + std::to_string(cameras.size()) + "\n";
    for (std::size_t i = 0; i < cameras.size(); ++i)
      job += "[Camera" + std::to_string(i + 1) + "]\nCameraScenario=" + std::to_string(cameras[i]) +
             "\nPreRecordTime=" + std::to_string(pre) + "\nDuration=" + std::to_string(duration) +
             "\nInterval=" + std::to_string(interval) + "\n";
    WriteFile(box_.path(ref + ".tmp"), job);
    double dropped = Now();
    std::filesystem::rename(box_.path(ref + ".tmp"), box_.path("watch/" + ref + ".job"));
    // A job with an image missing ends in ErrorPath.
    EXPECT_TRUE(WaitFor(
        [&] {
          return FileExists(box_.path("done/" + ref + ".job")) ||
                 FileExists(box_.path("error/" + ref + ".job")) ||
                 !std::filesystem::is_empty(box_.path("done")) ||
                 !std::filesystem::is_empty(box_.path("error"));
        },
        120))
        << "job " << ref << " not finished";
    return dropped;
  }
  // The job's images of camera `n` by index; a missing one stays empty.
  std::vector<std::optional<Picture>> Images(int n, const std::string& ref, int count) const {
    std::vector<std::optional<Picture>> images(static_cast<std::size_t>(count));
    std::string base = box_.path("alarms/multimedia/cam" + std::to_string(n) + "/" + ref + "/cam" +
                                 std::to_string(n) + "_" + ref + "_");
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%05d.jpg", i);
      if (FileExists(base + name)) images[static_cast<std::size_t>(i)] = Decode(base + name);
    }
    return images;
  }
  // The frame the simulator's camera `n` took at wall time `t`, by the
  // moments it really took them (late under load): the newest taken at or
  // before `t`, plus the part of the way to the next one.
  double FrameAt(int n, double t) const {
    const std::map<long long, long long> taken = sim_.Taken(n, 0, LLONG_MAX);
    const long long us = std::llround(t * 1e6);
    auto next = std::find_if(taken.begin(), taken.end(), [&](const auto& f) { return f.second > us; });
    if (next == taken.begin() || next == taken.end()) return -1e9;  // not kept: no match
    auto newest = std::prev(next);
    return static_cast<double>(newest->first) +
           static_cast<double>(next->first - newest->first) *
               static_cast<double>(us - newest->second) /
               static_cast<double>(next->second - newest->second);
  }
  const SimProcess& sim() const { return sim_; }
  std::string path(const std::string& rel) const { return box_.path(rel); }
  std::string ReadAlarmFile(const std::string& name) const {
    return ReadFile(box_.path("alarms/" + name));
  }

 private:
  static std::vector<std::string> Args(const std::vector<std::string>& cameras) {
    std::vector<std::string> args;
    for (std::size_t i = 0; i < cameras.size(); ++i)
      args.insert(args.end(), {"--camera", "id=" + std::to_string(i + 1) + "," + cameras[i]});
    return args;
  }

  SimProcess sim_;
  GatewaySandbox box_;
  std::unique_ptr<testing_support::Child> gateway_;
};

// What a command prints on its standard output (and its errors, with `2>&1`).
std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[65536];
    for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    pclose(pipe);
  }
  return out;
}

// Whether a clip plays: every frame decodes, without a line from the
// demuxer or the decoder (nothing but the count of frames read).
bool Plays(const std::string& path) {
  const std::string out = RunCommand("ffprobe -v error -count_frames -select_streams v "
                                     "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                     path + "' 2>&1");
  return !out.empty() && out.find_first_not_of("0123456789\n") == std::string::npos &&
         std::stoi(out) > 0;
}

// A clip's frames in the order they are shown: their times in the clip and
// the simulator's numbers they show (-1 for a picture without one).
struct ClipFrame {
  double time = 0;
  int frame = -1;
};

std::vector<ClipFrame> ClipFrames(const std::string& path, int width, int height) {
  std::vector<ClipFrame> frames;
  std::istringstream times(RunCommand("ffprobe -v error -select_streams v -show_entries frame=pts_time "
                               "-of csv=p=0 '" + path + "'"));
  for (std::string line; std::getline(times, line);) frames.push_back({std::stod(line), -1});
  const std::string gray = RunCommand("ffmpeg -v error -i '" + path +
                               "' -fps_mode passthrough -f rawvideo -pix_fmt gray -");
  const std::size_t picture = static_cast<std::size_t>(width) * height;
  for (std::size_t i = 0; i < frames.size() && (i + 1) * picture <= gray.size(); ++i)
    frames[i].frame = sim::FrameNumberFromGray(
        reinterpret_cast<const std::uint8_t*>(gray.data()) + i * picture, width, height, width);
  return frames;
}

// How far, in frames, each image's frame lies from the frame taken at its
// moment counted from `dropped`. The gateway's alarm moment is when it first
// saw the file, a little after: every offset is shifted by the same amount.
std::vector<double> Offsets(const RtspWorld& w, int camera, double dropped, int pre,
                            double interval, const std::vector<std::optional<Picture>>& images) {
  std::vector<double> out;
  for (std::size_t i = 0; i < images.size(); ++i)
    if (images[i] && images[i]->frame >= 0)
      out.push_back(images[i]->frame -
                    w.FrameAt(camera, dropped - pre + interval * static_cast<double>(i)));
  return out;
}

// What no receiver can see: the time from a picture's taking to its first
// packet read by the gateway, less the smallest such time of the connection
// (the simulator's encoder and relay, the gateway's reading; tens of
// milliseconds in the sanitizer trees on a loaded machine). The gateway
// dates a frame by its presentation time anchored at that smallest delay,
// so a picture may be dated this much after it was taken.
constexpr double kUnseenDelay = 0.1;

// Pre-recorded images are the newest frame at or before their moment (less
// than a frame, and the unseen delay, before it), live ones the oldest at or
// after it: each within one frame of the others' moment. The moment is the
// drop plus the gateway's delay in seeing the file, the same for all images
// of the camera, and under 300 ms. `live_late`: how many frames more a live image may lie after its
// moment (at the live edge a B-frame may still be behind the frame after it).
void ExpectWithinOneFrame(const std::vector<double>& pre, const std::vector<double>& live,
                          double fps, double live_late = 0) {
  ASSERT_FALSE(pre.empty());
  const double seen = *std::max_element(pre.begin(), pre.end());
  EXPECT_GE(seen, -1.1 - kUnseenDelay * fps);
  EXPECT_LE(seen, 0.3 * fps + 0.5);
  for (double off : pre) EXPECT_GE(off, seen - 1.1);
  for (double off : live) {
    EXPECT_GE(off, seen - 0.1);
    EXPECT_LE(off, seen + 1.1 + live_late);
  }
}

// Job R1's clips (pre-record 2 s, duration 2 s): camera 1's H.264 frames
// from the key frame (one a second) at or before the pre-record, each at its
// capture moment; camera 6's JPEG frames, each whole. Only they have one.
void ExpectClips(const RtspWorld& w, double dropped) {
  const std::string message = w.ReadAlarmFile("R1.msg");
  const auto clip = [](int n) {
    return "alarms/multimedia/cam" + std::to_string(n) + "/R1/cam" + std::to_string(n) + "_R1";
  };
  EXPECT_NE(message.find("clip=" + w.path(clip(1) + ".mp4")), std::string::npos) << message;
  EXPECT_NE(message.find("clip=" + w.path(clip(6) + ".mov")), std::string::npos) << message;
  int clips = 0;
  for (std::size_t at = message.find("clip="); at != std::string::npos;
       at = message.find("clip=", at + 1))
    ++clips;
  EXPECT_EQ(clips, 2) << message;
  for (const std::string& file : {clip(1) + ".mp4", clip(6) + ".mov"})
    EXPECT_TRUE(Plays(w.path(file))) << file;

  const std::vector<ClipFrame> frames = ClipFrames(w.path(clip(1) + ".mp4"), 320, 240);
  ASSERT_FALSE(frames.empty());
  ASSERT_GE(frames.front().frame, 0);
  const std::map<long long, long long> taken = w.sim().Taken(1, 0, LLONG_MAX);
  const auto moment = [&](int frame) { return static_cast<double>(taken.at(frame)) / 1e6; };
  const double start = moment(frames.front().frame);
  EXPECT_LE(start, dropped - 2 + 0.3);
  EXPECT_GE(start, dropped - 2 - 1 - 0.3);
  EXPECT_NEAR(frames.back().time, 4 + (dropped - 2 - start), 0.5);
  for (const ClipFrame& f : frames) {
    ASSERT_GE(f.frame, 0);
    EXPECT_NEAR(moment(f.frame) - start, f.time, 0.1) << f.frame;
  }
  const std::vector<ClipFrame> jpeg = ClipFrames(w.path(clip(6) + ".mov"), 0, 0);
  EXPECT_NEAR(jpeg.back().time, 4, 0.3);
  EXPECT_GE(jpeg.size(), 30u);
}

TEST(RtspCameras, H264AndH265ImagesAreTheFramesOfTheirMoments) {
  const int status_port = testing_support::FreeLoopbackPort();
  // 10 fps: a frame every 100 ms, a key frame every second. The third camera
  // cuts its frames in slices, as many real ones do, and wants digest
  // credentials that need encoding in the address. The fourth streams on
  // demand: it is probed, and the job gets live images from it.
  RtspWorld w({"rtsp=h264,width=320,height=240,fps=10,gop=10",
               "rtsp=h265,width=320,height=240,fps=10,gop=10",
               "rtsp=h264,width=320,height=240,fps=10,gop=10,slices=3,user=op,\"pass=s:cr@t\","
               "auth=digest",
               "rtsp=h265,width=320,height=240,fps=10,gop=10",
               // As sold: joined mid-GOP, B-frames, an audio track, key frames 3 s
               // apart; its clock steps back 1 s below.
               "rtsp=h264,width=320,height=240,fps=10,gop=30,shared=1,bframes=2,audio=1",
               // An MJPEG camera, for its alarm clip.
               "fps=10"},
              {"StreamType=rtsp\nRequestUri=/stream\nAlarmClip=1", "StreamType=RTSP\nRequestUri=stream",
               "RequestUri=rtsp://127.0.0.1:{port}/stream\nUsername=op\nPassword=s:cr@t",
               "StreamType=rtsp\nRequestUri=/stream\nMJPEGPermanentRecording=0",
               "StreamType=rtsp\nRequestUri=/stream", "RequestUri=/mjpg\nAlarmClip=1"},
              status_port);
  for (int n = 1; n <= 6; ++n) ASSERT_TRUE(w.WaitLog(n, "stream connected")) << w.CameraLog(n);
  EXPECT_TRUE(w.WaitLog(5, "Camera 5: first key frame after ")) << w.CameraLog(5);
  EXPECT_NE(w.sim().Control("clockstep camera 5 -1000").find("ok"), std::string::npos);
  // More than the pre-record in the rings, and the clock step 5 s back.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  // A snapshot is the newest frame decoded at the camera's size: H.264,
  // H.265, and H.264 with B-frames.
  for (int n : {1, 2, 5}) {
    SCOPED_TRACE("snapshot of camera " + std::to_string(n));
    std::string body;
    const double asked = Now();
    ASSERT_EQ(sim_test::HttpGet(status_port, "/cameras/" + std::to_string(n) + "/snapshot.jpg",
                                &body),
              200)
        << body;
    const Picture p = DecodeBytes(body);
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);
    EXPECT_GE(p.frame, w.FrameAt(n, asked) - 10);
    EXPECT_LE(p.frame, w.sim().Taken(n, 0, LLONG_MAX).rbegin()->first);
  }
  // The operator's page shows each stream's kind and picture size, from the
  // description or else from the first key frame's parameter sets.
  std::string cameras;
  ASSERT_EQ(sim_test::HttpGet(status_port, "/api/cameras", &cameras), 200);
  const nlohmann::json shown = nlohmann::json::parse(cameras);
  for (const auto& c : shown["cameras"]) {
    SCOPED_TRACE(c.dump());
    const int n = c["number"];
    if (n == 6) continue;
    EXPECT_EQ(c["kind"], n == 2 || n == 4 ? "H.265" : "H.264");
    if (n == 4) continue;  // on demand: idle until the job
    EXPECT_EQ(c["width"], 320);
    EXPECT_EQ(c["height"], 240);
  }
  // PreRecordTime 2, Interval 0.5, Duration 2: 2, 1.5, 1 and 0.5 s before
  // the alarm, then 0, 0.5, 1 and 1.5 s after.
  double dropped = w.DropJob("R1", {1, 2, 3, 4, 5, 6}, 2, 2, 0.5);
  {
    // Switched on by the job: eight live images half a second apart from its
    // first frame.
    SCOPED_TRACE(w.CameraLog(4));
    auto images = w.Images(4, "R1", 8);
    for (std::size_t i = 0; i < images.size(); ++i) {
      ASSERT_TRUE(images[i].has_value()) << i;
      ASSERT_GE(images[i]->frame, 0) << i;
      if (i > 0) {
        EXPECT_NEAR(images[i]->frame - images[i - 1]->frame, 5, 1) << i;
      }
    }
  }
  for (int n : {1, 2, 3, 5}) {
    SCOPED_TRACE("camera " + std::to_string(n) + "\n" + w.CameraLog(n));
    auto images = w.Images(n, "R1", 8);
    for (const auto& image : images) {
      ASSERT_TRUE(image.has_value());
      EXPECT_EQ(image->width, 320);
      EXPECT_EQ(image->height, 240);
    }
    std::vector<std::optional<Picture>> before(images.begin(), images.begin() + 4);
    std::vector<std::optional<Picture>> after(images.begin() + 4, images.end());
    ExpectWithinOneFrame(Offsets(w, n, dropped, 2, 0.5, before),
                         Offsets(w, n, dropped, 0, 0.5, after), 10, n == 5 ? 1 : 0);
  }
  ExpectClips(w, dropped);
}

TEST(RtspCameras, RestartsLappedKeyFramesAndBadStreams) {
  // Where camera 8 redirects: nothing may connect there.
  Listener elsewhere;
  RtspWorld w(
      {// Restarted below with another size and codec.
       "rtsp=h264,width=320,height=240,fps=10,gop=10",
       // 5 MB/s: the ring holds 10 s, a key frame comes every 10 s.
       "rtsp=h264,width=320,height=240,fps=25,gop=250,pad=200000",
       "rtsp=h264,width=320,height=240,fps=10,gop=10,garbage=300",
       "rtsp=h264,width=320,height=240,fps=10,nokey=1", "rtsp=jpeg,width=320,height=240,fps=10",
       "rtsp=h265,width=320,height=240,fps=10,user=op,pass=right,auth=digest",
       "rtsp=h264,width=320,height=240,fps=10,transport=udp",
       "rtsp=h264,width=320,height=240,fps=10,redirect=rtsp://127.0.0.1:" +
           std::to_string(elsewhere.port) + "/other",
       "rtsp=h264,width=320,height=240,fps=10,rtploss=20", "rtsp=h264,width=320,height=240,fps=10,noend=1",
       "rtsp=h264,width=320,height=240,fps=10,tsjump=1"},
      {"StreamType=rtsp\nRequestUri=/stream\nAlarmClip=1",
       "StreamType=rtsp\nRequestUri=/stream\nAlarmClip=1",
       "StreamType=rtsp\nRequestUri=/stream", "StreamType=rtsp\nRequestUri=/stream",
       "StreamType=rtsp\nRequestUri=/stream",
       "StreamType=rtsp\nRequestUri=/stream\nUsername=op\nPassword=wrong",
       "StreamType=rtsp\nRequestUri=/stream", "StreamType=rtsp\nRequestUri=/stream",
       "StreamType=rtsp\nRequestUri=/stream", "StreamType=rtsp\nRequestUri=/stream\nStreamStallTimeout=3",
       "StreamType=rtsp\nRequestUri=/stream"});
  for (int n = 1; n <= 3; ++n) ASSERT_TRUE(w.WaitLog(n, "stream connected")) << w.CameraLog(n);
  const double connected = Now();
  // The restart falls within the pre-record of the job below.
  std::this_thread::sleep_for(std::chrono::seconds(9));
  const double restarted = Now();
  EXPECT_NE(w.sim().Control("restart camera 1 width=640,height=368,rtsp=h265").find("ok"),
            std::string::npos);
  ASSERT_TRUE(w.WaitLog(1, "stream connected", 2)) << w.CameraLog(1);
  EXPECT_TRUE(w.WaitLog(1, "Camera 1: the stream changed from h264 to hevc")) << w.CameraLog(1);
  // The second camera's ring laps once more than 10 s have streamed.
  while (Now() < connected + 14) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  // Images 8, 7, ... 1 and 0 s before the alarm.
  double dropped = w.DropJob("R2", {1, 2, 3}, 8, 1, 1);
  {
    // Moments the restart left without a frame within half a second are
    // errors with their line; the others' frames, from before the restart
    // too, decode with the parameters they came with.
    SCOPED_TRACE(w.CameraLog(1));
    int old_size = 0, new_size = 0, missing = 0;
    for (const auto& image : w.Images(1, "R2", 9)) {
      if (!image) {
        ++missing;
        continue;
      }
      EXPECT_GE(image->frame, 0);
      if (image->width == 320 && image->height == 240) ++old_size;
      if (image->width == 640 && image->height == 368) ++new_size;
    }
    EXPECT_GE(old_size, 1);
    EXPECT_GE(new_size, 1);
    EXPECT_EQ(old_size + new_size + missing, 9);
    EXPECT_EQ(testing_support::CountOf(w.CameraLog(1), "Job 0: camera 1 has no frame for "),
              static_cast<std::size_t>(missing));
    EXPECT_LT(restarted, dropped);
  }
  {
    // Those whose key frame has left the ring are errors, oldest first; the
    // rest are saved, and are the right frames.
    SCOPED_TRACE(w.CameraLog(2));
    auto images = w.Images(2, "R2", 9);
    int missing = 0;
    while (missing < 9 && !images[static_cast<std::size_t>(missing)]) ++missing;
    EXPECT_GE(missing, 1);
    EXPECT_LE(missing, 8);
    for (std::size_t i = static_cast<std::size_t>(missing); i < images.size(); ++i)
      ASSERT_TRUE(images[i].has_value()) << i;
    EXPECT_NE(w.CameraLog(2).find("no key frame at or before the image"), std::string::npos);
    for (double off : Offsets(w, 2, dropped, 8, 1, images)) {
      EXPECT_GE(off, -1.1 - kUnseenDelay * 25);
      EXPECT_LE(off, 0.3 * 25 + 0.1);
    }
  }
  // Garbage packets among the frames: what is saved is a whole picture of
  // the right frame; frames the garbage broke are errors with a line.
  for (const auto& image : w.Images(3, "R2", 9)) {
    if (image) {
      EXPECT_GE(image->frame, 0);
    }
  }
  // A camera without key frames stays connected and records nothing.
  EXPECT_EQ(w.CameraLog(4).find("stream lost"), std::string::npos) << w.CameraLog(4);
  EXPECT_EQ(w.CameraLog(4).find("stream connected"), std::string::npos) << w.CameraLog(4);
  EXPECT_TRUE(w.WaitLog(5, "stream lost: unsupported codec mjpeg")) << w.CameraLog(5);
  EXPECT_TRUE(w.WaitLog(6, "stream lost: 401 authentication refused")) << w.CameraLog(6);
  // Clips: one ends where the stream changed, one starts at the oldest key
  // frame still in the ring; both are saved and play.
  EXPECT_TRUE(w.WaitLog(1, "clip cam1_R2.mp4: the stream changed to other parameters"))
      << w.CameraLog(1);
  EXPECT_TRUE(w.WaitLog(2, "of the pre-record are missing")) << w.CameraLog(2);
  for (int n : {1, 2}) {
    const std::string clip = w.path("alarms/multimedia/cam" + std::to_string(n) + "/R2/cam" +
                                    std::to_string(n) + "_R2.mp4");
    EXPECT_TRUE(Plays(clip)) << clip;
  }
  // Cameras as sold and bad input: each gets its line, and the gateway goes on.
  const std::string redirected = "stream lost: redirected to rtsp://127.0.0.1:" +
                                 std::to_string(elsewhere.port) +
                                 "/other (another host or port): not followed";
  const std::pair<int, std::string> lines[] = {
      {7, ", UDP)"},
      {8, redirected},
      {9, "RTP packets lost in the last minute"},
      {10, "stream lost: stalled, no frame for 3 s"},
      {11, "stream connected"},
  };
  for (const auto& [n, line] : lines) EXPECT_TRUE(w.WaitLog(n, line)) << w.CameraLog(n);
  EXPECT_FALSE(elsewhere.Connected());
}

}  // namespace
