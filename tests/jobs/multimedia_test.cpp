// The multimedia log and message file of a job.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "jobs/multimedia.h"
#include "jobs_fixture.h"

namespace {

using jobs_test::JobsTest;
using jobs_test::Reports;
using testing_support::ReadFile;

class MultimediaTest : public JobsTest {
 protected:
  void SetUp() override {
    JobsTest::SetUp();
    CameraBaseTable[3].reference = "Entrance";
    CameraBaseTable[5].reference = "Hall";
  }
  void TearDown() override {
    CameraBaseTable[3].reference.clear();
    CameraBaseTable[5].reference.clear();
    JobsTest::TearDown();
  }
};

TEST_F(MultimediaTest, CountsOfOneAndOfSeveralCameras) {
  CJob one;
  one.alarm_reference = "A1";
  one.cameras[1].camera_number = 3;
  WriteMultimediaCounts(one);
  EXPECT_EQ(MultimediaLogPath(one), Path("log/A1_multimedia.log"));
  EXPECT_EQ(ReadFile(Path("log/A1_multimedia.log")),
            "[Alarm]\nNumberOfCams=1\n"
            "[Camera1]\nCameraScenario=3\nTotalNbrOfFiles=0\nFileSuccess=0\nFileError=0\n"
            "CommandSuccess=0\nCommandError=0\n"
            "[MultimediaSequence]\n");

  CJob three;
  three.alarm_reference = "A3";
  three.number_of_cameras = 3;
  int numbers[] = {0, 3, 5, -1};
  for (int p = 1; p <= 3; ++p) three.cameras[p].camera_number = numbers[p];
  WriteMultimediaCounts(three);
  AppendMultimediaLog(three, "camera 3: first image saved");
  // The second call, at the end of the job, overwrites the values in place
  // and leaves the plain lines where they are.
  three.cameras[1].file_successes.Add(12);
  three.cameras[2].file_successes.Add(10);
  three.cameras[2].file_errors.Add(2);
  three.cameras[3].command_successes.Add(3);
  three.cameras[3].command_errors.Add(1);
  WriteMultimediaCounts(three);
  std::string log = ReadFile(Path("log/A3_multimedia.log"));
  EXPECT_TRUE(std::regex_match(
      log, std::regex("\\[Alarm\\]\nNumberOfCams=3\n"
                      "\\[Camera1\\]\nCameraScenario=3\nTotalNbrOfFiles=12\nFileSuccess=12\nFileError=0\n"
                      "CommandSuccess=0\nCommandError=0\n"
                      "\\[Camera2\\]\nCameraScenario=5\nTotalNbrOfFiles=12\nFileSuccess=10\nFileError=2\n"
                      "CommandSuccess=0\nCommandError=0\n"
                      "\\[Camera3\\]\nCameraScenario=-1\nTotalNbrOfFiles=0\nFileSuccess=0\nFileError=0\n"
                      "CommandSuccess=3\nCommandError=1\n"
                      "\\[MultimediaSequence\\]\n"
                      "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] camera 3: first image saved\n")))
      << log;
  EXPECT_EQ(log.find("init"), std::string::npos);
}

TEST_F(MultimediaTest, MessageFileOfTwoCamerasAsWritten) {
  CJob job;
  job.alarm_reference = "A17";
  job.number_of_cameras = 2;
  job.cameras[1].camera_number = 3;
  job.cameras[2].camera_number = 5;
  std::string first3 = Path("log/multimedia/Entrance/A17/Entrance_A17_00000.jpg");
  std::string first5 = Path("log/multimedia/Hall/A17/Hall_A17_00000.jpg");
  WriteMultimediaMessage(job, first3, 12, 1);
  WriteMultimediaMessage(job, first5, 12, 2);
  EXPECT_EQ(MultimediaMessagePath(job), Path("log/A17.msg"));
  EXPECT_EQ(ReadFile(Path("log/A17.msg")),
            "camera 3 - Entrance\n"
            "[multimedia]\nsubject=Camera\n"
            "[camera1]\nImageCount=12\nfile1=" + first3 + "\n"
            "camera 5 - Hall\n"
            "[camera2]\nImageCount=12\nfile1=" + first5 + "\n");
}

TEST_F(MultimediaTest, UnwritableFilesAreReportedAndTheJobGoesOn) {
  Config.log_directory = Path("no/such/dir");
  CJob job;
  job.alarm_reference = "X";
  job.cameras[1].camera_number = 3;
  AppendMultimediaLog(job, "line");
  WriteMultimediaMessage(job, "f.jpg", 1, 1);
  WriteMultimediaCounts(job);
  EXPECT_EQ(Reports::Get().Count("Unable to open file " + Path("no/such/dir/X_multimedia.log"), 3), 1);
  EXPECT_EQ(Reports::Get().Count("Unable to open file " + Path("no/such/dir/X.msg"), 3), 1);
}

TEST_F(MultimediaTest, ConcurrentCopiesLoseNoLineAndNoKey) {
  // Every camera of a job appends to and rewrites the same two files at once.
  constexpr int kCameras = 8, kLines = 40;
  CJob job;
  job.alarm_reference = "C8";
  job.number_of_cameras = kCameras;
  for (int p = 1; p <= kCameras; ++p) job.cameras[p].camera_number = p % 2 ? 3 : 5;
  WriteMultimediaCounts(job);
  std::vector<std::thread> threads;
  for (int p = 1; p <= kCameras; ++p) {
    threads.emplace_back([&, p] {
      WriteMultimediaMessage(job, "first_" + std::to_string(p) + ".jpg", p, p);
      for (int k = 0; k < kLines; ++k)
        AppendMultimediaLog(job, "camera " + std::to_string(p) + " line " + std::to_string(k));
    });
  }
  for (std::thread& t : threads) t.join();
  WriteMultimediaCounts(job);

  std::string log = ReadFile(Path("log/C8_multimedia.log"));
  std::string message = ReadFile(Path("log/C8.msg"));
  for (int p = 1; p <= kCameras; ++p) {
    for (int k = 0; k < kLines; ++k)
      EXPECT_NE(log.find(" camera " + std::to_string(p) + " line " + std::to_string(k) + "\n"),
                std::string::npos);
    std::string section = "Camera" + std::to_string(p);
    EXPECT_EQ(GetIniString(section, "CameraScenario", "", Path("log/C8_multimedia.log")),
              std::to_string(p % 2 ? 3 : 5));
    // Each camera's line and section stay together.
    std::string line = p % 2 ? "camera 3 - Entrance\n" : "camera 5 - Hall\n";
    std::string section_text = "[camera" + std::to_string(p) + "]\nImageCount=" + std::to_string(p) +
                               "\nfile1=first_" + std::to_string(p) + ".jpg\n";
    EXPECT_TRUE(message.find(line + section_text) != std::string::npos ||
                message.find(line + "[multimedia]\nsubject=Camera\n" + section_text) == 0)
        << message;
  }
  auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(message, "subject=Camera"), 1);
  EXPECT_EQ(count(message, "camera 3 - Entrance\n"), kCameras / 2);
  EXPECT_EQ(count(message, "camera 5 - Hall\n"), kCameras / 2);
}

}  // namespace
