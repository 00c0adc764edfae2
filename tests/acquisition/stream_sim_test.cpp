// The stream receiver against the device simulator: what it indexes is what
// the camera sent, whatever the camera does wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "acquisition/camera/camera.h"
#include "monitor/interface.h"
#include "support/sandbox.h"
#include "tools/sim_client.h"

using sim_test::CheckJpeg;
using sim_test::JpegInfo;
using sim_test::ParseStamp;
using sim_test::SimProcess;
using sim_test::Stamp;
using testing_support::TempDir;
using testing_support::WaitFor;

namespace {

class StreamSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("LOG", 0755);
    mkdir("log", 0755);
  }
  // A camera streaming from the simulator. Its threads never end, so the
  // record outlives the test on purpose.
  CCamera* Stream(int number, int port, bool permanent = true) {
    auto* camera = new CCamera;
    camera->interface = &record_;
    camera->SetStreamFilePath(dir_ / ("cam" + std::to_string(number) + ".mjpeg"));
    camera->SetCameraNumber(number);
    EXPECT_EQ(camera->InitStream("127.0.0.1", port, kStreamName, number), 0);
    camera->SetPermanent(permanent ? 1 : 0);
    camera->SetRequestUri("/mjpg");
    camera->SetConfigured(1);
    camera->StartStreamThreads();
    return camera;
  }
  // The stamp of the image `time_back` hundredths of a second back; the
  // image must be a whole, valid frame.
  static ::testing::AssertionResult ImageAt(CCamera* camera, int time_back, Stamp* stamp) {
    std::vector<std::uint8_t> buffer(kImageBufferSize);
    int n = camera->GetImage(time_back, buffer.data(), nullptr);
    if (n <= 0) return ::testing::AssertionFailure() << "no image (" << n << ")";
    JpegInfo info;
    std::string problem = CheckJpeg(std::string(buffer.begin(), buffer.begin() + n), &info);
    if (!problem.empty()) return ::testing::AssertionFailure() << problem;
    if (!ParseStamp(info, stamp)) return ::testing::AssertionFailure() << "no stamp";
    return ::testing::AssertionSuccess();
  }
  // Every image in the index, oldest first, as stamps; false at the first
  // image that is not one whole frame.
  static ::testing::AssertionResult AllImages(CCamera* camera, std::vector<Stamp>* stamps) {
    int w = camera->write_index();
    std::vector<std::uint8_t> buffer(kImageBufferSize);
    for (int back = w; back >= 1; --back) {
      int entry = w - back;
      auto [soi, eoi] = camera->Bounds(entry);
      if (soi < 0 || eoi < 0) continue;
      int n = eoi >= soi ? eoi - soi : eoi - soi + static_cast<int>(kStreamFileSize);
      FILE* f = std::fopen(camera->stream_file_path().c_str(), "rb");
      std::fseek(f, soi, SEEK_SET);
      std::size_t got = std::fread(buffer.data(), 1, static_cast<std::size_t>(n), f);
      std::fclose(f);
      JpegInfo info;
      std::string problem = CheckJpeg(std::string(buffer.begin(), buffer.begin() + static_cast<long>(got)), &info);
      Stamp stamp;
      if (!problem.empty() || !ParseStamp(info, &stamp))
        return ::testing::AssertionFailure() << "entry " << entry << ": " << problem;
      stamps->push_back(stamp);
    }
    return ::testing::AssertionSuccess();
  }

  TempDir dir_;
  CInterface record_{"ocelam"};
};

TEST_F(StreamSimTest, ImageByTimeBackIsTheFrameSentThen) {
  SimProcess sim({"--camera", "id=1,port=0,fps=10,size=24000"});
  ASSERT_TRUE(sim.ready());
  CCamera* camera = Stream(1, sim.port(1));
  ASSERT_TRUE(WaitFor([&] { return camera->write_index() >= 80; }, 60));
  for (int attempt = 0; attempt < 3; ++attempt) {
    Stamp newest, back1, back3;
    ASSERT_TRUE(ImageAt(camera, 0, &newest));
    ASSERT_TRUE(ImageAt(camera, 100, &back1));
    ASSERT_TRUE(ImageAt(camera, 300, &back3));
    // A frame arriving between the reads moves the newest image: read again.
    Stamp again;
    ASSERT_TRUE(ImageAt(camera, 0, &again));
    if (again.seq != newest.seq) continue;
    EXPECT_NEAR(static_cast<double>(newest.seq - back1.seq), 10.0, 1.0);
    EXPECT_NEAR(static_cast<double>(newest.seq - back3.seq), 30.0, 1.0);
    EXPECT_NEAR(static_cast<double>(newest.time_us - back1.time_us), 1e6, 1e5 + 2e4);
    return;
  }
  FAIL() << "the newest image kept moving";
}

TEST_F(StreamSimTest, MisbehavingCamerasNeverCorruptTheIndex) {
  SimProcess sim({"--camera", "id=1,port=0,fps=25,size=20000,garbage=3000",
                  "--camera", "id=2,port=0,fps=25,size=20000,stall=1500,after=10",
                  "--camera", "id=3,port=0,fps=25,size=20000,drop=1,after=10",
                  "--camera", "id=4,port=0,fps=25,size=20000,status=401",
                  "--camera", "id=5,port=0,fps=25,size=20000,user=u,pass=p"});
  ASSERT_TRUE(sim.ready());
  CCamera* garbage = Stream(1, sim.port(1));
  CCamera* stall = Stream(2, sim.port(2));
  CCamera* drop = Stream(3, sim.port(3));
  CCamera* unauthorized = Stream(4, sim.port(4));
  CCamera* no_credentials = Stream(5, sim.port(5));

  // The dropping camera is reconnected after every drop.
  ASSERT_TRUE(WaitFor([&] { return sim.Stat(3, "connections") >= 3; }, 60));
  ASSERT_TRUE(WaitFor([&] { return sim.Stat(4, "connections") >= 3; }, 60));
  ASSERT_TRUE(WaitFor([&] { return garbage->write_index() >= 40 && stall->write_index() >= 20; }, 60));

  for (CCamera* camera : {garbage, stall}) {
    std::vector<Stamp> stamps;
    EXPECT_TRUE(AllImages(camera, &stamps)) << camera->camera_number();
    for (std::size_t i = 1; i < stamps.size(); ++i) ASSERT_LT(stamps[i - 1].seq, stamps[i].seq);
  }
  // After a drop the index may join the cut frame to the next one (the
  // stream lacked the marker), but the newest image is whole again.
  Stamp stamp;
  ASSERT_TRUE(WaitFor([&] { return drop->write_index() >= 12; }, 60));
  EXPECT_TRUE(ImageAt(drop, 0, &stamp));
  EXPECT_EQ(stamp.camera, 3);
  EXPECT_FALSE(unauthorized->HasImage());
  EXPECT_FALSE(no_credentials->HasImage());
  EXPECT_GE(sim.Stat(5, "unauthorized"), 1);
}

TEST_F(StreamSimTest, OnDemandCameraIsProbedThenStreams) {
  SimProcess sim({"--camera", "id=6,port=0,fps=10,size=20000"});
  ASSERT_TRUE(sim.ready());
  CCamera* camera = Stream(6, sim.port(6), false);
  // The first probe runs at once and marks the camera alive.
  ASSERT_TRUE(WaitFor([&] { return camera->last_alive() != 0; }, 30));
  EXPECT_FALSE(camera->HasImage());
  camera->StartStreaming(3);
  ASSERT_TRUE(WaitFor([&] { return camera->write_index() >= 10; }, 30));
  // The stream stops when its seconds are used up.
  ASSERT_TRUE(WaitFor([&] { return camera->streaming() == 0; }, 30));
  int after_stop = camera->write_index();
  long long frames = sim.Stat(6, "frames");
  ASSERT_TRUE(WaitFor([&] { return sim.Stat(6, "open") == 0; }, 30));
  EXPECT_LE(camera->write_index(), after_stop + 2);
  EXPECT_LE(sim.Stat(6, "frames"), frames + 5);
}

}  // namespace
