// The camera's decisions about time, made on a clock the tests step: the
// watchdog, "CamStatus", on-demand sessions, the back-off and the state
// lines, and the frames an RTSP connection's pieces make.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "acquisition/camera/access_unit.h"
#include "acquisition/camera/camera.h"
#include "core/profile/user_profile.h"
#include "support/fake_clock.h"
#include "support/report_capture.h"
#include "support/sandbox.h"

using namespace testing_support;

namespace {

constexpr std::int64_t kHourMs = 3600 * 1000;

// A private working directory whose status file the test reads.
class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int sink;
    core::SetReportSink(&sink, [](void*, char*, core::ReportLevel) {});
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("LOG", 0755);
    WriteFile(dir_ / "reg.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_.path() + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "reg.ini").c_str(), 1);
  }
  // The value of `key` in camera `n`'s section of the status file.
  std::string Status(int n, const std::string& key) const {
    std::smatch m;
    const std::string text = ReadFile(dir_ / "ocelam_status.ini");
    std::regex pattern("\\[Scenario" + std::to_string(n) + "\\][^\\[]*" + key + "=([0-9A-F]+)");
    return std::regex_search(text, m, pattern) ? m[1].str() : "";
  }
  static std::string Hex(std::time_t t) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(t));
    return text;
  }
  TempDir dir_;
};

// Each row steps the clock by `advance` seconds (and the wall clock alone by
// `wall_hours`), marks the camera alive when `alive`, and expects the
// watchdog to have started `alarms` alarms by then.
struct WatchdogStep {
  double advance;
  bool alive;
  int wall_hours;
  int alarms;
};

TEST_F(ClockTest, WatchdogCountsMonotonicTimeSinceTheLastSignOfLife) {
  struct Case {
    const char* name;
    int timeout, pause;
    std::vector<WatchdogStep> steps;
  } cases[] = {
      {"silent camera: one alarm a time-out", 1, 0, {{59.9, 0, 0, 0}, {0.1, 0, 0, 1}, {59.9, 0, 0, 1},
                                                    {0.1, 0, 0, 2}}},
      {"a pause after an alarm", 1, 3, {{60, 0, 0, 1}, {100, 1, 0, 1}, {79.9, 0, 0, 1}, {0.1, 0, 0, 2}}},
      {"refreshed across wall steps", 1, 0, {{50, 1, -1, 0}, {50, 1, 0, 0}, {50, 1, 1, 0},
                                             {50, 1, 1, 0}, {59.9, 0, -2, 0}, {0.1, 0, 0, 1}}},
      {"time-out raised to a minute", 0, 0, {{59.9, 0, 0, 0}, {0.1, 0, 0, 1}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakeClock clock;
    acquisition::CameraLog log;
    acquisition::Liveness liveness;
    acquisition::Watchdog watchdog(clock, liveness, log);
    watchdog.Configure(k.timeout, k.pause, 9555);
    std::vector<std::string> started;
    acquisition::Watchdog::AlarmStarter start = [&](const std::string& command) {
      started.push_back(command);
      return platform::Status();
    };
    for (const WatchdogStep& step : k.steps) {
      clock.StepWall(step.wall_hours * kHourMs);
      clock.AdvanceSeconds(step.advance);
      if (step.alive) liveness.Refreshed(clock.MonotonicMicros());
      const std::int64_t next = watchdog.Check(start);
      EXPECT_GT(next, clock.MonotonicMicros());
      ASSERT_EQ(started.size(), static_cast<std::size_t>(step.alarms));
    }
    EXPECT_EQ(started.back(), "qxarun.cmd 9555");
    EXPECT_EQ(Status(0, "LastAlarm"), Hex(clock.WallSeconds()));
  }
}

// A streaming camera whose wall clock is stepped back an hour, then forward
// two: "CamStatus" follows every 30 s of its frames with the wall time of
// the refresh, and the watchdog's deadline stays a time-out after the last
// one; once the frames stop, the watchdog thread starts the alarm.
TEST_F(ClockTest, WallStepsChangeNoRefreshAndNoWatchdogDecision) {
  // The watchdog thread sleeps on the clock until the process ends.
  auto* clock = new FakeClock();
  auto* camera = new acquisition::Camera(*clock);
  camera->SetStreamFilePath(dir_ / "cam.mjpeg");
  camera->SetCameraNumber(4);
  ASSERT_EQ(camera->InitStream("127.0.0.1", 80, acquisition::kStreamName, 4), 0);
  camera->SetPermanent(1);
  camera->SetConfigured(1);
  WriteFile("qxarun.cmd", "#!/bin/sh\necho \"$@\" >> " + (dir_ / "alarms.txt") + "\n");
  chmod("qxarun.cmd", 0755);
  static core::Metrics counts;
  ASSERT_TRUE(
      camera->StartWatchdog(*new alarms::AlarmServer(dir_.path(), counts, *clock), 1, 1, 0, 9555));
  const std::uint8_t frame[] = {0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
  for (int wall_hours : {0, -1, 0, 2, 0, -1}) {
    clock->StepWall(wall_hours * kHourMs);
    ASSERT_TRUE(camera->ConsumeStream(frame, sizeof frame));
    camera->EndTransfer();
    EXPECT_EQ(Status(4, "CamStatus"), Hex(clock->WallSeconds()));
    EXPECT_EQ(camera->liveness().WatchdogDeadline() - clock->MonotonicMicros(), 60000000);
    clock->AdvanceSeconds(30);
  }
  EXPECT_FALSE(FileExists(dir_ / "alarms.txt"));
  clock->AdvanceSeconds(30);
  EXPECT_TRUE(WaitFor([&] { return ReadFile(dir_ / "alarms.txt") == "9555\n"; }, 60));
  EXPECT_TRUE(WaitFor([&] { return Status(4, "LastAlarm") == Hex(clock->WallSeconds()); }, 60));
}

TEST(StreamingSessions, EndsAreMonotonicDeadlinesAJoinNeverShortens) {
  FakeClock clock;
  acquisition::StreamingSessions sessions(clock);
  const std::uint32_t first = sessions.Start(3);
  EXPECT_EQ(sessions.Start(1), first);
  EXPECT_EQ(sessions.RemainingSeconds(), 3);
  clock.AdvanceSeconds(2);
  clock.StepWall(-kHourMs);
  EXPECT_EQ(sessions.Start(5), first);
  clock.AdvanceSeconds(4.9);
  EXPECT_TRUE(sessions.Wanted());
  clock.AdvanceSeconds(0.1);
  EXPECT_FALSE(sessions.Wanted());
  EXPECT_EQ(sessions.Start(3), first + 1);
}

TEST(LinkState, OneLinePerChangeARemindEveryTenMinutesAndADoublingBackoff) {
  FakeClock clock;
  acquisition::CameraLog log;
  log.SetCameraNumber(2);
  acquisition::LinkState link(clock, log);
  std::vector<std::int64_t> pauses;
  for (int i = 0; i < 8; ++i) pauses.push_back(link.TakeBackoff().pause_us / 1000);
  EXPECT_EQ(pauses, (std::vector<std::int64_t>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000}));
  const acquisition::StreamLoss refused{2007, "refused (x)"}, stalled{2, "stalled"};
  EXPECT_EQ(link.Down(refused), "Camera 2: stream lost: refused (x)");
  clock.AdvanceSeconds(599);
  clock.StepWall(kHourMs);
  EXPECT_EQ(link.Down(refused), "");
  clock.AdvanceSeconds(1);
  EXPECT_EQ(link.Down(refused).rfind("Camera 2: stream still down: refused (x) (since ", 0), 0u);
  EXPECT_EQ(link.Down(stalled), "Camera 2: stream lost: stalled");
  EXPECT_TRUE(link.Up());
  EXPECT_FALSE(link.Up());
  EXPECT_EQ(link.TakeBackoff().pause_us, 500000);
}

TEST(LinkState, RefusedCredentialsWaitFiveMinutesDoublingToThirtyWithALinePerChange) {
  FakeClock clock;
  acquisition::CameraLog log;
  log.SetCameraNumber(4);
  acquisition::LinkState link(clock, log);
  const acquisition::StreamLoss refused{acquisition::stream_loss::kStatus + 401, "401"};
  const acquisition::StreamLoss basic{acquisition::stream_loss::kBasicRefused, "basic"};
  std::vector<std::string> lines;
  std::vector<std::int64_t> minutes;
  // A camera that answers Basic and Digest by turns keeps the back-off.
  for (int i = 0; i < 5; ++i) {
    link.Down(i % 2 == 0 ? refused : basic);
    const auto backoff = link.TakeBackoff();
    minutes.push_back(backoff.pause_us / 60000000);
    lines.push_back(backoff.line);
  }
  EXPECT_EQ(minutes, (std::vector<std::int64_t>{5, 10, 20, 30, 30}));
  EXPECT_EQ(lines[0], "Camera 4: the credentials were refused: next attempt in 5 minutes");
  EXPECT_EQ(lines[3], "Camera 4: the credentials were refused: next attempt in 30 minutes");
  EXPECT_EQ(lines[4], "");
  // Another failure has its own short back-off; a frame starts both anew.
  link.Down({2, "stalled"});
  EXPECT_EQ(link.TakeBackoff().pause_us, 500000);
  link.Up();
  link.Down(refused);
  EXPECT_EQ(link.TakeBackoff().line,
            "Camera 4: the credentials were refused: next attempt in 5 minutes");
}

TEST(ProblemLines, OneLineAMinutePerKindThenTheCountLeftOut) {
  FakeClock clock;
  acquisition::CameraLog log;
  log.SetCameraNumber(5);
  acquisition::ProblemLines lines(clock, log);
  ReportCapture capture;
  for (int i = 0; i < 3; ++i) lines.Report(acquisition::StreamProblem::kBadLength, 0);
  clock.AdvanceSeconds(59.9);
  lines.Report(acquisition::StreamProblem::kNoEndMarker, 7);
  lines.Report(acquisition::StreamProblem::kBadLength, 0);
  clock.StepWall(-kHourMs);
  clock.AdvanceSeconds(0.1);
  lines.Report(acquisition::StreamProblem::kBadLength, 0);
  const auto got = capture.Take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NE(got[1].first.find("a frame without end marker was dropped after 7 bytes"),
            std::string::npos);
  EXPECT_NE(got[2].first.find("Content-Length: the frame is found by its markers (3 more like it"),
            std::string::npos);
}

// An H.264 connection's pieces as the parser hands them over (start code,
// NAL type, first byte of the slice header), each arriving a second and a
// frame period after its presentation time, and the frames they make.
TEST(AccessUnitAssembler, PiecesMakeWholeKeyedFramesDatedByTheCameraClock) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes sps = {0, 0, 1, 0x67, 0x42}, idr = {0, 0, 1, 0x65, 0x88},
              slice = {0, 0, 1, 0x41, 0x9A}, more = {0, 0, 1, 0x41, 0x3A};
  Bytes huge = slice, part = more;
  huge.resize(acquisition::kRtspFrameLimit + 10, 0x11);
  part.resize(1000000, 0x11);
  struct Piece {
    const Bytes* bytes;
    std::int64_t pts;
    bool key;
  };
  using Frames = std::vector<std::pair<std::size_t, bool>>;  // size, key
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    Frames frames;
    std::vector<std::int64_t> moments;  // when given
    std::size_t too_big = 0;
  } cases[] = {
      {"a continuing slice first is dropped, parameter sets lead, slices join",
       {{&more, 0, false},
        {&sps, acquisition::kNoTime, true},
        {&idr, 0, true},
        {&more, 0, false},
        {&slice, 40000, false},
        {&slice, 80000, false}},
       {{15, true}, {5, false}, {5, false}},
       {}},
      {"frames before the first key frame are not recorded",
       {{&slice, 0, false}, {&idr, 40000, true}, {&slice, 80000, false}, {&slice, 120000, false}},
       {{5, true}, {5, false}, {5, false}},
       {}},
      {"the first frame without a time is dated from the next",
       {{&idr, acquisition::kNoTime, true}, {&slice, 40000, false}, {&slice, 80000, false}},
       {{5, true}, {5, false}, {5, false}},
       {1000000, 1040000, 1080000}},
      {"a frame too big drops the frames up to the next key frame",
       {{&idr, 0, true},
        {&huge, 40000, false},
        {&slice, 80000, false},
        {&idr, 120000, true},
        {&slice, 160000, false}},
       {{5, true}, {5, true}, {5, false}},
       {},
       1},
      {"a frame that never ends is dropped at the limit, not at the memory's end",
       {{&idr, 0, true}, {&part, 0, true}, {&part, 0, true}, {&part, 0, true}, {&part, 0, true},
        {&part, 0, true}, {&slice, 40000, false}, {&idr, 80000, true}, {&slice, 120000, false}},
       {{5, true}, {5, false}},
       {},
       1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    struct Sink : acquisition::AccessUnitAssembler::Sink {
      Frames frames;
      std::vector<std::int64_t> moments, too_big;
      void OnUnit(const std::uint8_t*, std::size_t size,
                  const acquisition::FoundFrame& f) override {
        frames.emplace_back(size, f.key);
        moments.push_back(f.begin_us);
      }
      void OnTooBig(std::int64_t size) override { too_big.push_back(size); }
    } sink;
    acquisition::AccessUnitAssembler assembler(false);
    std::int64_t arrival = 1000000;
    for (const Piece& p : k.pieces) {
      if (p.pts != acquisition::kNoTime) arrival = std::max(arrival, p.pts + 1040000);
      assembler.Take({p.bytes->data(), p.bytes->size(), p.pts, p.key, arrival, 1, 1}, sink);
    }
    assembler.Finish(sink);
    EXPECT_EQ(sink.frames, k.frames);
    EXPECT_TRUE(std::is_sorted(sink.moments.begin(), sink.moments.end()));
    if (!k.moments.empty()) {
      EXPECT_EQ(sink.moments, k.moments);
    }
    EXPECT_EQ(sink.too_big.size(), k.too_big);
  }
}

// A camera whose frames arrive 1 s (and up to 5 ms more) after their
// capture; its clock steps by `step_us` at frame 100, or its frames come in
// decoding order with B-frames, each in one piece (handed over a period
// late), at 10 fps, so the B-frames come 0.2 s after their pictures. Every
// moment lies within a frame of capture plus delay, but for the 2 s after a
// step, and a step of 0.2 s or more is told once.
TEST(CaptureClock, FollowsTheCameraClockAndDatesBFramesByTheirPictures) {
  struct Case {
    const char* name;
    std::int64_t step_us;
    bool bframes;
    int steps_told;
  } cases[] = {
      {"steady", 0, false, 0},
      {"a step back of 1 s", -1000000, false, 1},
      {"a step forward of 1 s", 1000000, false, 1},
      {"a step back of 0.3 s", -300000, false, 1},
      {"a jump back of 6 s", -6000000, false, 1},
      {"30 ms is delay", -30000, false, 0},
      {"B-frames", 0, true, 0},
  };
  // Decoding order of a group of 7 pictures with B-frames: I0 P3 B1 B2 P6 B4 B5.
  const int order[] = {0, 3, 1, 2, 6, 4, 5};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::int64_t frame_us = k.bframes ? 100000 : 40000;
    acquisition::CaptureClock clock;
    int told = 0, newest = 0;
    for (int i = 0; i < 300; ++i) {
      const int picture = k.bframes ? i / 7 * 7 + order[i % 7] : i;
      const std::int64_t captured = picture * frame_us;
      const std::int64_t pts = captured + (i >= 100 ? k.step_us : 0);
      // A frame comes out once the newest picture it follows is captured
      // (B-frames after their P-frame), a period late when in one piece.
      newest = std::max(newest, picture);
      const std::int64_t arrival = 1000000 + newest * frame_us + (i * 7919 % 5000) +
                                   (k.bframes ? frame_us : 0);
      const std::int64_t moment = clock.Moment(pts, arrival, k.bframes);
      if (clock.TakeStep() != 0) ++told;
      if (i >= 20 && (i < 100 || i > 150)) {
        EXPECT_NEAR(static_cast<double>(moment - captured - 1000000), 0,
                    static_cast<double>(frame_us))
            << i;
      }
    }
    EXPECT_EQ(told, k.steps_told);
  }
}

}  // namespace
