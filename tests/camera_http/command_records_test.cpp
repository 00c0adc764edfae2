// The command records: templates from "qxacam.ini", placeholders by family,
// the IO status rule with pulses, the recording handle, the daily logs and
// sending to a stand-in camera on the loopback address.
#include "camera_http/command_records.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <tuple>

#include "core/profile/user_profile.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

using sim_test::SimProcess;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

constexpr int kCamera = 3;

// Today's log of the `kind` records of camera 3 (kCamera).
std::string LogName(const std::string& kind) {
  return testing_support::DatedName("LOG/ocelam_" + kind + "_camera_3_%04d%02d%02d.log", true);
}

// Each test runs in a directory of its own, with "LOG" and a "qxacam.ini"
// found through the registry's ini directory.
class CommandRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir("LOG", 0755), 0);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + dir_.path() + "\n");
    setenv("OCELAM_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
    // "\r\n" is written as two characters in the file.
    Definitions(
        "GetIOParam=io <servercameraid>/<pinnumber>/<status>/<pinnumber>\\r\\n\n"
        "GetPresetParam=ptz <ptzcommand>/<servercameraid>/<presetindex>\\r\\n\n"
        "GetRecStartParam=start <servercameraid>\\r\\n\n"
        "GetRecStopParam=stop <servercameraid>/<handleid>\\r\\n\n");
  }
  void Definitions(const std::string& model_keys) {
    WriteFile(dir_ / "qxacam.ini", "[Cam2Data]\n" + model_keys +
                                       "[sonyrsm]\nGetRecResponseRegExp=<h>([0-9]+)</h>\n"
                                       "GetRecHandleIDSubst=\\1\n");
  }
  template <typename Record>
  void Load(Record& record, const std::string& family, int port = 80) {
    record.family = family;
    record.model = 2;
    record.id_in_server = 4;
    record.log_camera_number = kCamera;
    record.Init("127.0.0.1", port, "", kCamera);
  }
  std::string Log(const char* kind) { return ReadFile(dir_ / LogName(kind)); }
  bool Logged(const char* kind, const std::string& line) {
    return Log(kind).find(" " + line + "\n") != std::string::npos;
  }

  TempDir dir_;
  std::array<char, camera_http::kCommandSize> out_{};
  std::array<char, camera_http::kCommandSize> second_{};
  std::array<char, camera_http::kHttpReplySize> reply_{};
};

TEST_F(CommandRecordsTest, IOStatusRuleAndFamilies) {
  // The template is "io <servercameraid>/<pinnumber>/<status>/<pinnumber>":
  // each family fills its own placeholders; the sonyrsm family the IO
  // box's own id (6), not "CameraIDInServer" (4). Family, status; the status
  // the command sets, BuildFollowUp's result and the follow-up's status ("":
  // nothing built).
  const std::tuple<const char*, const char*, const char*, int, const char*> cases[] = {
      {"sony", "S", "on", 0, ""},       {"sony", "R", "off", 0, ""},
      {"sony", "s10", "on", 0, ""},     {"sony", "PS10", "on", 10, "off"},
      {"sony", "PR3", "off", 3, "on"},  {"sony", "xs", "on", 0, "off"},
      {"sony", "", "off", 0, "off"},    {"sony", "PS99999999999", "on", 2147483647, "off"},
      {"SONY", "PS2", "on", 2, "off"},  {"sonyrsm", "PS2", "1", 2, "0"},
      {"SonyRSM", "PR7x", "0", 7, "1"},
  };
  for (const auto& [family, status, first, delay, second] : cases) {
    SCOPED_TRACE(std::string(family) + " '" + status + "'");
    const std::string id = *first == 'o' ? "<servercameraid>" : "6";
    auto command = [&](const char* state) {
      return *state ? "io " + id + "/9/" + state + "/<pinnumber>\r\n" : std::string();
    };
    camera_http::IoBoxCommand io;
    io.iobox_id_in_server = 6;
    Load(io, family);
    out_.fill('#'), second_.fill('#');
    ASSERT_EQ(io.BuildCommand(out_, 9, status), 0);
    EXPECT_EQ(std::string(out_.data()), command(first));
    EXPECT_EQ(io.BuildFollowUp(second_, 9, status), delay);
    EXPECT_EQ(std::string(second_.data()), command(second));
  }
  EXPECT_FALSE(FileExists(dir_ / LogName("iobox"))) << "nothing to log";
}

TEST_F(CommandRecordsTest, PresetsAndUnsupportedCommands) {
  camera_http::PtzCommand ptz;
  Load(ptz, "sony");
  ASSERT_EQ(ptz.BuildCommand(out_, "preset", 5), 0);
  EXPECT_STREQ(out_.data(), "ptz <ptzcommand>/<servercameraid>/5\r\n");
  EXPECT_EQ(ptz.BuildCommand(out_, "zoom", 1), -1);
  EXPECT_EQ(out_[0], '\0');
  Load(ptz, "sonyrsm");
  ASSERT_EQ(ptz.BuildCommand(out_, "PRESET", 12), 0);
  EXPECT_STREQ(out_.data(), "ptz PRESET/4/12\r\n");

  camera_http::IoBoxCommand io;
  camera_http::RecordingCommand rec;
  Load(io, "axis");
  Load(ptz, "axis");
  Load(rec, "sony");
  EXPECT_EQ(io.BuildCommand(out_, 1, "S"), -1);
  EXPECT_EQ(io.BuildFollowUp(out_, 1, "PS5"), camera_http::kFollowUpFailed);
  EXPECT_EQ(ptz.BuildCommand(out_, "preset", 1), -1);
  EXPECT_EQ(rec.BuildStart(out_), -1);
  EXPECT_EQ(rec.BuildStop(out_, "<h>1</h>"), -1);
  EXPECT_EQ(out_[0], '\0');
  for (auto [kind, line] :
       {std::pair{"iobox",
                  "The camera is of type 'axis' - this type does not support Input / Output pins "
                  "management"},
        {"ptz", "The camera is of type 'axis' - this type does not support PTZ"},
        {"ptz", "The PTZ command 'zoom' is not supported yet"},
        {"storage",
         "The camera is of type 'sony' - this type does not support recording on video server"}})
    EXPECT_TRUE(Logged(kind, line)) << line;

  // Without a "LOG" directory the line is lost, and nothing is created.
  ASSERT_EQ(std::system("rm -r LOG"), 0);
  EXPECT_EQ(io.BuildCommand(out_, 1, "S"), -1);
  EXPECT_FALSE(FileExists(dir_ / "LOG"));
}

TEST_F(CommandRecordsTest, RecordingHandleFromTheStartReply) {
  camera_http::RecordingCommand rec;
  Load(rec, "sonyrsm");
  ASSERT_EQ(rec.BuildStart(out_), 0);
  EXPECT_STREQ(out_.data(), "start 4\r\n");
  ASSERT_EQ(rec.BuildStop(out_, "HTTP/1.0 200 OK\r\n\r\n<h>4711</h>"), 0);
  EXPECT_STREQ(out_.data(), "stop 4/4711\r\n");
  EXPECT_FALSE(FileExists(dir_ / LogName("storage")));

  // No match: -1 in the stop command, and the reply in the log as one line.
  ASSERT_EQ(rec.BuildStop(out_, "HTTP/1.0 200 OK\r\n\r\nbusy"), 0);
  EXPECT_STREQ(out_.data(), "stop 4/-1\r\n");
  EXPECT_TRUE(Logged("storage",
                     "ERROR: unable to execute the regexp '<h>([0-9]+)</h>' on "
                     "'HTTP/1.0 200 OK\\r\\n\\r\\nbusy'"));
  // An expression that does not compile finds no handle either.
  rec.reply_expression = "<h>([0-9]+</h>";
  EXPECT_EQ(rec.GetHandleId("<h>1</h>"), camera_http::kNoHandle);
  EXPECT_TRUE(Logged("storage", "ERROR: unable to compile the regexp '<h>([0-9]+</h>'"));
  rec.reply_expression = "<h>(.*)</h>";
  EXPECT_EQ(rec.GetHandleId("<h>abc</h>"), 0);
}

TEST_F(CommandRecordsTest, CommandsThatDoNotFitAreRefused) {
  const std::string pad(241, 'a'), tail(246, 'e');
  Definitions("GetIOParam=/" + pad +
              "<pinnumber><status>\n"
              "GetRecStartParam=/" +
              std::string(600, 'd') +
              "\n"
              "GetRecStopParam=<handleid>" +
              tail + "<servercameraid>\n");
  camera_http::IoBoxCommand io;
  camera_http::RecordingCommand rec;
  Load(io, "sony");
  Load(rec, "sonyrsm");
  // Exactly 255 characters fit; one more does not.
  ASSERT_EQ(io.BuildCommand(out_, 2147483647, "R"), 0);
  EXPECT_EQ(std::string(out_.data()), "/" + pad + "2147483647off");
  EXPECT_EQ(io.BuildCommand(out_, -2147483647 - 1, "R"), -1);
  EXPECT_EQ(out_[0], '\0');
  EXPECT_TRUE(Logged("iobox", "ERROR: the command built from the template '/" + pad +
                                  "<pinnumber><status>' is longer than 255 characters - not sent"));
  // Kept to 511 characters when read, then refused.
  EXPECT_EQ(rec.start_template.size(), camera_http::kTemplateMax);
  EXPECT_EQ(rec.BuildStart(out_), -1);
  // The stop command would have 249 characters, but its first placeholder
  // stands behind the 255th, where filling it cuts the text: refused rather
  // than sent damaged.
  EXPECT_EQ(rec.BuildStop(out_, "<h>31</h>"), -1);
  EXPECT_EQ(out_[0], '\0');
  EXPECT_TRUE(Logged("storage", "ERROR: the command built from the template '<handleid>" + tail +
                                    "<servercameraid>' is longer than 255 characters - not sent"));
}

// The camera's credentials reach the client: right ones get the command
// through Digest authentication, wrong ones the HTTP client's message in the
// record's log.
TEST_F(CommandRecordsTest, DigestCamerasGetTheirCommands) {
  SimProcess sim({"--camera", "id=2,fps=5,user=op,pass=secret,auth=digest", "--route",
                  "camera=2,path=/io,body=done"});
  ASSERT_TRUE(sim.ready());
  Definitions("GetIOParam=GET /io?pin=<pinnumber>&state=<status> HTTP/1.0\\r\\n\\r\\n\n");
  camera_http::IoBoxCommand io;
  io.user_name = "op";
  io.password = "secret";
  Load(io, "sony", sim.port(2));
  ASSERT_EQ(io.BuildCommand(out_, 2, "S"), 0);
  EXPECT_EQ(io.Execute(out_.data(), reply_, kCamera), 0);
  EXPECT_EQ(sim.Stat(2, "commands"), 1) << "the output command reached the device";
  EXPECT_NE(Log("iobox").find(
                "socket for the command 'GET /io?pin=2&state=on HTTP/1.0\r\n\r\n' is executing"),
            std::string::npos);

  io.password = "guess";
  EXPECT_EQ(io.Execute(out_.data(), reply_, kCamera), -1);
  EXPECT_EQ(sim.Stat(2, "commands"), 1);
  EXPECT_NE(Log("iobox").find("refused the user 'op'"), std::string::npos);
}

}  // namespace
