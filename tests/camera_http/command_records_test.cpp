// The command records: templates from "qxacam.ini", placeholders by family,
// the IO status rule with pulses, the recording handle, the daily logs and
// sending against a stand-in camera on the loopback address.
#include "camera_http/command_records.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "core/profile/user_profile.h"
#include "support/sandbox.h"

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

constexpr int kGenerousMs = 60000;
constexpr int kModel = 2;
constexpr int kCamera = 3;

// Written as in the file: "\r\n" is two characters there.
constexpr char kIOParam[] =
    "GET /io?box=<servercameraid>&pin=<pinnumber>&s=<status>&again=<pinnumber> HTTP/1.0\\r\\n\\r\\n";
constexpr char kPresetParam[] =
    "GET /ptz?cmd=<ptzcommand>&cam=<servercameraid>&preset=<presetindex> HTTP/1.0\\r\\n\\r\\n";
constexpr char kRecStart[] = "GET /rec/start?cam=<servercameraid> HTTP/1.0\\r\\n\\r\\n";
constexpr char kRecStop[] = "GET /rec/stop?cam=<servercameraid>&h=<handleid> HTTP/1.0\\r\\n\\r\\n";

// A camera on the loopback address serving one connection: it records every
// byte up to and including the command's NUL, then answers `reply` or, when
// `silent`, says nothing until the client gives up.
class LoopbackCamera {
 public:
  explicit LoopbackCamera(std::string reply, bool silent = false)
      : reply_(std::move(reply)), silent_(silent) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    if (listen(listener_, 1) != 0) std::abort();
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackCamera() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  // Reads into received_ until the NUL arrived (or, with `to_close`, until
  // the client closes), or a long while passes without a byte.
  void Read(int fd, bool to_close) {
    char buf[1024];
    while (to_close || received_.find('\0') == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kGenerousMs) != 1) return;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      received_.append(buf, static_cast<std::size_t>(n));
    }
  }
  void Serve() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, kGenerousMs) != 1) return;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    Read(fd, false);
    if (!silent_) send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    Read(fd, true);
    close(fd);
  }

  std::string reply_;
  bool silent_;
  int listener_ = -1;
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

std::string Today(const char* kind, int camera) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char name[128];
  std::snprintf(name, sizeof name, "LOG/ocelam_%s_camera_%d_%04d%02d%02d.log", kind, camera,
                tm.tm_year + 1900, tm.tm_mday, tm.tm_mon + 1);
  return name;
}

// Each test runs in a directory of its own with a "LOG" directory and its
// own "qxacam.ini" found through the registry's ini directory.
class CommandRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir("LOG", 0755), 0);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_.path() + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    ResetIniDirectoryForTest();
    Definitions(std::string("GetIOParam=") + kIOParam + "\nGetPresetParam=" + kPresetParam +
                "\nGetRecStartParam=" + kRecStart + "\nGetRecStopParam=" + kRecStop + "\n");
  }

  // Writes "qxacam.ini" with `model_keys` in the model's section.
  void Definitions(const std::string& model_keys) {
    WriteFile(dir_ / "qxacam.ini",
              "[Cam2Data]\nCameraFamily=sonyrsm\n" + model_keys +
                  "[sonyrsm]\nGetRecResponseRegExp=<handle>([0-9]+)</handle>\n"
                  "GetRecHandleIDSubst=\\1\n");
  }

  template <typename Record>
  void Load(Record& record, const std::string& family, int port = 80) {
    record.family = family;
    record.model = kModel;
    record.id_in_server = 4;
    record.log_camera_number = kCamera;
    record.Init("127.0.0.1", port, "", kCamera);
  }

  std::string Log(const char* kind) { return ReadFile(dir_ / Today(kind, kCamera)); }

  TempDir dir_;
  std::array<char, kCommandSize> out_{};
  std::array<char, kCommandSize> second_{};
  std::array<char, kHttpReplySize> reply_{};
};

TEST_F(CommandRecordsTest, IOStatusRuleAndFamilies) {
  struct Case {
    const char* family;
    const char* status;
    const char* first;   // "box=B&pin=9&s=X" part of the first command
    int delay;           // BuildFollowUp's result
    const char* second;  // the follow-up's part, "" when nothing is built
  } cases[] = {
      {"sony", "S", "box=<servercameraid>&pin=9&s=on", 0, ""},
      {"sony", "R", "box=<servercameraid>&pin=9&s=off", 0, ""},
      {"sony", "s10", "box=<servercameraid>&pin=9&s=on", 0, ""},
      {"sony", "PS10", "box=<servercameraid>&pin=9&s=on", 10, "box=<servercameraid>&pin=9&s=off"},
      {"sony", "PR3", "box=<servercameraid>&pin=9&s=off", 3, "box=<servercameraid>&pin=9&s=on"},
      {"sony", "xs", "box=<servercameraid>&pin=9&s=on", 0, "box=<servercameraid>&pin=9&s=off"},
      {"sony", "", "box=<servercameraid>&pin=9&s=off", 0, "box=<servercameraid>&pin=9&s=off"},
      {"sony", "PS99999999999", "box=<servercameraid>&pin=9&s=on", 2147483647,
       "box=<servercameraid>&pin=9&s=off"},
      {"SONY", "PS2", "box=<servercameraid>&pin=9&s=on", 2, "box=<servercameraid>&pin=9&s=off"},
      // The IO box's own id, not "CameraIDInServer" (4).
      {"sonyrsm", "PS2", "box=6&pin=9&s=1", 2, "box=6&pin=9&s=0"},
      {"SonyRSM", "PR7x", "box=6&pin=9&s=0", 7, "box=6&pin=9&s=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.family) + " '" + c.status + "'");
    CIOBoxCommand io;
    io.iobox_id_in_server = 6;
    Load(io, c.family);
    out_.fill('#');
    second_.fill('#');
    ASSERT_EQ(io.BuildCommand(out_, 9, c.status), 0);
    // Only the first "<pinnumber>" is filled.
    EXPECT_EQ(std::string(out_.data()),
              std::string("GET /io?") + c.first + "&again=<pinnumber> HTTP/1.0\r\n\r\n");
    EXPECT_EQ(io.BuildFollowUp(second_, 9, c.status), c.delay);
    EXPECT_EQ(std::string(second_.data()),
              *c.second ? std::string("GET /io?") + c.second + "&again=<pinnumber> HTTP/1.0\r\n\r\n"
                        : std::string());
  }
  EXPECT_FALSE(FileExists(dir_ / Today("iobox", kCamera))) << "nothing to log";
}

TEST_F(CommandRecordsTest, UnsupportedFamiliesAndCommandsBuildNothing) {
  CIOBoxCommand io;
  CPTZCommand ptz;
  CRecordingCommand rec;
  Load(io, "axis");
  Load(ptz, "axis");
  Load(rec, "sony");
  out_.fill('#');
  EXPECT_EQ(io.BuildCommand(out_, 1, "S"), -1);
  EXPECT_EQ(out_[0], '\0');
  EXPECT_EQ(io.BuildFollowUp(out_, 1, "PS5"), kFollowUpFailed);
  EXPECT_EQ(ptz.BuildCommand(out_, "preset", 1), -1);
  EXPECT_EQ(rec.BuildStart(out_), -1);
  EXPECT_EQ(rec.BuildStop(out_, "HTTP/1.0 200 OK\r\n\r\n<handle>1</handle>"), -1);
  EXPECT_EQ(out_[0], '\0');
  Load(ptz, "sony");
  EXPECT_EQ(ptz.BuildCommand(out_, "zoom", 1), -1);
  EXPECT_EQ(out_[0], '\0');

  EXPECT_NE(Log("iobox").find(" The camera is of type 'axis' - this type does not support Input / "
                              "Output pins management\n"),
            std::string::npos);
  std::string ptz_log = Log("ptz");
  EXPECT_NE(ptz_log.find(" The camera is of type 'axis' - this type does not support PTZ\n"),
            std::string::npos);
  EXPECT_NE(ptz_log.find(" The PTZ command 'zoom' is not supported yet\n"), std::string::npos);
  std::string rec_log = Log("storage");
  EXPECT_NE(rec_log.find(" The camera is of type 'sony' - this type does not support recording on "
                         "video server\n"),
            std::string::npos);
}

TEST_F(CommandRecordsTest, PresetByFamily) {
  CPTZCommand ptz;
  Load(ptz, "sony");
  ASSERT_EQ(ptz.BuildCommand(out_, "preset", 5), 0);
  EXPECT_STREQ(out_.data(),
               "GET /ptz?cmd=<ptzcommand>&cam=<servercameraid>&preset=5 HTTP/1.0\r\n\r\n");
  Load(ptz, "sonyrsm");
  ASSERT_EQ(ptz.BuildCommand(out_, "PRESET", 12), 0);
  EXPECT_STREQ(out_.data(), "GET /ptz?cmd=PRESET&cam=4&preset=12 HTTP/1.0\r\n\r\n");
}

TEST_F(CommandRecordsTest, RecordingHandleFromTheStartReply) {
  CRecordingCommand rec;
  Load(rec, "sonyrsm");
  EXPECT_EQ(rec.reply_expression, "<handle>([0-9]+)</handle>");
  EXPECT_EQ(rec.handle_subst, "\\1");
  ASSERT_EQ(rec.BuildStart(out_), 0);
  EXPECT_STREQ(out_.data(), "GET /rec/start?cam=4 HTTP/1.0\r\n\r\n");

  const char* matching = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<handle>4711</handle>";
  EXPECT_EQ(rec.GetHandleId(matching), 4711);
  ASSERT_EQ(rec.BuildStop(out_, matching), 0);
  EXPECT_STREQ(out_.data(), "GET /rec/stop?cam=4&h=4711 HTTP/1.0\r\n\r\n");
  EXPECT_FALSE(FileExists(dir_ / Today("storage", kCamera)));

  // No match: -1 in the stop command, and the reply in the log as received.
  const char* other = "HTTP/1.0 200 OK\r\n\r\n<error>busy</error>";
  ASSERT_EQ(rec.BuildStop(out_, other), 0);
  EXPECT_STREQ(out_.data(), "GET /rec/stop?cam=4&h=-1 HTTP/1.0\r\n\r\n");
  EXPECT_NE(Log("storage").find(std::string(" ERROR: unable to execute the regexp "
                                            "'<handle>([0-9]+)</handle>' on '") + other + "'\n"),
            std::string::npos);

  // An expression that does not compile is logged and finds no handle.
  rec.reply_expression = "<handle>([0-9]+</handle>";
  EXPECT_EQ(rec.GetHandleId(matching), kNoHandle);
  EXPECT_NE(Log("storage").find(" ERROR: unable to compile the regexp '<handle>([0-9]+</handle>'\n"),
            std::string::npos);
  // A substitution that gives no digits reads as 0.
  rec.reply_expression = "<handle>(.*)</handle>";
  EXPECT_EQ(rec.GetHandleId("<handle>abc</handle>"), 0);
}

TEST_F(CommandRecordsTest, CommandsThatDoNotFitAreRefused) {
  const std::string padding(241, 'a');
  const std::string tail(246, 'e');
  Definitions("GetIOParam=/" + padding + "<pinnumber><status>\n"
              "GetPresetParam=/" + std::string(260, 'c') + "<presetindex>\n"
              "GetRecStartParam=/" + std::string(600, 'd') + "\n"
              "GetRecStopParam=<handleid>" + tail + "<servercameraid>\n");
  CIOBoxCommand io;
  CPTZCommand ptz;
  CRecordingCommand rec;
  Load(io, "sony");
  Load(ptz, "sony");
  Load(rec, "sonyrsm");
  // Exactly 255 characters fit; one more does not.
  ASSERT_EQ(io.BuildCommand(out_, 2147483647, "R"), 0);
  EXPECT_EQ(std::string(out_.data()), "/" + padding + "2147483647off");
  EXPECT_EQ(io.BuildFollowUp(second_, 2147483647, "PS4"), 4);
  EXPECT_EQ(std::string(second_.data()), "/" + padding + "2147483647off");
  EXPECT_EQ(io.BuildCommand(out_, -2147483647 - 1, "R"), -1);
  EXPECT_EQ(out_[0], '\0');
  EXPECT_EQ(io.BuildFollowUp(second_, -2147483647 - 1, "PS4"), kFollowUpFailed);

  EXPECT_EQ(ptz.BuildCommand(out_, "preset", 1), -1);  // 262 characters
  EXPECT_EQ(out_[0], '\0');
  // Longer than its buffer in the file: kept to 511 characters, then refused.
  EXPECT_EQ(rec.start_template.size(), kTemplateMax);
  EXPECT_EQ(rec.BuildStart(out_), -1);
  EXPECT_EQ(out_[0], '\0');
  // The stop command would have 249 characters, but its first placeholder
  // stands behind the 255th, where filling it cuts the text: refused rather
  // than sent damaged.
  EXPECT_EQ(rec.BuildStop(out_, "<handle>31</handle>"), -1);
  EXPECT_EQ(out_[0], '\0');

  EXPECT_NE(Log("iobox").find(" ERROR: the command built from the template '/" + padding +
                              "<pinnumber><status>' is longer than 255 characters - not sent\n"),
            std::string::npos);
  EXPECT_NE(Log("ptz").find("<presetindex>' is longer than 255 characters - not sent\n"),
            std::string::npos);
  EXPECT_NE(Log("storage").find(tail + "<servercameraid>' is longer than 255 characters - not sent\n"),
            std::string::npos);
}

TEST_F(CommandRecordsTest, PulseOnTheWireAndTheLog) {
  CIOBoxCommand io;
  io.iobox_id_in_server = 6;
  {
    LoopbackCamera camera("HTTP/1.0 200 OK\r\n\r\n");
    Load(io, "sony", camera.port());
    ASSERT_EQ(io.BuildCommand(out_, 2, "PS2"), 0);
    ASSERT_EQ(io.BuildFollowUp(second_, 2, "PS2"), 2);
    EXPECT_EQ(io.Execute(out_.data(), reply_, kCamera), 0);
    EXPECT_EQ(camera.Received(), std::string(out_.data()) + '\0');
    EXPECT_STREQ(reply_.data(), "HTTP/1.0 200 OK\r\n\r\n");
  }
  // The follow-up, as the command thread sends it after the pulse.
  LoopbackCamera camera("HTTP/1.1 204 No Content\r\n\r\n");
  io.port = camera.port();
  reply_.fill('\0');
  EXPECT_EQ(io.Execute(second_.data(), reply_, kCamera), 0);
  EXPECT_EQ(camera.Received(),
            std::string("GET /io?box=<servercameraid>&pin=2&s=off&again=<pinnumber> HTTP/1.0\r\n\r\n") +
                '\0');
  std::string log = Log("iobox");
  EXPECT_NE(log.find(" socket for the command 'GET /io?box=<servercameraid>&pin=2&s=on&again="
                     "<pinnumber> HTTP/1.0\r\n\r\n' is executing\n"),
            std::string::npos);
  EXPECT_NE(log.find("&s=off&again=<pinnumber> HTTP/1.0\r\n\r\n' is executing\n"), std::string::npos);
}

TEST_F(CommandRecordsTest, RecordingStartAndStopOnTheWire) {
  CRecordingCommand rec;
  LoopbackCamera start("HTTP/1.0 200 OK\r\n\r\n<handle>31</handle>");
  Load(rec, "sonyrsm", start.port());
  ASSERT_EQ(rec.BuildStart(out_), 0);
  ASSERT_EQ(rec.Execute(out_.data(), reply_, kCamera), 0);
  EXPECT_EQ(start.Received(), std::string("GET /rec/start?cam=4 HTTP/1.0\r\n\r\n") + '\0');
  ASSERT_EQ(rec.BuildStop(second_, reply_.data()), 0);
  // The video server refuses the stop: the HTTP client's message in the log.
  LoopbackCamera stop("HTTP/1.0 500 Internal Error\r\n\r\nno such handle");
  rec.port = stop.port();
  reply_.fill('\0');
  EXPECT_EQ(rec.Execute(second_.data(), reply_, kCamera), -1);
  EXPECT_EQ(stop.Received(), std::string("GET /rec/stop?cam=4&h=31 HTTP/1.0\r\n\r\n") + '\0');
  std::string log = Log("storage");
  EXPECT_NE(log.find("' - error code 500\nData cause received from the server/camera: 'no such "
                     "handle'\n"),
            std::string::npos);
}

TEST_F(CommandRecordsTest, GarbageSilenceAndEmptyTemplatesFail) {
  Definitions("");  // no templates: commands are empty, only the NUL is sent
  CPTZCommand ptz;
  {
    LoopbackCamera camera(std::string("\x01\xff garbage\r\n\r\n", 14));
    Load(ptz, "sony", camera.port());
    ASSERT_EQ(ptz.BuildCommand(out_, "preset", 1), 0);
    EXPECT_STREQ(out_.data(), "");
    EXPECT_EQ(ptz.Execute(out_.data(), reply_, kCamera), -1);
    EXPECT_EQ(camera.Received(), std::string(1, '\0'));
  }
  EXPECT_NE(Log("ptz").find("invalid HTTP command '' - error code 0"), std::string::npos);
  {
    // Silence: the client's receive time-out (10 seconds), then failure.
    LoopbackCamera silent("", true);
    ptz.port = silent.port();
    EXPECT_EQ(ptz.Execute("GET / HTTP/1.0\r\n\r\n", reply_, kCamera), -1);
    EXPECT_NE(Log("ptz").find("no data received on socket for the command"), std::string::npos);
  }
  // Nobody listening any more: the connection is refused.
  EXPECT_EQ(ptz.Execute("GET / HTTP/1.0\r\n\r\n", reply_, kCamera), -1);
  EXPECT_NE(Log("ptz").find("can not connect socket for the command"), std::string::npos);
}

TEST_F(CommandRecordsTest, LogNameIsYearDayMonthAndAMissingDirectoryLosesTheLine) {
  CIOBoxCommand io;
  Load(io, "axis");
  io.log_camera_number = 17;
  EXPECT_EQ(io.BuildCommand(out_, 1, "S"), -1);
  EXPECT_TRUE(FileExists(dir_ / Today("iobox", 17)));
  ASSERT_EQ(rmdir("LOG") == 0 || std::system("rm -r LOG") == 0, true);
  EXPECT_EQ(io.BuildCommand(out_, 1, "S"), -1);  // no crash, no directory made
  EXPECT_FALSE(FileExists(dir_ / "LOG"));
}

}  // namespace
