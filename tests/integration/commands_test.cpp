// Camera commands of an alarm job through the whole gateway: the requests the
// simulated cameras receive, when they receive them, the command states in
// the alarm's table (read back with another dbf program, python3-dbf), the
// job's counts and where its file ends. Garbage, silent cameras and locked or
// broken tables are the unit tests' (camera_http, alarm, platform).
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::IniValue;
using jobs_world::JobsWorld;
using sim_test::RecordedRequest;
using testing_support::Child;
using testing_support::ReadFile;

// Camera model 1 is a "sony" camera, model 2 a "sonyrsm" video server.
constexpr const char* kModels =
    "[Cam1Data]\nCameraFamily=sony\n"
    "GetIOParam=GET /command/io.cgi?pin=<pinnumber>&state=<status> HTTP/1.0\\r\\nAuthorization: "
    "Basic dTpw\\r\\n\\r\\n\n"
    "GetPresetParam=GET /command/preset.cgi?PresetCall=<presetindex> HTTP/1.0\\r\\n\\r\\n\n"
    "[Cam2Data]\nCameraFamily=sonyrsm\n"
    "GetIOParam=GET /rsm/io?box=<servercameraid>&pin=<pinnumber>&state=<status> "
    "HTTP/1.0\\r\\n\\r\\n\n"
    "GetRecStartParam=GET /rsm/rec/start?cam=<servercameraid> HTTP/1.0\\r\\n\\r\\n\n"
    "GetRecStopParam=GET /rsm/rec/stop?cam=<servercameraid>&handle=<handleid> "
    "HTTP/1.0\\r\\n\\r\\n\n"
    "[sonyrsm]\nGetRecResponseRegExp=<handle>([0-9]+)</handle>\nGetRecHandleIDSubst=\\1\n";

// create PATH N: an alarm table of N command records, all STATUS 0.
// dump PATH: "STATUS TO1 TIME TI1" per record.
constexpr const char* kScript = R"PY(
import sys, dbf
def create(path, n):
    t = dbf.Table(path, "NAME C(10); STATUS N(3,0); TIME C(6); TO1 N(3,0); TI1 C(6)", dbf_type="db3")
    t.open(dbf.READ_WRITE)
    for i in range(int(n)):
        t.append(("cmd%d" % i, 0, "", 0, ""))
    t.close()
def dump(path):
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    for r in t:
        print("%d %d %s %s" % (r.status, r.to1, r.time.strip() or "-", r.ti1.strip() or "-"))
    t.close()
{"create": create, "dump": dump}[sys.argv[1]](*sys.argv[2:])
)PY";

// Runs python3 with `args` in `dir`; exit code and output.
std::pair<int, std::string> Python(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/python3");
  Child child(args, dir, {}, dir + "/python.out");
  int code = child.WaitExit(60) ? child.exit_code() : -1;
  return {code, ReadFile(dir + "/python.out")};
}

// The command requests (streams left out) camera `id` received.
std::vector<RecordedRequest> Commands(const sim_test::SimProcess& sim, int id) {
  std::vector<RecordedRequest> commands;
  for (const RecordedRequest& r : sim.Requests("camera", id))
    if (r.action != "stream") commands.push_back(r);
  return commands;
}

// Seconds from the request for `from` to the one for `to` (whose bytes
// start with "GET <target> "), -1 when one is missing.
double Seconds(const std::vector<RecordedRequest>& requests, const std::string& from,
               const std::string& to) {
  long long at[2] = {-1, -1};
  for (const RecordedRequest& r : requests)
    for (int k : {0, 1})
      if (r.bytes.rfind("GET " + (k ? to : from) + " ", 0) == 0) at[k] = r.time_us;
  return at[0] < 0 || at[1] < 0 ? -1 : static_cast<double>(at[1] - at[0]) / 1e6;
}

std::string Command(int camera, int command, int entry, const std::string& keys) {
  return "[Camera" + std::to_string(camera) + "Command" + std::to_string(command) +
         "]\nDBEntry=" + std::to_string(entry) + "\n" + keys;
}

TEST(Commands, PulsesPresetAndTimedRecordingReachTheCamerasAndTheTable) {
  const std::string in_server = "CameraIDInServer=7\nIoBoxIDInServer=3\n";
  JobsWorld world({"--camera", "id=1,fps=1", "--camera", "id=2,fps=1", "--route",
                   "camera=all,path=*,status=200", "--route",
                   "camera=2,path=/rsm/rec/start,body=<handle>{n}</handle>,counter=77"},
                  {{1, "Cam1", 1, false, "CameraModel=1\n" + in_server},
                   {2, "Cam2", 2, false, "CameraModel=2\n" + in_server}},
                  "", kModels);
  ASSERT_TRUE(world.Started());
  const std::string root = world.Root();
  if (Python(root, {"-c", "import dbf"}).first != 0)
    GTEST_SKIP() << "python3 with the dbf module (python3-dbf) is not available";
  testing_support::WriteFile(root + "/tables.py", kScript);
  const std::string table = world.Data("log/C1.dbf");
  auto [created, create_out] = Python(root, {"tables.py", "create", table, "6"});
  ASSERT_EQ(created, 0) << create_out;
  world.Drop(
      "c1.job",
      "[Alarm]\nAlarmRef=C1\nNumberOfCams=2\n[Camera1]\nCameraScenario=1\nType=2\nNbrOfCommands=3\n"
      "[Camera2]\nCameraScenario=2\nType=2\nNbrOfCommands=2\n" +
          Command(1, 1, 0, "TypeCommand=io\nPinNumber=2\nIOStatus=PS2\n") +
          Command(1, 2, 1, "TypeCommand=PTZ\nPTZCommandType=preset\nPresetPositionIndex=5\n") +
          Command(1, 3, 2, "TypeCommand=ptz\nPTZCommandType=zoom\n") +
          Command(2, 1, 3, "TypeCommand=IO\nPinNumber=4\nIOStatus=PR1\n") +
          Command(2, 2, 4, "TypeCommand=rec\nDuration=3\n"));
  ASSERT_TRUE(world.WaitFinished("c1.job", 120)) << world.Output();
  EXPECT_NE(world.Finished("c1.job", "error"), "") << "the zoom failed";

  // The zoom never connects; the pulses and the recording last their time.
  std::vector<RecordedRequest> sony = Commands(world.sim(), 1), rsm = Commands(world.sim(), 2);
  EXPECT_EQ(std::pair(sony.size(), rsm.size()), std::pair(3ul, 4ul));
  EXPECT_EQ(Seconds(sony, "/command/preset.cgi?PresetCall=5", "/command/preset.cgi?PresetCall=5"),
            0);
  const struct {
    std::vector<RecordedRequest>* requests;
    const char *from, *to;
    double least, most;
  } gaps[] = {
      {&sony, "/command/io.cgi?pin=2&state=on", "/command/io.cgi?pin=2&state=off", 2, 5},
      {&rsm, "/rsm/io?box=3&pin=4&state=0", "/rsm/io?box=3&pin=4&state=1", 1, 4},
      {&rsm, "/rsm/rec/start?cam=7", "/rsm/rec/stop?cam=7&handle=77", 3, 6},
  };
  for (const auto& g : gaps) {
    const double seconds = Seconds(*g.requests, g.from, g.to);
    EXPECT_TRUE(seconds >= g.least && seconds < g.most) << g.to << ": " << seconds;
  }

  // STATUS of every record, TO1 the same, and both times one time.
  auto [dumped, dump] = Python(root, {"tables.py", "dump", table});
  ASSERT_EQ(dumped, 0) << dump;
  std::string records;
  int n = 0;
  for (const char* status : {"8", "8", "3", "8", "8"})
    records += std::string(status) + " " + status + " ([0-2][0-9][0-5][0-9][0-5][0-9]) \\" +
               std::to_string(++n) + "\n";
  EXPECT_TRUE(std::regex_match(dump, std::regex(records + "0 0 - -\n"))) << dump;
  std::string log = world.Data("log/C1_multimedia.log");
  // Successes and errors of each camera.
  EXPECT_EQ(IniValue(log, "Camera1", "CommandSuccess") + IniValue(log, "Camera1", "CommandError") +
                IniValue(log, "Camera2", "CommandSuccess") +
                IniValue(log, "Camera2", "CommandError"),
            "2120");
  std::string output = world.Output();
  for (const char* line :
       {"Job 0: HTTPCommand thread (2) started (Recording) (camera 2 - alarm reference C1)",
        "Job 0: HTTPCommand thread (2) started (PTZ) (camera 1 - alarm reference C1)",
        "Job 0: (camera 1) command (3) failed", "Job 0: (camera 2) command (2) succeed",
        "The PTZ command 'zoom' is not supported yet"})
    EXPECT_NE(output.find(line), std::string::npos) << line;
}

}  // namespace
