// Camera commands of alarm jobs through the whole gateway: the requests the
// simulated cameras receive, when they receive them, the command states in
// the alarm's table (read back with another dbf program, python3-dbf), the
// job's counts and where its file ends.
#include <gtest/gtest.h>

#include "support/jobs_world.h"

namespace {

using jobs_world::IniValue;
using sim_test::RecordedRequest;
using testing_support::Child;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

// Camera model 1 is a "sony" camera, model 2 a "sonyrsm" video server.
constexpr const char* kModels =
    "[Cam1Data]\nCameraFamily=sony\n"
    "GetIOParam=GET /command/io.cgi?pin=<pinnumber>&state=<status> HTTP/1.0\\r\\nAuthorization: "
    "Basic dTpw\\r\\n\\r\\n\n"
    "GetPresetParam=GET /command/preset.cgi?PresetCall=<presetindex> HTTP/1.0\\r\\n\\r\\n\n"
    "[Cam2Data]\nCameraFamily=sonyrsm\n"
    "GetIOParam=GET /rsm/io?box=<servercameraid>&pin=<pinnumber>&state=<status> "
    "HTTP/1.0\\r\\n\\r\\n\n"
    "GetPresetParam=GET /rsm/ptz?cmd=<ptzcommand>&cam=<servercameraid>&preset=<presetindex> "
    "HTTP/1.0\\r\\n\\r\\n\n"
    "GetRecStartParam=GET /rsm/rec/start?cam=<servercameraid> HTTP/1.0\\r\\n\\r\\n\n"
    "GetRecStopParam=GET /rsm/rec/stop?cam=<servercameraid>&handle=<handleid> "
    "HTTP/1.0\\r\\n\\r\\n\n"
    "[sonyrsm]\nGetRecResponseRegExp=<handle>([0-9]+)</handle>\nGetRecHandleIDSubst=\\1\n";

// create PATH N: an alarm table of N command records, all STATUS 0.
// dump PATH: "STATUS TO1 TIME TI1" per record.
// lock PATH RELEASE: holds a lock on the whole table until RELEASE exists.
constexpr const char* kScript = R"PY(
import fcntl, os, sys, time
def create(path, n):
    import dbf
    t = dbf.Table(path, "NAME C(10); STATUS N(3,0); TIME C(6); TO1 N(3,0); TI1 C(6)", dbf_type="db3")
    t.open(dbf.READ_WRITE)
    for i in range(int(n)):
        t.append(("cmd%d" % i, 0, "", 0, ""))
    t.close()
def dump(path):
    import dbf
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    for r in t:
        print("%d %d %s %s" % (r.status, r.to1, r.time.strip() or "-", r.ti1.strip() or "-"))
    t.close()
def lock(path, release):
    with open(path, "r+b") as f:
        fcntl.lockf(f, fcntl.LOCK_EX)
        print("locked", flush=True)
        while not os.path.exists(release):
            time.sleep(0.02)
{"create": create, "dump": dump, "lock": lock}[sys.argv[1]](*sys.argv[2:])
)PY";
constexpr const char* kPython = "/usr/bin/python3";

// The gateway with cameras 1 (model 1) and 2 (model 2, id 7 and IO box 3 in
// its server) on simulated cameras 1 and 2, whose command routes are `routes`.
class CommandsWorld {
 public:
  explicit CommandsWorld(const std::vector<std::string>& routes) {
    std::vector<std::string> args = {"--camera", "id=1,fps=1", "--camera", "id=2,fps=1"};
    args.insert(args.end(), routes.begin(), routes.end());
    sim_ = std::make_unique<sim_test::SimProcess>(args);
    for (const char* d : {"data", "data/log", "data/watch", "data/done", "data/error", "drop"})
      mkdir(box_.path(d).c_str(), 0755);
    WriteFile(box_.IniFile("qxacam.ini"), kModels);
    std::string ini = "[Config]\nLogDirectory=" + Data("log") + "\nWatchPath=" + Data("watch") +
                      "\nDonePath=" + Data("done") + "\nErrorPath=" + Data("error") +
                      "\nFilePath=" + Data("file") + "\n";
    for (int n : {1, 2})
      ini += "[Scenario" + std::to_string(n) + "]\nCameraRef=Cam" + std::to_string(n) +
             "\nCamPort=" + std::to_string(sim_->port(n)) +
             "\nRequestUri=/mjpg\nMJPEGPermanentRecording=0\nWatchDogActive=0\n" +
             "CameraModel=" + std::to_string(n) + "\nCameraIDInServer=7\nIoBoxIDInServer=3\n";
    WriteFile(box_.IniFile("ocelam.ini"), ini);
    python_ok_ = Python({"-c", "import dbf"}).first == 0;
    WriteFile(box_.path("tables.py"), kScript);
    gateway_ = box_.Start();
  }
  ~CommandsWorld() {
    gateway_->Signal(SIGTERM);
    gateway_->WaitExit(10);
  }

  bool Started() { return sim_->ready() && box_.WaitStarted(); }
  bool PythonDbf() const { return python_ok_; }
  sim_test::SimProcess& sim() { return *sim_; }
  bool Running() { return gateway_->running(); }
  std::string Data(const std::string& rel) const { return box_.path("data/" + rel); }
  std::string Table(const std::string& ref) const { return Data("log/" + ref + ".dbf"); }
  std::string Output() const {
    std::string all = box_.Output();
    for (const auto& e : std::filesystem::directory_iterator(box_.path("work/log")))
      all += ReadFile(e.path());
    return all;
  }
  // Every command log of the gateway.
  std::string CommandLogs() const {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(box_.path("work/LOG")))
      all += ReadFile(e.path());
    return all;
  }

  void Drop(const std::string& name, const std::string& content) {
    WriteFile(box_.path("drop/" + name), content);
    std::filesystem::rename(box_.path("drop/" + name), Data("watch/" + name));
  }
  // "done", "error" or "" while the job runs.
  std::string WaitFinished(const std::string& name) const {
    std::string where;
    WaitFor(
        [&] {
          for (const char* d : {"done", "error"})
            for (const auto& e : std::filesystem::directory_iterator(Data(d)))
              if (e.path().filename().string().ends_with("-" + name)) where = d;
          return !where.empty();
        },
        120);
    return where;
  }

  // Runs the script (or python itself with `args`); exit code and output.
  std::pair<int, std::string> Python(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {kPython};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv, box_.path(""), {}, box_.path("python.out"));
    int code = child.WaitExit(60) ? child.exit_code() : -1;
    return {code, ReadFile(box_.path("python.out"))};
  }
  void CreateTable(const std::string& ref, int records) const {
    auto [code, out] = Python({"tables.py", "create", Table(ref), std::to_string(records)});
    EXPECT_EQ(code, 0) << out;
  }
  // STATUS of every record; TO1 must match it and both times be one time.
  std::vector<int> Statuses(const std::string& ref) const {
    auto [code, out] = Python({"tables.py", "dump", Table(ref)});
    EXPECT_EQ(code, 0) << out;
    std::vector<int> statuses;
    std::istringstream lines(out);
    int status = 0, to1 = 0;
    std::string time, ti1;
    while (lines >> status >> to1 >> time >> ti1) {
      statuses.push_back(status);
      EXPECT_EQ(to1, status);
      EXPECT_EQ(ti1, time);
      if (status != 0) {
        EXPECT_TRUE(std::regex_match(time, std::regex("[0-2][0-9][0-5][0-9][0-5][0-9]"))) << time;
      }
    }
    return statuses;
  }
  std::unique_ptr<Child> LockTable(const std::string& ref, const std::string& release) const {
    return std::make_unique<Child>(
        std::vector<std::string>{kPython, "tables.py", "lock", Table(ref), release}, box_.path(""),
        std::vector<std::string>{}, box_.path("lock.out"));
  }
  std::string LockOutput() const { return ReadFile(box_.path("lock.out")); }
  std::string Path(const std::string& rel) const { return box_.path(rel); }

  // The command requests (streams left out) camera `id` received so far.
  std::vector<RecordedRequest> Commands(int id) const {
    std::vector<RecordedRequest> commands;
    for (const RecordedRequest& r : sim_->Requests("camera", id))
      if (r.action != "stream") commands.push_back(r);
    return commands;
  }
  std::vector<RecordedRequest> AwaitCommands(int id, std::size_t count) const {
    std::vector<RecordedRequest> got;
    WaitFor([&] { return (got = Commands(id)).size() >= count; }, 60);
    return got;
  }

 private:
  testing_support::GatewaySandbox box_;
  std::unique_ptr<sim_test::SimProcess> sim_;
  std::unique_ptr<Child> gateway_;
  bool python_ok_ = false;
};

std::string Command(int camera, int command, int entry, const std::string& keys) {
  return "[Camera" + std::to_string(camera) + "Command" + std::to_string(command) +
         "]\nDBEntry=" + std::to_string(entry) + "\n" + keys;
}

// The request of `requests` whose bytes start with "GET `target` ", or null.
const RecordedRequest* Find(const std::vector<RecordedRequest>& requests,
                            const std::string& target) {
  for (const RecordedRequest& r : requests)
    if (r.bytes.rfind("GET " + target + " ", 0) == 0) return &r;
  return nullptr;
}

double Seconds(const RecordedRequest* from, const RecordedRequest* to) {
  return from && to ? static_cast<double>(to->time_us - from->time_us) / 1e6 : -1;
}

TEST(Commands, PulsesPresetAndTimedRecordingReachTheCamerasAndTheTable) {
  CommandsWorld world({"--route", "camera=all,path=*,status=200", "--route",
                       "camera=2,path=/rsm/rec/start,body=<handle>{n}</handle>,counter=77"});
  ASSERT_TRUE(world.Started());
  if (!world.PythonDbf())
    GTEST_SKIP() << "python3 with the dbf module (python3-dbf) is not available";
  world.CreateTable("C1", 6);
  world.Drop(
      "c1.job",
      "[Alarm]\nAlarmRef=C1\nNumberOfCams=2\n[Camera1]\nCameraScenario=1\nType=2\nNbrOfCommands=3\n"
      "[Camera2]\nCameraScenario=2\nType=2\nNbrOfCommands=2\n" +
          Command(1, 1, 0, "TypeCommand=io\nPinNumber=2\nIOStatus=PS2\n") +
          Command(1, 2, 1, "TypeCommand=PTZ\nPTZCommandType=preset\nPresetPositionIndex=5\n") +
          Command(1, 3, 2, "TypeCommand=ptz\nPTZCommandType=zoom\n") +
          Command(2, 1, 3, "TypeCommand=IO\nPinNumber=4\nIOStatus=PR1\n") +
          Command(2, 2, 4, "TypeCommand=rec\nDuration=3\n"));
  ASSERT_EQ(world.WaitFinished("c1.job"), "error") << world.Output();

  std::vector<RecordedRequest> sony = world.Commands(1);
  ASSERT_EQ(sony.size(), 3u);  // the zoom never connects
  const RecordedRequest* on = Find(sony, "/command/io.cgi?pin=2&state=on");
  const RecordedRequest* off = Find(sony, "/command/io.cgi?pin=2&state=off");
  ASSERT_TRUE(on && off && Find(sony, "/command/preset.cgi?PresetCall=5"));
  EXPECT_EQ(
      on->bytes,
      std::string(
          "GET /command/io.cgi?pin=2&state=on HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n") +
          '\0');
  EXPECT_EQ(
      off->bytes,
      std::string(
          "GET /command/io.cgi?pin=2&state=off HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n") +
          '\0');
  EXPECT_GE(Seconds(on, off), 2.0);
  EXPECT_LT(Seconds(on, off), 5.0);

  std::vector<RecordedRequest> rsm = world.Commands(2);
  ASSERT_EQ(rsm.size(), 4u);
  const RecordedRequest* reset = Find(rsm, "/rsm/io?box=3&pin=4&state=0");
  const RecordedRequest* set = Find(rsm, "/rsm/io?box=3&pin=4&state=1");
  const RecordedRequest* start = Find(rsm, "/rsm/rec/start?cam=7");
  const RecordedRequest* stop = Find(rsm, "/rsm/rec/stop?cam=7&handle=77");
  ASSERT_TRUE(reset && set && start && stop);
  EXPECT_EQ(start->bytes, std::string("GET /rsm/rec/start?cam=7 HTTP/1.0\r\n\r\n") + '\0');
  EXPECT_GE(Seconds(reset, set), 1.0);
  EXPECT_LT(Seconds(reset, set), 4.0);
  EXPECT_GE(Seconds(start, stop), 3.0);
  EXPECT_LT(Seconds(start, stop), 6.0);

  EXPECT_EQ(world.Statuses("C1"), (std::vector<int>{8, 8, 3, 8, 8, 0}));
  std::string log = world.Data("log/C1_multimedia.log");
  EXPECT_EQ(IniValue(log, "Camera1", "CommandSuccess"), "2");
  EXPECT_EQ(IniValue(log, "Camera1", "CommandError"), "1");
  EXPECT_EQ(IniValue(log, "Camera2", "CommandSuccess"), "2");
  EXPECT_EQ(IniValue(log, "Camera2", "CommandError"), "0");
  std::string output = world.Output();
  for (const char* line :
       {"Job 0: HTTPCommand thread (1) started (Input Pin) (camera 1 - alarm reference C1)",
        "Job 0: HTTPCommand thread (2) started (Recording) (camera 2 - alarm reference C1)",
        "Job 0: HTTPCommand thread (2) started (PTZ) (camera 1 - alarm reference C1)",
        "Job 0: (camera 1) HTTPCommand thread (3 - ptz) is over",
        "Job 0: (camera 1) command (3) failed", "Job 0: (camera 2) command (2) succeed",
        "The PTZ command 'zoom' is not supported yet"})
    EXPECT_NE(output.find(line), std::string::npos) << line;

  // No table, and a start reply without a handle: the stop says -1, and all
  // went well.
  world.sim().Control("route 2 path=/rsm/rec/start,body=busy");
  world.Drop("c2.job",
             "[Alarm]\nAlarmRef=C2\n[Camera1]\nCameraScenario=2\nType=2\nNbrOfCommands=1\n" +
                 Command(1, 1, 0, "TypeCommand=rec\nDuration=1\n"));
  ASSERT_EQ(world.WaitFinished("c2.job"), "done") << world.Output();
  EXPECT_NE(Find(world.Commands(2), "/rsm/rec/stop?cam=7&handle=-1"), nullptr);
  EXPECT_NE(world.CommandLogs().find(
                "ERROR: unable to execute the regexp '<handle>([0-9]+)</handle>' on 'HTTP/1.0 200"),
            std::string::npos);
  EXPECT_FALSE(testing_support::FileExists(world.Table("C2")));
}

TEST(Commands, GarbageSilenceAndLockedOrBrokenTablesEndEachCommandAndTheGatewayGoesOn) {
  CommandsWorld world(
      {"--route", "camera=1,path=/command/io.cgi,mode=raw,body=\\x00\\xff\\x01garbage", "--route",
       "camera=1,path=/command/preset.cgi,mode=silent", "--route", "camera=2,path=*"});
  ASSERT_TRUE(world.Started());
  if (!world.PythonDbf())
    GTEST_SKIP() << "python3 with the dbf module (python3-dbf) is not available";
  world.CreateTable("B1", 2);
  world.CreateTable("B2", 1);
  WriteFile(world.Table("B3"), "no table at all, garbage");
  std::string release = world.Path("release");
  std::unique_ptr<Child> locker = world.LockTable("B2", release);
  ASSERT_TRUE(WaitFor([&] { return world.LockOutput() == "locked\n"; }, 60)) << world.LockOutput();

  // B1: a garbage reply and a camera that never answers. B2: a table locked
  // by the alarm server. B3: a table that is not one.
  world.Drop("b1.job",
             "[Alarm]\nAlarmRef=B1\n[Camera1]\nCameraScenario=1\nType=2\nNbrOfCommands=2\n" +
                 Command(1, 1, 0, "TypeCommand=io\nIOStatus=S\n") +
                 Command(1, 2, 1, "TypeCommand=ptz\nPTZCommandType=preset\n"));
  world.Drop("b2.job",
             "[Alarm]\nAlarmRef=B2\n[Camera1]\nCameraScenario=2\nType=2\nNbrOfCommands=1\n" +
                 Command(1, 1, 0, "TypeCommand=io\nIOStatus=R\n"));
  world.Drop("b3.job",
             "[Alarm]\nAlarmRef=B3\n[Camera1]\nCameraScenario=2\nType=2\nNbrOfCommands=1\n" +
                 Command(1, 1, 5, "TypeCommand=ptz\nPTZCommandType=preset\n"));

  // The silent camera holds its command: the garbage one has failed, the
  // other is still running.
  ASSERT_EQ(world.AwaitCommands(1, 2).size(), 2u);
  ASSERT_TRUE(WaitFor(
      [&] {
        return world.Statuses("B1") == std::vector<int>{3, 7};
      },
      60))
      << world.Output();
  // The locked table holds up neither the command nor its job.
  EXPECT_NE(world.WaitFinished("b2.job"), "");
  EXPECT_TRUE(locker->running());
  EXPECT_NE(Find(world.Commands(2), "/rsm/io?box=3&pin=0&state=0"), nullptr);
  // The command waits 5 s for its state write and the table engine 5 s for
  // the lock: whichever ends first speaks ("is not yet in entry" or "gave
  // up"), so only the giving up, which always comes, is looked for below.
  EXPECT_EQ(world.Statuses("B2"), std::vector<int>{0});
  // Locked beyond the table engine's wait, each state write gives up with a
  // line naming the table; nothing lands once the table is free.
  const std::string gave_up = "B2.dbf: still locked by another writer after 5 s, gave up";
  auto gave_up_count = [&] {
    std::string output = world.Output();
    int n = 0;
    for (std::size_t at = output.find(gave_up); at != std::string::npos;
         at = output.find(gave_up, at + 1))
      ++n;
    return n;
  };
  EXPECT_TRUE(WaitFor([&] { return gave_up_count() >= 2; }, 60)) << world.Output();
  WriteFile(release, "");
  EXPECT_TRUE(locker->WaitExit(60));
  EXPECT_EQ(world.Statuses("B2"), std::vector<int>{0});

  EXPECT_EQ(world.WaitFinished("b1.job"), "error");
  EXPECT_EQ(world.Statuses("B1"), (std::vector<int>{3, 3}));
  EXPECT_EQ(world.WaitFinished("b3.job"), "done");
  EXPECT_EQ(world.WaitFinished("b2.job"), "done");
  EXPECT_EQ(ReadFile(world.Table("B3")), "no table at all, garbage");
  std::string output = world.Output();
  for (const char* line : {"Job 0: (camera 1) command (1) failed",
                           "Job 0: (camera 1) command (2) failed", "Error: CDatabase::Open"})
    EXPECT_NE(output.find(line), std::string::npos) << line;
  EXPECT_EQ(IniValue(world.Data("log/B1_multimedia.log"), "Camera1", "CommandError"), "2");
  EXPECT_TRUE(world.Running());
}

}  // namespace
