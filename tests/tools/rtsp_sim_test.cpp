// The simulator's RTSP cameras, read by the ffmpeg tool as a player would
// (RTP interleaved on the RTSP connection): every decoded frame must carry
// its number, frames must come one after the other from a frame due when
// the client played, and the credentials must be checked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "sim/frame_mark.h"
#include "support/sim_client.h"

namespace {

using sim_test::SimProcess;

// The ffmpeg tool from PATH, or empty.
std::string FindFfmpeg() {
  std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((dir + "/ffmpeg").c_str(), X_OK) == 0) return dir + "/ffmpeg";
  return "";
}

struct RtspCase {
  const char* name;
  const char* camera;   // keys after id=5
  const char* restart;  // control command before the client comes, or empty
  const char* login;    // user:pass in the URL
  int width, height, fps;
  bool refused;  // the camera must turn the client away
};

void PrintTo(const RtspCase& c, std::ostream* os) { *os << c.name; }

class RtspSim : public testing::TestWithParam<RtspCase> {};

TEST_P(RtspSim, DecodedFramesCarryConsecutiveNumbersFromTheClock) {
  const RtspCase& c = GetParam();
  const std::string ffmpeg = FindFfmpeg();
  if (ffmpeg.empty()) GTEST_SKIP() << "no ffmpeg tool (scripts/install-deps installs it)";
  SimProcess sim({"--camera", std::string("id=5,") + c.camera});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  if (*c.restart) {
    ASSERT_EQ(sim.Control(c.restart), "ok\n");
  }

  testing_support::TempDir dir;
  const std::string frames = dir / "frames.gray";
  const std::int64_t start_us = sim_test::RealtimeUs();
  testing_support::Child player(
      {ffmpeg, "-nostdin", "-loglevel", "error", "-rtsp_transport", "tcp", "-i",
       "rtsp://" + std::string(c.login) + "@127.0.0.1:" + std::to_string(sim.port(5)) + "/stream",
       "-map", "0:v", "-frames:v", "5", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-y",
       frames},
      dir.path(), {}, dir / "ffmpeg.log");
  ASSERT_TRUE(player.WaitExit(60)) << "ffmpeg still runs";
  const std::int64_t end_us = sim_test::RealtimeUs();
  const std::string log = testing_support::ReadFile(dir / "ffmpeg.log");
  if (c.refused) {
    EXPECT_NE(player.exit_code(), 0) << log;
    EXPECT_NE(log.find("401"), std::string::npos) << log;
    EXPECT_GE(sim.Stat(5, "unauthorized"), 2);
    EXPECT_EQ(sim.Stat(5, "streams"), 0);
    return;
  }
  ASSERT_EQ(player.exit_code(), 0) << log;
  const std::string data = testing_support::ReadFile(frames);
  const std::size_t size = static_cast<std::size_t>(c.width) * c.height;
  ASSERT_EQ(data.size(), 5 * size) << log;
  const auto* pixels = reinterpret_cast<const std::uint8_t*>(data.data());
  const int first = sim::FrameNumberFromGray(pixels, c.width, c.height, c.width);
  ASSERT_GE(first, 0);
  for (int i = 1; i < 5; ++i)
    EXPECT_EQ(sim::FrameNumberFromGray(pixels + i * size, c.width, c.height, c.width), first + i)
        << "frame " << i;
  // Frame n leaves at t0 + n / fps: the first one shown was due while the
  // player ran, not before it came nor after it ended.
  const long long sent_us = sim.Stat(5, "t0") + 1000000LL * first / c.fps;
  EXPECT_GE(sent_us, start_us - 200000);
  EXPECT_LE(sent_us, end_us);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RtspSim,
    testing::Values(RtspCase{"H264Basic", "rtsp=h264,width=320,height=240,fps=10,user=u,pass=p", "",
                             "u:p", 320, 240, 10, false},
                    RtspCase{"H265Digest",
                             "rtsp=h265,width=320,height=240,fps=10,user=u,pass=p,auth=digest", "",
                             "u:p", 320, 240, 10, false},
                    RtspCase{"DigestWrongPassword", "rtsp=h264,user=u,pass=p,auth=digest", "",
                             "u:bad", 0, 0, 10, true},
                    // One encoder for all, B-frames and a second track: a client joins
                    // in the middle of a group of pictures, frames come in order.
                    RtspCase{"SharedBframesAudio",
                             "rtsp=h264,width=320,height=240,fps=10,gop=10,shared=1,bframes=2,"
                             "audio=1",
                             "", "x:y", 320, 240, 10, false},
                    // A restart serves the new codec, size and rate to the next client.
                    RtspCase{"Restarted", "rtsp=h264,width=320,height=240,fps=10",
                             "restart 5 rtsp=h265,width=192,height=128,fps=20", "x:y", 192, 128, 20,
                             false}),
    [](const testing::TestParamInfo<RtspCase>& info) { return info.param.name; });

}  // namespace
