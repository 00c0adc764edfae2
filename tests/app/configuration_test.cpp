#include "app/configuration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "core/profile/user_profile.h"
#include "core/report.h"
#include "support/sandbox.h"

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// Threads the loader starts (streams, alarm inputs) report too, until the
// process is gone: the list is never destroyed under them.
std::mutex g_reports_mutex;
std::vector<std::string>& g_reports = *new std::vector<std::string>;
void Capture(void*, char* text, core::ReportLevel) {
  std::lock_guard<std::mutex> guard(g_reports_mutex);
  g_reports.emplace_back(text);
}

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_.path() + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    core::SetReportSink(&g_reports, Capture);
  }
  void TearDown() override { core::SetReportSink(nullptr, nullptr); }
  // A Config section whose paths stay inside the sandbox.
  std::string SandboxConfig() {
    return "[Config]\nWatchPath=" + dir_ / "watch" + "\nDonePath=" + dir_ / "done" +
           "\nErrorPath=" + dir_ / "error" + "\nFilePath=" + dir_ / "file" + "\n";
  }
  std::string Ini() { return ReadFile(dir_ / "ocelam.ini"); }
  void Load() {
    config_ = app::LoadConfiguration("ocelam.ini", {cameras_, commands_, servers_}).settings;
  }
  TempDir dir_;
  core::Settings config_;
  acquisition::CameraTable cameras_{platform::SystemClock()};
  camera_http::CommandRecords commands_;
  camera_http::VideoServerTable servers_;
};

TEST_F(ConfigurationTest, EmptyProfileEndsComplete) {
  WriteFile(dir_ / "ocelam.ini", "");
  Load();
  EXPECT_EQ(Ini(),
            "[Config]\nNumberOfIPCams=1\nNumberOfStreamingServers=0\nDebugging=1999\n"
            "DebuggingMultiThreading=0\nLogDirectory=\\qxt\\log\nMaxJobsRunnig=50\n"
            "MoveJobToDoneOrErrorPath=1\nWatchTimeout=4\nWatchPath=\\qxt\\multimedia\n"
            "DonePath=\\qxt\\multimedia\\done\nFilePath=\\qxt\\multimedia\\file\n"
            "ErrorPath=\\qxt\\multimedia\\error\nFileMask=*.job\n");
  EXPECT_EQ(config_.watch_path + " " + config_.log_directory, "/qxt/multimedia /qxt/log");
  EXPECT_EQ(config_.job_settle_time, 2);
  for (int n = 0; n < core::kCameraSlots; ++n) EXPECT_FALSE(cameras_[n].IsActive()) << n;
}

TEST_F(ConfigurationTest, CameraThreeAloneAndItsWriteBacks) {
  int port = testing_support::FreeLoopbackPort();
  WriteFile(dir_ / "ocelam.ini",
            SandboxConfig() +
                "LogDirectory=D:\\alarms\\log\nMoveJobToDoneOrErrorPath=0\nJobSettleTime=5\n"
                "[Scenario3]\nCameraRef=Entrance\nCamPort=" +
                std::to_string(port) +
                "\nCameraModel=2\nGetParam=GET /mjpg/video.mjpg HTTP/1.0\nWatchDogActive=2\n"
                "CameraIDInServer=4\nIoBoxIDInServer=6\n"
                "[VideoServer2]\nid=1\nIPPort=8000\nNbCameraConnected=2\nStartAlarmInput=-1\n"
                "IPAddress=127.0.0.1\nAllowBasicAuth=1\n");
  WriteFile(dir_ / "qxacam.ini", "[Cam2Data]\nCameraFamily=sonyrsm\n");
  Load();

  for (int n = 0; n < core::kCameraSlots; ++n) EXPECT_EQ(cameras_[n].IsActive(), n == 3) << n;
  const core::CameraIdentity& base = cameras_[3];
  EXPECT_EQ(base.reference + " " + base.family + " " + std::to_string(base.indexes[3]),
            "Entrance sonyrsm 3");
  EXPECT_EQ(cameras_[3].Url(), "http://127.0.0.1:" + std::to_string(port) + "/mjpg/video.mjpg");
  EXPECT_EQ(cameras_[3].stream_file_path(), dir_ / "file/Entrance/Entrance_mjpegstream.mjpeg");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "file/Entrance"));
  // Only WatchDogActive=1 starts a watchdog.
  EXPECT_EQ(
      (std::vector<int>{cameras_[3].watchdog_active.load(), commands_.io[3].iobox_id_in_server,
                        commands_.ptz[3].id_in_server, commands_.recording[3].log_camera_number,
                        config_.move_job_to_done_or_error_path, servers_[2].port,
                        servers_[2].default_alarm_number, config_.job_settle_time,
                        servers_[2].allow_basic_auth, cameras_[3].allow_basic_auth,
                        commands_.io[3].allow_basic_auth}),
      (std::vector<int>{0, 6, 4, 3, 0, 8000, 9650, 5, 1, 0, 0}));

  std::string ini = Ini();
  for (const char* line :
       {"LogDirectory=\\alarms\\log\n", "MoveJobToDoneOrErrorPath=0\n",
        "CamServerIPAddress=127.0.0.1\n", "Username=\n", "Password=\n", "CameraModel=2\n",
        "MJPEGPermanentRecording=0\n", "ExtendedLogfile=0\n", "RequestUri=/mjpg/video.mjpg\n",
        "RequestHeader=HTTP/1.0\n", "WatchDogActive=2\n", "Timeout=5\n", "SleepAfterAlarm=60\n",
        "WatchdogAlarm=9601\n", "StartAlarmInput=1\n", "DefaultInputAlrNbr=9650\n"})
    EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
  EXPECT_EQ(ini.find("[Scenario1]"), std::string::npos);
  EXPECT_EQ(ini.find("CameraIDInServer=0"), std::string::npos);
  EXPECT_EQ(ini.find("AllowBasicAuth=0"), std::string::npos);
}

TEST(GetParam, OlderRequestForms) {
  struct Case {
    const char* get_param;
    bool changed;
    const char* uri;
    const char* header;
  } cases[] = {
      {"GET /video.mjpg HTTP/1.0", true, "/video.mjpg", "HTTP/1.0"},
      {"GET /video.mjpg", true, "/video.mjpg", ""},
      {"GET /video.mjpg\\r\\nAccept:*/*", true, "/video.mjpg", "Accept:*/*"},
      {"GET /v\\r\\nA: b", true, "/v\\r\\nA:", "b"},  // the marker counts only in a last word
      {"GET /a HTTP/1.1 extra words", true, "/a", "HTTP/1.1 extra words"},
      {"GET", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string uri, header;
    EXPECT_EQ(app::SplitGetParam(c.get_param, &uri, &header), c.changed) << c.get_param;
    EXPECT_EQ(uri + "|" + header, std::string(c.uri) + "|" + c.header) << c.get_param;
  }
}

TEST_F(ConfigurationTest, AbsurdCamerasStayInsideFilePath) {
  std::string long_ref(300, 'r');
  WriteFile(dir_ / "ocelam.ini",
            SandboxConfig() +
                "[Scenario1]\nCameraRef=..\n[Scenario2]\nCameraRef=../../evil\n"
                "[Scenario4]\nCameraRef=" +
                long_ref +
                "\n[Scenario5]\nCameraRef=PortZero\nCamPort=0\n"
                "[Scenario6]\nCameraRef=PortHigh\nCamPort=70000\n[Scenario7]\nCameraRef=Model\n"
                "CameraModel=-3\nCamPort=1\n");
  mkdir((dir_ / "file").c_str(), 0755);
  Load();
  auto has = [&](const std::string& text) {
    std::lock_guard<std::mutex> guard(g_reports_mutex);
    for (const std::string& r : g_reports)
      if (r.find(text) != std::string::npos) return true;
    return false;
  };
  for (int n : {1, 2, 4, 5, 6}) {
    EXPECT_TRUE(has("Unable to initialize the MJPEG stream for the camera " + std::to_string(n)))
        << n;
    EXPECT_EQ(cameras_[n].configured(), 0) << n;
    EXPECT_EQ(commands_.io[n].number, n);  // the command records still stand
  }
  EXPECT_TRUE(has("CamPort 70000 is not a TCP port"));
  EXPECT_TRUE(has("CameraModel -3 is not a model number"));
  EXPECT_EQ(cameras_[7].configured(), 1);
  // Nothing appeared beside the sandbox's own directories.
  EXPECT_EQ(
      testing_support::SortedNames(dir_.path()),
      (std::vector<std::string>{"done", "error", "file", "ocelam.ini", "registry.ini", "watch"}));
  EXPECT_EQ(testing_support::SortedNames(dir_ / "file"), std::vector<std::string>{"Model"});
}

}  // namespace
