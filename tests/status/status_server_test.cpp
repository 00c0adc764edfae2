// The status port's verdicts on a clock the test steps: the job watcher's
// loop limit, a permanent camera's frame age against its watchdog limit, the
// ages "/metrics" shows; and its port: who gets in, how many at once, a port
// that cannot be bound. Its answers are checked in the whole-gateway tests.
#include "status/status_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <dirent.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <future>

#include <nlohmann/json.hpp>

#include "core/profile/user_profile.h"
#include "status/snapshot.h"
#include "support/fake_clock.h"
#include "support/report_capture.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

namespace {

using testing_support::FakeClock;

// A private working and ini directory, where a camera fed a frame writes
// its logs, stream file and state.
class StatusServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const char* d : {"LOG", "ini"}) mkdir(d, 0755);
    testing_support::WriteFile(
        dir_ / "registry.ini",
        "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_ / "ini" + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    settings_.watch_timeout = 100000;  // the watcher is judged in a test of its own
  }
  // Camera `n` as the loader leaves one whose stream is set up.
  static acquisition::Camera& Configured(acquisition::CameraTable& cameras, int n, const char* ref,
                                         bool permanent = true) {
    cameras[n].reference = ref;
    cameras[n].SetPermanent(permanent ? 1 : 0);
    cameras[n].SetConfigured(1);
    return cameras[n];
  }
  // The first frame reaches camera `n` now: one whole JPEG image (its bytes
  // to `sent`, when given).
  void FeedFrame(acquisition::Camera& camera, int n, std::string* sent = nullptr) {
    camera.SetStreamFilePath(dir_ / ("stream" + std::to_string(n)));
    camera.SetCameraNumber(n);
    ASSERT_EQ(camera.InitStream("127.0.0.1", 80, acquisition::kStreamName, n), 0);
    camera.StartStreaming(1000);
    std::vector<std::uint8_t> frame(2000, 0x20);
    frame[0] = 0xFF, frame[1] = 0xD8, frame[frame.size() - 2] = 0xFF, frame.back() = 0xD9;
    if (sent) sent->assign(frame.begin(), frame.end());
    camera.ConsumeStream(frame.data(), frame.size());
    camera.EndTransfer();
    ASSERT_NE(camera.counters().last_frame_us.load(), 0);
  }

  // A status port on a free loopback port, on a clock of its own; like the
  // port's threads, never destroyed.
  int StartPort(FakeClock& clock, const std::string& allowed, std::function<int()> clients = {},
                int port = testing_support::FreeLoopbackPort()) {
    auto* cameras = new acquisition::CameraTable(clock);
    auto* server = new status::StatusServer(
        {*new core::Settings(settings_), *cameras, *new core::Metrics, clock, std::move(clients)});
    EXPECT_TRUE(server->Start(port, "", allowed));
    return port;
  }
  // Whether a line that contains `text` was reported, within a generous time.
  bool Reported(const std::string& text, std::size_t times = 1, double seconds = 60) {
    return testing_support::WaitFor([&] {
      for (auto& line : capture_.Take()) seen_.push_back(line.first);
      return Count(text) >= times;
    }, seconds);
  }
  std::size_t Count(const std::string& text) const {
    return std::count_if(seen_.begin(), seen_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }

  testing_support::TempDir dir_;
  core::Metrics metrics_;
  core::Settings settings_;
  testing_support::ReportCapture capture_;
  std::vector<std::string> seen_;
};

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// True once the server has closed `fd` (nothing waits to be read from it
// but its end).
bool ClosedByServer(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// The watcher may be silent WatchTimeout (at least 1) + 30 seconds, counted
// from its last loop, or from the start while it has not looped.
TEST_F(StatusServerTest, JobWatcherLoopLimit) {
  const std::tuple<int, std::optional<double>, double, const char*> cases[] = {
      // WatchTimeout, loop at, checked at (seconds after the start), problem
      {4, std::nullopt, 34.9, ""},
      {4, std::nullopt, 35, "job watcher: no loop for 35 s (limit 34 s)\n"},
      {600, std::nullopt, 631, "job watcher: no loop for 631 s (limit 630 s)\n"},
      {0, std::nullopt, 32, "job watcher: no loop for 32 s (limit 31 s)\n"},
      {4, 20, 54.5, ""},
      {4, 20, 56, "job watcher: no loop for 36 s (limit 34 s)\n"},
  };
  for (const auto& [watch_timeout, loop_at, checked_at, problem] : cases) {
    SCOPED_TRACE(testing::Message() << watch_timeout << " " << checked_at);
    FakeClock clock;
    acquisition::CameraTable cameras(clock);
    core::Metrics metrics;
    settings_.watch_timeout = watch_timeout;
    status::StatusServer server({settings_, cameras, metrics, clock, {}});
    if (loop_at)
      metrics.WatcherHeartbeat(clock.MonotonicMicros() +
                               static_cast<std::int64_t>(*loop_at * platform::kMicrosPerSecond));
    clock.AdvanceSeconds(checked_at);
    EXPECT_EQ(server.HealthProblems(), problem);
  }
}

// A permanent camera must have had a frame within Timeout minutes when its
// watchdog is on (WatchDogActive=1 and Timeout above 0), else within 60 s;
// before its first frame the age counts from the start. Cameras streamed on
// demand, or whose stream could not be set up, are left out.
TEST_F(StatusServerTest, PermanentCameraFrameAgeAgainstItsWatchdogLimit) {
  const std::tuple<int, int, std::optional<double>, double, const char*> cases[] = {
      // WatchDogActive, Timeout, frame at, checked at, problem
      {0, 5, std::nullopt, 60, ""},
      {0, 5, std::nullopt, 61, "camera 4 (Gate): no frame for 61 s (limit 60 s)\n"},
      {1, 5, std::nullopt, 300, ""},
      {1, 5, std::nullopt, 301, "camera 4 (Gate): no frame for 301 s (limit 300 s)\n"},
      {2, 5, std::nullopt, 61, "camera 4 (Gate): no frame for 61 s (limit 60 s)\n"},
      {1, 0, std::nullopt, 61, "camera 4 (Gate): no frame for 61 s (limit 60 s)\n"},
      {0, 5, 100, 160, ""},
      {0, 5, 100, 162, "camera 4 (Gate): no frame for 62 s (limit 60 s)\n"},
      {1, 2, 30, 150, ""},
      {1, 2, 30, 151, "camera 4 (Gate): no frame for 121 s (limit 120 s)\n"},
  };
  for (const auto& [active, minutes, frame_at, checked_at, problem] : cases) {
    SCOPED_TRACE(testing::Message() << active << " " << minutes << " " << checked_at);
    FakeClock clock;
    acquisition::CameraTable cameras(clock);
    acquisition::Camera& camera = Configured(cameras, 4, "Gate");
    camera.ConfigureWatchdog(active, minutes, 0, 9601);
    Configured(cameras, 5, "Lobby", false);
    Configured(cameras, 6, "Yard").SetConfigured(0);
    status::StatusServer server({settings_, cameras, metrics_, clock, {}});
    clock.AdvanceSeconds(frame_at.value_or(0));
    if (frame_at) FeedFrame(camera, 4);
    clock.AdvanceSeconds(checked_at - frame_at.value_or(0));
    EXPECT_EQ(server.HealthProblems(), problem);
  }
}

// "/metrics" shows a camera's frame age from the start until its first frame
// and from its last frame after; its frame rate is 0 once that is 10 s old.
TEST_F(StatusServerTest, MetricsShowFrameAgesOnTheClock) {
  FakeClock clock;
  acquisition::CameraTable cameras(clock);
  Configured(cameras, 1, "Entrance \"north\"", false);
  status::StatusServer server({settings_, cameras, metrics_, clock, [] { return 2; }});
  const std::string labels = "{camera=\"1\",ref=\"Entrance \\\"north\\\"\"} ";
  std::string text;
  const std::tuple<double, bool, const char*> steps[] = {
      // advance, then a frame or not, and the age shown
      {7.25, false, "7.250"},
      {0, true, "0.000"},
      {102.5, false, "102.500"}};
  for (const auto& [advance, frame, age] : steps) {
    clock.AdvanceSeconds(advance);
    if (frame) FeedFrame(cameras[1], 1);
    text = server.MetricsText();
    EXPECT_NE(text.find("\nocelam_camera_last_frame_age_seconds" + labels + age + "\n"),
              std::string::npos)
        << text;
  }
  for (const std::string& sample :
       {"ocelam_camera_frame_rate" + labels + "0.000", "ocelam_camera_frames_total" + labels + "1",
        std::string("ocelam_monitor_clients 2")})
    EXPECT_NE(text.find("\n" + sample + "\n"), std::string::npos) << sample << "\n" << text;
}

// A snapshot's answers: 400 for what is not a camera number, 404 for a
// camera not configured or without a frame, an MJPEG camera's newest frame
// as it came. An RTSP camera's frame is decoded only with a free place in
// the decoding budget (503 at once otherwise); its answer, a failure too,
// is kept for a second and goes to no log.
TEST_F(StatusServerTest, SnapshotAnswers) {
  FakeClock clock;
  acquisition::CameraTable cameras(clock);
  Configured(cameras, 4, "Gate");
  std::string sent;
  FeedFrame(Configured(cameras, 5, "Hall"), 5, &sent);
  acquisition::Camera& rtsp = Configured(cameras, 6, "Dock");
  rtsp.SetStreamKind(acquisition::StreamKind::kRtsp);
  FeedFrame(rtsp, 6);  // a frame no decoder can start at
  acquisition::DecoderBudget& budget = cameras.decoder_budget();
  budget.SetLimit(1);
  status::Snapshots snapshots(cameras, clock);
  const std::string bad = "Not a camera number: cameras are numbered 1 to 159\n";
  const std::string undecodable =
      "Camera 6: ERROR: no key frame at or before the image of index 0 is left in the stream "
      "file: it cannot be decoded\n";
  const std::string busy = "Every snapshot decoder is busy: try again in a moment\n";
  const std::tuple<const char*, double, bool, int, std::string> cases[] = {
      // number, advance first, budget held, status, text
      {"abc", 0, false, 400, bad}, {"01", 0, false, 400, bad}, {"..", 0, false, 400, bad},
      {"1a", 0, false, 400, bad}, {"99999999999999999999", 0, false, 400, bad},
      {"0", 0, false, 400, bad}, {"160", 0, false, 400, bad}, {"", 0, false, 400, bad},
      {"7", 0, false, 404, "Camera 7 is not configured\n"},
      {"4", 0, false, 404, "Camera 4 has no frame yet\n"},
      {"5", 0, true, 200, ""},
      {"6", 0, true, 503, busy},
      {"6", 0, false, 500, undecodable},
      {"6", 0.9, true, 500, undecodable},
      {"6", 0.2, true, 503, busy},
  };
  for (const auto& [number, advance, held, code, text] : cases) {
    SCOPED_TRACE(number);
    clock.AdvanceSeconds(advance);
    if (held) {
      ASSERT_TRUE(budget.Acquire(clock, clock.MonotonicMicros()));
    }
    const status::SnapshotAnswer answer = snapshots.Answer(number);
    if (held) budget.Release();
    EXPECT_EQ(answer.status, code);
    EXPECT_EQ(answer.text, text);
    EXPECT_EQ(answer.jpeg ? *answer.jpeg : "", code == 200 ? sent : "");
  }
  EXPECT_EQ(budget.taken(), 0);
  EXPECT_FALSE(Reported("no key frame", 1, 0));
}

}  // namespace

namespace {

// With its four workers held inside a request, the port keeps 64
// connections (those four and 60 waiting) and closes the others at once,
// with one line; once the workers go on, every descriptor comes back.
TEST_F(StatusServerTest, PortKeepsAtMost64ConnectionsAndClosesTheRestAtOnce) {
  FakeClock& clock = *new FakeClock;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> inside{0};
  const int port = StartPort(clock, "", [released, &inside] {
    ++inside;
    released.wait();
    return 0;
  });
  ASSERT_TRUE(Reported("Status port listening on 127.0.0.1:" + std::to_string(port)));
  const std::size_t before = OpenDescriptors();
  std::vector<int> fds;
  for (int i = 0; i < status::kStatusWorkers; ++i) {
    fds.push_back(sim_test::Connect(port));
    ASSERT_TRUE(sim_test::SendText(fds.back(), "GET /metrics HTTP/1.0\r\n\r\n"));
  }
  ASSERT_TRUE(testing_support::WaitFor([&] { return inside == status::kStatusWorkers; }, 60));
  for (int i = 0; i < 70; ++i) fds.push_back(sim_test::Connect(port));
  auto closed = [&] { return std::count_if(fds.begin(), fds.end(), ClosedByServer); };
  ASSERT_TRUE(testing_support::WaitFor([&] { return closed() >= 10; }, 60));
  clock.AdvanceSeconds(1);
  EXPECT_TRUE(Reported("Status port " + std::to_string(port) +
                       ": 10 connections closed at once: 64 are waiting or being served already"));
  EXPECT_EQ(closed(), 10);
  release.set_value();
  for (int fd : fds) close(fd);
  // Served again once the workers have gone through the 60 that waited (a
  // connection is closed at once until then), and holding no descriptor
  // more than before.
  std::string reply;
  EXPECT_TRUE(testing_support::WaitFor([&] {
    int fd = sim_test::Connect(port);
    reply.assign(256, '\0');
    if (!sim_test::SendText(fd, "GET /healthz HTTP/1.0\r\n\r\n")) reply.clear();
    reply.resize(static_cast<std::size_t>(std::max<ssize_t>(0, recv(fd, reply.data(), reply.size(), MSG_WAITALL))));
    close(fd);
    return reply.starts_with("HTTP/1.1 200 OK");
  }, 60)) << reply;
  EXPECT_TRUE(testing_support::WaitFor([&] { return OpenDescriptors() == before; }, 60));
}

// A port another program holds is told at once and once a minute, tried
// every ten seconds, and taken once free; then clients outside
// "StatusAllowedClients" are closed at once.
TEST_F(StatusServerTest, PortTakenIsToldAndTriedAgainAndTheAllowListHolds) {
  FakeClock& clock = *new FakeClock;
  const int port = testing_support::FreeLoopbackPort();
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  StartPort(clock, "10.0.0.0/8 bogus", {}, port);
  EXPECT_TRUE(Reported("ERROR: StatusAllowedClients: 'bogus' is neither an IPv4 address nor a "
                       "range a.b.c.d/n, ignored"));
  const std::string taken = "ERROR: the status port " + std::to_string(port) +
                            " cannot be bound on 127.0.0.1 (Address already in use): the gateway "
                            "tries again every 10 seconds";
  ASSERT_TRUE(Reported(taken));
  for (int step = 1; step <= 6; ++step) {
    ASSERT_TRUE(clock.AwaitSleepers(1));
    clock.AdvanceSeconds(10);
  }
  EXPECT_TRUE(Reported(taken, 2));
  ASSERT_TRUE(clock.AwaitSleepers(1));
  close(blocker);
  clock.AdvanceSeconds(10);
  ASSERT_TRUE(Reported("Status port listening on 127.0.0.1:" + std::to_string(port)));
  EXPECT_EQ(Count(taken), 2u);
  // Nothing at all is answered, whatever the route.
  for (const char* path : {"/metrics", "/healthz", "/", "/anything"}) {
    int fd = sim_test::Connect(port);
    (void)sim_test::SendText(fd, std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(testing_support::WaitFor([&] { return ClosedByServer(fd); }, 60));
    char byte;
    EXPECT_LE(recv(fd, &byte, 1, 0), 0) << path;
    close(fd);
  }
  clock.AdvanceSeconds(1);
  EXPECT_TRUE(Reported("Status port " + std::to_string(port) +
                       ": 4 connections closed at once: not in StatusAllowedClients (the last "
                       "from 127.0.0.1)"));
}

}  // namespace

// The operator's JSON: each camera state as the page shows it, device text
// that is no UTF-8 answered all the same; a remembered job's files served by
// index only: a link put in an image's place, an index, camera or job not
// there are 404, a number that is none (or too long) 400.
TEST_F(StatusServerTest, OperatorApiCameraStatesAndJobFilesByIndex) {
  auto& clock = *new FakeClock;  // the port's threads use it for good
  auto& cameras = *new acquisition::CameraTable(clock);
  Configured(cameras, 1, "Never");
  Configured(cameras, 2, "On demand", false);
  FeedFrame(Configured(cameras, 3, "Live"), 3);
  FeedFrame(Configured(cameras, 4, "Stalled"), 4);
  cameras[4].SetStallTimeout(2);
  Configured(cameras, 5, "Bad\xff<b>");
  clock.AdvanceSeconds(5);
  auto& history = *new jobs::JobHistory;
  const std::uint64_t job = history.Begin("A1", 1, {{.row = 1, .number = 4, .reference = "G"}});
  testing_support::WriteFile(dir_ / "image.jpg", "JPEG!");
  ASSERT_EQ(symlink((dir_ / "image.jpg").c_str(), (dir_ / "link.jpg").c_str()), 0);
  history.ImageSaved(job, 1, dir_ / "image.jpg");
  history.ImageSaved(job, 1, dir_ / "link.jpg");
  status::StatusSources sources{*new core::Settings(settings_), cameras, *new core::Metrics, clock,
                                {}};
  sources.job_history = &history;
  const int port = testing_support::FreeLoopbackPort();
  ASSERT_TRUE((new status::StatusServer(sources))->Start(port, "", ""));

  std::string body;
  ASSERT_TRUE(
      testing_support::WaitFor([&] { return sim_test::HttpGet(port, "/api/cameras", &body) == 200; }, 60));
  const auto shown = nlohmann::json::parse(body)["cameras"];
  const std::tuple<const char*, const char*, const char*> states[] = {
      // state, reason, frame age
      {"down", "", "null"}, {"idle", "", "null"}, {"streaming", "", "5.0"},
      {"down", "no frame for 5 s", "5.0"}, {"down", "", "null"}};
  ASSERT_EQ(shown.size(), std::size(states)) << body;
  for (std::size_t i = 0; i < std::size(states); ++i) {
    const auto& [state, reason, age] = states[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(shown[i]["state"], state);
    EXPECT_EQ(shown[i]["reason"], reason);
    EXPECT_EQ(shown[i]["frame_age"].dump(), age);
  }
  EXPECT_EQ(shown[4]["reference"], "Bad\xef\xbf\xbd<b>");
  ASSERT_EQ(sim_test::HttpGet(port, "/api/jobs", &body), 200);
  EXPECT_EQ(nlohmann::json::parse(body)["jobs"][0]["cameras"][0]["images"][1],
            "/jobs/1/cameras/4/images/1.jpg");

  const std::pair<const char*, int> files[] = {
      {"/jobs/1/cameras/4/images/0.jpg", 200}, {"/jobs/1/cameras/4/images/1.jpg", 404},
      {"/jobs/1/cameras/4/images/2.jpg", 404}, {"/jobs/1/cameras/5/images/0.jpg", 404},
      {"/jobs/2/cameras/4/images/0.jpg", 404}, {"/jobs/1/cameras/4/clip", 404},
      {"/jobs/x/cameras/4/images/0.jpg", 400}, {"/jobs/1/cameras/4/images/1234567890.jpg", 400},
      {"/jobs/1/cameras/-4/images/0.jpg", 400}, {"/jobs/1/cameras/4/images/clip.jpg", 400}};
  for (const auto& [path, code] : files) {
    EXPECT_EQ(sim_test::HttpGet(port, path, &body), code) << path;
    EXPECT_EQ(body, code == 200 ? "JPEG!" : code == 404 ? "not found\n" : "not a number, or too big\n");
  }
}
