// The image copy of one job camera and the streaming servers' control files.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "jobs/image_copy.h"
#include "jobs_fixture.h"
#include "monitor/interface.h"
#include "tools/sim_client.h"

namespace {

using jobs_test::JobsTest;
using jobs_test::Reports;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string Hex(std::time_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(t));
  return buf;
}

std::string Control(const std::string& directory, const std::string& alarm, const std::string& action) {
  return "[Stream]\nDirectory=" + directory + "\nAlarmRef=" + alarm + "\nAction=" + action + "\n";
}

TEST(ImageCopyCountTest, DurationPreRecordAndInterval) {
  struct Case {
    int duration, pre_record;
    float interval;
    int images;
  } cases[] = {
      {0, 5, 1, 1},      {0, 0, 0.1f, 1}, {10, 5, 1, 15}, {30, 5, 1, 35},
      {10, 3, 2, 6},     {10, 0, 0.5f, 20}, {10, 0, 3, 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ImageCopyCount(c.duration, c.pre_record, c.interval), c.images)
        << c.duration << " " << c.pre_record << " " << c.interval;
}

TEST_F(JobsTest, ControlFilesInEveryServerPathNeverReplaceEachOther) {
  StreamingServerPaths = {Path("s1"), Path("s2")};
  for (int attempt = 0;; ++attempt) {
    for (const char* d : {"s1", "s2"}) {
      std::filesystem::remove_all(Path(d));
      mkdir(Path(d).c_str(), 0755);
    }
    std::time_t t = std::time(nullptr);
    std::string base = Hex(t);
    // A ".tmp" left by a writer that has not yet renamed it keeps its name.
    WriteFile(Path("s1/" + base + "_1.tmp"), "");
    WriteStreamControlFile(kActionStart, "/d/m", "A1");
    WriteStreamControlFile(kActionStop, "/d/m", "A1");
    WriteStreamControlFile(kActionStop, "/d/m", "A1");
    if (std::time(nullptr) != t) {
      ASSERT_LT(attempt, 5);  // the second changed in between: once more
      continue;
    }
    EXPECT_EQ(Names("s1"), (std::vector<std::string>{base + "_0.job", base + "_1.tmp",
                                                     base + "_2.job", base + "_3.job"}));
    EXPECT_EQ(Names("s2"), (std::vector<std::string>{base + "_0.job", base + "_1.job", base + "_2.job"}));
    EXPECT_EQ(ReadFile(Path("s2/" + base + "_0.job")), Control("/d/m", "A1", "Start"));
    EXPECT_EQ(ReadFile(Path("s2/" + base + "_1.job")), Control("/d/m", "A1", "Stop"));
    EXPECT_EQ(ReadFile(Path("s1/" + base + "_2.job")), Control("/d/m", "A1", "Stop"));
    break;
  }
  StreamingServerPaths.clear();
  WriteStreamControlFile(kActionStart, "/d/m", "A1");  // nowhere to write: nothing happens
}

// One camera of a job run through ImageCopy on the test's own thread.
class ImageCopyTest : public JobsTest {
 protected:
  void TearDown() override {
    for (int n : used_) CameraBaseTable[n].reference.clear();
    JobsTest::TearDown();
  }

  // A camera streaming permanently from the simulator, as the
  // configuration loader sets one up.
  void StreamFrom(int n, int port) {
    static CInterface* record = new CInterface("jobs_test");
    used_.push_back(n);
    CameraBaseTable[n].reference = "Cam" + std::to_string(n);
    CCamera& camera = Cameras[n];
    camera.interface = record;
    mkdir(Path("file").c_str(), 0755);
    std::string stream = Path("file/cam" + std::to_string(n) + ".mjpeg");
    WriteFile(stream, "");
    camera.SetStreamFilePath(stream);
    camera.SetCameraNumber(n);
    ASSERT_EQ(camera.InitStream("127.0.0.1", port, kStreamName, n), 0);
    camera.SetPermanent(1);
    camera.SetRequestUri("/mjpg");
    camera.SetConfigured(1);
    ASSERT_TRUE(camera.StartStreamThreads());
  }

  // Runs the copy of camera `n` for a job of one camera; the record.
  std::shared_ptr<CJob> Copy(int n, const std::string& alarm, int duration, float interval,
                             int pre_record = 0) {
    if (std::find(used_.begin(), used_.end(), n) == used_.end()) used_.push_back(n);
    auto record = std::make_shared<CJob>();
    record->alarm_reference = alarm;
    JobCamera& row = record->cameras[1];
    row.camera_number = n;
    row.duration = duration;
    row.interval = interval;
    row.pre_record_time = pre_record;
    row.multimedia_directory = Path("log/multimedia/" + CameraBaseTable[n].reference + "/" + alarm);
    auto args = std::make_shared<ImageCopyArgs>();
    args->alarm_reference = alarm;
    args->job = 4;
    args->camera_index = 1;
    args->thread_index = 0;
    args->record = record;
    testing::internal::CaptureStdout();
    ImageCopy(args);
    console_ = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(record->thread_events[0].IsSet());
    return record;
  }

  std::vector<int> used_;
  std::string console_;
};

TEST_F(ImageCopyTest, DurationZeroSavesTheNewestImageAndTellsEveryone) {
  sim_test::SimProcess sim({"--camera", "id=1,fps=10,size=20000"});
  ASSERT_TRUE(sim.ready());
  StreamFrom(11, sim.port(1));
  StreamingServerPaths = {Path("stream")};
  mkdir(Path("stream").c_str(), 0755);

  std::shared_ptr<CJob> job = Copy(11, "D0", 0, 1);
  std::string directory = Path("log/multimedia/Cam11/D0");
  EXPECT_EQ(Names("log/multimedia/Cam11/D0"), (std::vector<std::string>{"Cam11_D0_00000.jpg"}));
  sim_test::JpegInfo info;
  ASSERT_EQ(sim_test::CheckJpeg(ReadFile(directory + "/Cam11_D0_00000.jpg"), &info), "");
  sim_test::Stamp stamp;
  ASSERT_TRUE(sim_test::ParseStamp(info, &stamp));
  EXPECT_EQ(stamp.camera, 1);
  EXPECT_EQ(job->cameras[1].file_successes.Get(), 1);
  EXPECT_EQ(job->cameras[1].file_errors.Get(), 0);

  EXPECT_EQ(ReadFile(Path("log/D0.msg")), "camera 11 - Cam11\n[multimedia]\nsubject=Camera\n[camera1]\n"
                                          "ImageCount=1\nfile1=" + directory + "/Cam11_D0_00000.jpg\n");
  EXPECT_TRUE(std::regex_match(ReadFile(Path("log/D0_multimedia.log")),
                               std::regex("[0-9:]{8} camera 11: first image saved\n")));
  std::vector<std::string> control = Names("stream");
  ASSERT_EQ(control.size(), 2u);
  EXPECT_EQ(ReadFile(Path("stream/" + control[0])), Control(directory, "D0", "Start"));
  EXPECT_EQ(ReadFile(Path("stream/" + control[1])), Control(directory, "D0", "Stop"));

  EXPECT_NE(console_.find("Job 4: ImageCopy thread started in directory " + directory +
                          " (camera 11 - alarm reference D0)"),
            std::string::npos)
      << console_;
  EXPECT_NE(console_.find("Job 4: JPEG images of camera 11 are being copied, please wait.....\n\n"),
            std::string::npos);
  EXPECT_EQ(Reports::Get().Count("Job 4: (camera 11) ImageCopy thread is over", 1), 1);
  EXPECT_EQ(Reports::Get().Count("Job 4: (camera 11) 1 images successfully saved", 0), 1);
  EXPECT_EQ(Reports::Get().Count("Job 4: (camera 11) 0 errors", 0), 1);

  // A multimedia directory that cannot be made: every image is an error,
  // and the message still names the first image that was read.
  WriteFile(Path("log/multimedia/Cam11/B1"), "a file where the directory should be");
  job = Copy(11, "B1", 0, 0.1f);
  EXPECT_EQ(job->cameras[1].file_successes.Get(), 0);
  EXPECT_EQ(job->cameras[1].file_errors.Get(), 1);
  EXPECT_NE(ReadFile(Path("log/B1.msg")).find("file1=" + Path("log/multimedia/Cam11/B1/Cam11_B1_00000.jpg")),
            std::string::npos);
  EXPECT_NE(ReadFile(Path("log/B1_multimedia.log"))
                .find(" camera 11: error by saving the image of index 0 (no writing possible)\n"),
            std::string::npos);
  EXPECT_EQ(Reports::Get().Count("Job 4: (camera 11) 1 errors", 3), 1);
}

TEST_F(ImageCopyTest, ACameraWithoutImagesGivesUpAfterFiveSeconds) {
  CameraBaseTable[12].reference = "Cam12";  // configured, but no stream ever came
  StreamingServerPaths = {Path("stream")};
  mkdir(Path("stream").c_str(), 0755);
  std::shared_ptr<CJob> job = Copy(12, "N1", 10, 1, 5);
  EXPECT_EQ(job->cameras[1].file_successes.Get(), 0);
  EXPECT_EQ(job->cameras[1].file_errors.Get(), 0);
  EXPECT_EQ(Reports::Get().Count("Job 4 (Camera 12): ERROR: The connection to the camera is probably "
                                 "not active - or wrong configured (no valid JPEG image found)",
                                 3),
            1);
  EXPECT_FALSE(FileExists(Path("log/N1.msg")));
  EXPECT_EQ(Names("stream").size(), 2u);  // start and stop all the same
  EXPECT_TRUE(Names("log/multimedia/Cam12/N1").empty());
}

}  // namespace
