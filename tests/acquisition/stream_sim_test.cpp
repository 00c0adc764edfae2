// The stream receiver against the device simulator: what it indexes is what
// the camera sent, whatever the camera does wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <vector>

#include "acquisition/camera/camera.h"
#include "core/report.h"
#include "platform/clock.h"
#include "support/fake_clock.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

using namespace sim_test;
using namespace testing_support;

namespace {

class StreamSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Cameras report from threads that outlive the test: a sink that drops
    // the lines, never detached.
    static int sink_record;
    core::SetReportSink(&sink_record, [](void*, char*, core::ReportLevel) {});
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("LOG", 0755);
    mkdir("log", 0755);
  }
  // A camera streaming from the simulator (`setup` changes it before it
  // starts). Its threads never end, so the record (and a clock they sleep
  // on) outlives the test on purpose.
  acquisition::Camera* Stream(int number, int port, bool permanent = true, int stall_timeout = 10,
                              const std::string& user = "", const std::string& password = "",
                              platform::Clock& clock = platform::SystemClock(),
                              const std::function<void(acquisition::Camera&)>& setup = {}) {
    auto* camera = new acquisition::Camera(clock);
    camera->user_name = user, camera->password = password;
    camera->SetStallTimeout(stall_timeout);
    camera->SetStreamFilePath(dir_ / ("cam" + std::to_string(number) + ".mjpeg"));
    camera->SetCameraNumber(number);
    EXPECT_EQ(camera->InitStream("127.0.0.1", port, acquisition::kStreamName, number), 0);
    camera->SetPermanent(permanent ? 1 : 0);
    camera->SetRequestUri("/mjpg");
    if (setup) setup(*camera);
    camera->SetConfigured(1);
    camera->StartStreamThreads();
    return camera;
  }
  // How often `what` is in the daily log of camera `number` (year, day,
  // month in its name).
  static std::size_t Count(int number, const std::string& what) {
    return CountOf(
        ReadFile(DatedName("LOG/Ocelam_" + std::to_string(number) + "_%04d%02d%02d.log", true)),
        what);
  }
  // The stamp of a frame, which must read back as one whole, valid frame.
  static ::testing::AssertionResult Read(acquisition::Camera* camera,
                                         const acquisition::FrameRef& frame, Stamp* stamp) {
    std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
    int n = camera->GetImage(frame, buffer.data());
    std::string problem =
        n <= 0 ? "no image" : StampOf(std::string(buffer.begin(), buffer.begin() + n), stamp);
    return problem.empty() ? ::testing::AssertionSuccess()
                           : ::testing::AssertionFailure() << problem;
  }
  // Every frame in the index, oldest first, as stamps; false at the first
  // one that is not one whole frame of the camera.
  static ::testing::AssertionResult AllImages(acquisition::Camera* camera,
                                              std::vector<Stamp>* stamps) {
    for (std::int64_t k = camera->first_frame_number(); k < camera->next_frame_number(); ++k) {
      acquisition::FrameRef frame;
      Stamp stamp;
      if (!camera->FrameByNumber(k, &frame)) continue;
      auto read = Read(camera, frame, &stamp);
      if (!read) return read << " (frame " << k << ")";
      if (stamp.camera != camera->camera_number())
        return ::testing::AssertionFailure() << "another camera's frame";
      stamps->push_back(stamp);
    }
    return ::testing::AssertionSuccess();
  }
  TempDir dir_;
};

TEST_F(StreamSimTest, FrameByTimeIsTheFrameSentThen) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=24000"});
  ASSERT_TRUE(sim.ready());
  acquisition::Camera* camera = Stream(1, sim.port(1));
  ASSERT_TRUE(WaitFor([&] { return camera->next_frame_number() >= 40; }, 60));
  const std::int64_t now = platform::SystemClock().MonotonicMicros();
  for (std::int64_t back_ms : {0, 1000, 2500}) {
    const std::int64_t wanted = now - back_ms * 1000;
    acquisition::FrameRef before, after;
    // The newest frame at or before a moment is known once a later one is in.
    ASSERT_TRUE(camera->WaitForFrameAfter(wanted, 1, wanted + 5000000));
    ASSERT_TRUE(camera->FindFrame(acquisition::FrameSearch::kAtOrBefore, wanted, 1, &before));
    ASSERT_TRUE(camera->FindFrame(acquisition::FrameSearch::kAtOrAfter, wanted, 1, &after));
    // The two frames around the moment are neighbours, one frame apart.
    EXPECT_TRUE(before.entry.begin_us <= wanted && after.entry.begin_us >= wanted);
    EXPECT_EQ(after.number, before.number + 1);
    Stamp a, b;
    ASSERT_TRUE(Read(camera, before, &b));
    ASSERT_TRUE(Read(camera, after, &a));
    EXPECT_EQ(a.seq, b.seq + 1);
    // It began to arrive when the camera sent it (loopback: within 50 ms).
    EXPECT_NEAR(static_cast<double>(b.time_us), before.entry.begin_wall_ms * 1000.0, 50000.0);
  }
  float rate = 0;
  ASSERT_TRUE(camera->RecentFrameRate(&rate));
  EXPECT_NEAR(rate, 10.0, 1.0);
}

// What only a connection does (garbage, lying part lengths and thumbnails
// are the frame finder's table in stream_store_test). Camera 1 stalls
// mid-frame for longer than its 2 s (of a clock the test steps), 2 pauses
// for less than its 10 s, 5
// half-closes and 6 drops after ten frames; 3 and 4 ask for Digest, 7 and 8
// refuse the stream, nobody listens for 9.
TEST_F(StreamSimTest, MisbehavingCamerasNeverIndexATornFrameAndHealWithOneLineEach) {
  std::vector<std::string> args;
  for (const char* c :
       {"id=1,fps=10,stall=60000,after=10", "id=2,fps=25,stall=1500,after=10",
        "id=3,fps=10,user=op,pass=secret,auth=digest,algorithm=SHA-256",
        "id=4,fps=10,user=op,pass=secret,auth=digest", "id=5,fps=10,halfclose=1,after=10",
        "id=6,fps=25,drop=1,after=10", "id=7,fps=25,status=401", "id=8,fps=25,user=u,pass=p"})
    args.insert(args.end(), {"--camera", std::string(c) + ",port=0,size=20000"});
  SimProcess sim(args);
  ASSERT_TRUE(sim.ready());
  auto* stall_clock = new FakeClock();
  acquisition::Camera* stalled = Stream(1, sim.port(1), true, 2, "", "", *stall_clock);
  acquisition::Camera* paused = Stream(2, sim.port(2));
  acquisition::Camera* digest = Stream(3, sim.port(3), true, 2, "op", "secret");
  acquisition::Camera* wrong = Stream(4, sim.port(4), true, 2, "op", "wrong");
  acquisition::Camera* half = Stream(5, sim.port(5), true, 2);
  acquisition::Camera* drop = Stream(6, sim.port(6));
  acquisition::Camera* unauthorized = Stream(7, sim.port(7));
  acquisition::Camera* no_credentials = Stream(8, sim.port(8));
  Stream(9, FreeLoopbackPort(), true, 2);
  // Each stall of camera 1 lasts until its clock passes the stall time-out,
  // each pause after it until its clock passes the back-off.
  for (int k = 1; k <= 3; ++k) {
    ASSERT_TRUE(WaitFor([&] { return sim.Stat(1, "stalls") >= k; }, 60));
    // Bytes still on their way when the camera stalled move its last byte
    // on: the clock goes on until the stall is seen.
    ASSERT_TRUE(WaitFor(
        [&] {
          if (Count(1, "stalled, no byte for 2 s") >= std::size_t(k)) return true;
          stall_clock->AdvanceSeconds(1);
          return false;
        },
        60));
    ASSERT_TRUE(stall_clock->AwaitSleepers(1));  // in its back-off
    stall_clock->AdvanceSeconds(30);
    ASSERT_TRUE(WaitFor([&] { return sim.Stat(1, "connections") > k; }, 60));
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        return digest->next_frame_number() >= 10 && paused->next_frame_number() >= 20 &&
               drop->next_frame_number() >= 20 &&
               sim.Stat(5, "connections") >= 3 && sim.Stat(6, "connections") >= 3;
      },
      90));
  // A frame cut by a stall, a half-close or a drop is never joined to the next.
  for (acquisition::Camera* camera : {stalled, paused, half, drop}) {
    SCOPED_TRACE(camera->camera_number());
    std::vector<Stamp> stamps;
    EXPECT_TRUE(AllImages(camera, &stamps));
    EXPECT_GE(stamps.size(), 20u);
    for (std::size_t i = 1; i < stamps.size(); ++i) ASSERT_LT(stamps[i - 1].seq, stamps[i].seq);
  }
  EXPECT_FALSE(wrong->HasImage() || unauthorized->HasImage() || no_credentials->HasImage());
  EXPECT_GE(sim.Stat(8, "unauthorized"), 1);
  // A refused camera is asked once (a challenge and the wrong answer to it),
  // and again only after 5 minutes.
  EXPECT_EQ((std::vector<long long>{sim.Stat(7, "connections"), sim.Stat(4, "unauthorized")}),
            (std::vector<long long>{1, 2}));
  EXPECT_EQ(Count(7, "Camera 7: the credentials were refused: next attempt in 5 minutes"), 1u);
  // One line, however often the camera is asked again.
  EXPECT_EQ(
      (std::vector<std::size_t>{Count(9, "Camera 9: stream lost: refused"), Count(4, "stream lost"),
                                Count(4, "Camera 4: stream lost: 401 authentication refused")}),
      (std::vector<std::size_t>{1, 1, 1}));
  EXPECT_EQ(Count(1, "Camera 1: stream lost: stalled, no byte for 2 s"), 3u);
  EXPECT_GE(Count(1, "Camera 1: stream connected"), 3u);
}

// Cameras 11 and 13 (MJPEG) and 12 and 14 (RTSP) ask for Basic alone; only
// 13 and 14 are allowed it. The others never see the password (nor any
// Authorization line): one line each, and the next attempt only after 5
// minutes. (Numbers of their own: cameras of the other tests stream on.)
TEST_F(StreamSimTest, BasicGetsThePasswordOnlyWhereAllowed) {
  const std::string basic = ",port=0,fps=10,user=op,pass=secret,auth=basic";
  const std::string rtsp = ",rtsp=h264,width=320,height=240";
  SimProcess sim({"--camera", "id=11" + basic, "--camera", "id=12" + basic + rtsp, "--camera",
                  "id=13" + basic, "--camera", "id=14" + basic + rtsp});
  ASSERT_TRUE(sim.ready());
  std::map<int, acquisition::Camera*> cameras;
  for (int id = 11; id <= 14; ++id)
    cameras[id] = Stream(id, sim.port(id), true, 10, "op", "secret", platform::SystemClock(),
                         [id](acquisition::Camera& camera) {
                           camera.allow_basic_auth = id >= 13;
                           if (id % 2 == 1) return;
                           camera.SetStreamKind(acquisition::StreamKind::kRtsp);
                           camera.SetRequestUri("/stream");
                         });
  ASSERT_TRUE(WaitFor(
      [&] {
        return cameras[13]->next_frame_number() >= 5 && cameras[14]->next_frame_number() >= 5 &&
               Count(11, "stream lost") + Count(12, "stream lost") == 2;
      },
      90));
  for (int id : {11, 12}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(cameras[id]->HasImage());
    EXPECT_EQ(sim.Stat(id, "connections"), 1);
    EXPECT_EQ(Count(id, "Camera " + std::to_string(id) +
                            ": stream lost: 401 asks for Basic authentication only, which sends "
                            "the password in clear: not answered (AllowBasicAuth of its section "
                            "is not 1)"),
              1u);
    EXPECT_EQ(Count(id, "the credentials were refused: next attempt in 5 minutes"), 1u);
    const std::vector<RecordedRequest> requests = sim.Requests("camera", id);
    EXPECT_FALSE(requests.empty());
    for (const RecordedRequest& r : requests)
      EXPECT_EQ(r.bytes.find("Authorization"), std::string::npos) << r.bytes;
  }
}

// The camera's probes, sessions and pauses go by a clock the test steps.
TEST_F(StreamSimTest, OnDemandCameraIsProbedEvery30sAndItsSessionsKeepTheirOwnFrames) {
  SimProcess sim({"--camera", "id=6,port=0,fps=10,size=20000"});
  ASSERT_TRUE(sim.ready());
  auto* clock = new FakeClock();
  acquisition::Camera* camera = Stream(6, sim.port(6), false, 10, "", "", *clock);
  // The first probe runs at once and marks the camera alive, the next once
  // 30 s have passed since.
  ASSERT_TRUE(WaitFor([&] { return camera->liveness().seen() && sim.Stat(6, "open") == 0; }, 30));
  ASSERT_TRUE(clock->AwaitSleepers(1));
  clock->AdvanceSeconds(29.5);
  ASSERT_TRUE(clock->AwaitSleepers(1));
  clock->AdvanceSeconds(0.5);
  ASSERT_TRUE(WaitFor([&] { return sim.Stat(6, "connections") == 2; }, 30));
  EXPECT_FALSE(camera->HasImage());
  std::uint32_t first = camera->StartStreaming(3);
  // A shorter job joins the running session and does not cut it short.
  EXPECT_EQ(camera->StartStreaming(1), first);
  EXPECT_EQ(camera->remaining_seconds(), 3);
  ASSERT_TRUE(clock->AwaitSleepers(1));  // the probe is over
  clock->AdvanceSeconds(0.5);            // the streaming thread's next look
  ASSERT_TRUE(WaitFor([&] { return camera->next_frame_number() >= 10; }, 30));
  // The stream stops when its seconds are used up.
  clock->AdvanceSeconds(2.5);
  EXPECT_EQ(camera->streaming(), 0);
  std::int64_t after_stop = camera->next_frame_number();
  long long frames = sim.Stat(6, "frames");
  ASSERT_TRUE(WaitFor([&] { return sim.Stat(6, "open") == 0; }, 30));
  EXPECT_LE(camera->next_frame_number(), after_stop + 2);
  EXPECT_LE(sim.Stat(6, "frames"), frames + 5);
  // A new session sees none of the old frames: its first image is its own.
  const std::int64_t started = clock->MonotonicMicros();
  std::uint32_t second = camera->StartStreaming(3);
  EXPECT_TRUE(second != first && !camera->HasImage(second));
  acquisition::FrameRef frame;
  EXPECT_FALSE(camera->FindFrame(acquisition::FrameSearch::kAtOrBefore, started, second, &frame));
  ASSERT_TRUE(clock->AwaitSleepers(1));
  clock->AdvanceSeconds(0.5);
  ASSERT_TRUE(WaitFor([&] { return camera->HasImage(second); }, 30));
  ASSERT_TRUE(camera->FirstFrame(second, &frame));
  EXPECT_TRUE(frame.entry.begin_us >= started && frame.entry.session == second);
}

}  // namespace
