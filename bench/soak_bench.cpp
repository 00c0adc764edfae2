// Soak: the real gateway and the device simulator in a private sandbox for
// many minutes of mixed, partly hostile work, with the gateway's resources
// sampled all along.
//   - N simulated cameras (4 fps, 16 KB frames); every third one misbehaves,
//     its fault changed every 20 s through the simulator's control port in
//     turn: stall past the stall time-out, drop mid-frame, garbage between
//     frames, 401, refused, slow (short stalls re-armed every 4 s). Every
//     tenth camera streams on demand only.
//   - Four video servers sending bursts of alarm-input lines, split lines,
//     binary garbage and over-long lines; their inputs start alarms through
//     "ocelam.bat" (a child process per start).
//   - A job every second over random cameras: images with and without a
//     pre-record, PTZ commands whose camera answers late, with an error,
//     never, or with a reset; now and then a job file of garbage.
//   - Monitoring clients that connect, read slowly (or not at all) and go.
// Every 10 s: RSS, descriptors, threads, child processes and zombies, CPU.
// Every finished job's images are checked: a whole JPEG with one simulator
// frame, of the right camera, sent near the moment the image stands for.
// With --small-disk the images folder is a 20 MB tmpfs that fills, and is
// emptied halfway (root only).
//
// usage: soak_bench OCELAM OCELAM_SIM [--minutes M] [--cameras N] [--small-disk] [--seed S]
#include <string>

namespace {
std::string g_gateway;
std::string g_simulator;
}  // namespace
#define OCELAM_BIN g_gateway
#define OCELAM_SIM_BIN g_simulator
#define OCELAM_EVENT_BIN ""

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

constexpr double kFps = 4;
constexpr int kFrameBytes = 16000;
constexpr double kSampleSeconds = 10;
constexpr double kFaultSeconds = 20;
constexpr double kSlowRearmSeconds = 4;
constexpr int kVideoServers = 4;
constexpr int kMonitorClients = 8;  // at most at once
constexpr double kDrainSeconds = 240;
// The gateway takes a frame within max(Interval, 2 s, 1.5 frame periods) of
// an image's moment; a stalled or slow camera's own rate widens that.
constexpr double kToleranceS = 2.0;
constexpr double kFaultyToleranceS = 16.0;  // 1.5 x the longest gap (10 s stall time-out)
// Our drop moment against the gateway's first sight of the file, and a
// frame's send time against its arrival at the gateway.
constexpr double kSlackS = 1.0;
// A slow camera's frame pauses 3 s in its middle: it was sent that much
// before the gateway could see it begin (its block completes after the pause).
constexpr double kFaultySlackS = kSlackS + 3.0;
constexpr std::int64_t kSmallDiskBytes = 20 << 20;
constexpr std::int64_t kBallastBytes = 17 << 20;

const char* const kFaultNames[] = {"stall", "drop mid-frame", "garbage", "401", "refused", "slow"};
const char* const kFaultKeys[] = {"stall=15000,after=10",      "drop=1,after=8", "garbage=3000",
                                  "status=401,drop=1,after=2", "dead=1",         "stall=3000"};
constexpr int kFaults = 6;
constexpr int kSlow = 5;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct JobCamera {
  int scenario = 0;
  int type = 0;  // 0: images (and maybe commands), 2: commands only
  int duration = 2;
  double interval = 0.5;
  int pre = 0;
  int commands = 0;
  int images() const {
    return type == 2 ? 0
                     : static_cast<int>(static_cast<float>(duration + pre) /
                                        static_cast<float>(interval));
  }
};

struct Job {
  std::string alarm;  // also the file name without ".job"
  long long drop_us = 0;
  double drop_s = 0;  // since the start of the load
  bool garbage = false;
  std::vector<JobCamera> cameras;
  std::string where;  // "done", "error" once finished
  bool checked = false;
  bool removed = false;
  std::string errors;  // error lines of its multimedia log, kept when checked
};

struct ImageFigures {
  long wanted = 0, saved = 0, whole = 0, wrong = 0, wrong_camera = 0, faulty_cam_images = 0;
  std::vector<double> offsets_frames;  // whole images of well-behaved permanent cameras
  std::vector<std::string> problems;   // first few
  void Problem(const std::string& p) {
    if (problems.size() < 8) problems.push_back(p);
  }
};

struct Sample {
  double t = 0;
  long rss_kb = 0;
  long fds = 0;
  long threads = 0;
  long children = 0;
  long zombies = 0;
  std::set<int> zombie_pids;
  long lasting_zombies = 0;  // still zombies one second later
  double cpu_s = 0;
  double cpu_pct = 0;
  double load1 = 0;
  bool alive = true;
};

long StatusValue(const std::string& status, const std::string& key) {
  std::size_t at = status.find("\n" + key + ":");
  if (at == std::string::npos) return -1;
  return std::atol(status.c_str() + at + key.size() + 2);
}

double CpuSeconds(int pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string f;
  for (char c : stat.substr(close + 2)) {
    if (c == ' ') {
      fields.push_back(f);
      f.clear();
    } else {
      f += c;
    }
  }
  if (fields.size() < 13) return 0;
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

int NiceValue(int pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  int field = 0;
  long nice = 0;
  std::size_t pos = close + 2;
  while (pos < stat.size() && field < 16) {  // field 19 of the line is the 17th after ")"
    pos = stat.find(' ', pos) + 1;
    ++field;
  }
  nice = std::atol(stat.c_str() + pos);
  return static_cast<int>(nice);
}

Sample TakeSample(int pid, double t, const Sample* previous) {
  Sample s;
  s.t = t;
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  if (status.empty() || StatusValue(status, "VmRSS") < 0) {
    s.alive = false;
    return s;
  }
  s.rss_kb = StatusValue(status, "VmRSS");
  s.threads = StatusValue(status, "Threads");
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++s.fds;
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
      std::size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 4 > stat.size()) continue;
      char state = stat[close + 2];
      int ppid = std::atoi(stat.c_str() + close + 4);
      if (ppid != pid) continue;
      ++s.children;
      if (state == 'Z') {
        ++s.zombies;
        s.zombie_pids.insert(std::atoi(e->d_name));
      }
    }
    closedir(d);
  }
  // One second later: still there? The gateway reaps its children within
  // a fraction of a second, so a zombie caught in the act is no finding.
  if (!s.zombie_pids.empty()) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int z : s.zombie_pids) {
      std::string stat = ReadFile("/proc/" + std::to_string(z) + "/stat");
      std::size_t close = stat.rfind(')');
      if (close != std::string::npos && close + 4 < stat.size() && stat[close + 2] == 'Z' &&
          std::atoi(stat.c_str() + close + 4) == pid)
        ++s.lasting_zombies;
    }
  }
  s.cpu_s = CpuSeconds(pid);
  if (previous && t > previous->t)
    s.cpu_pct = 100 * (s.cpu_s - previous->cpu_s) / (t - previous->t);
  s.load1 = std::atof(ReadFile("/proc/loadavg").c_str());
  return s;
}

std::size_t Count(const std::string& haystack, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

// A loopback client of the monitor port that reads a little now and then,
// or never.
struct MonitorClient {
  int fd = -1;
  double end = 0;
  double next_read = 0;
  double pause = 0;
  bool reads = true;
};

class Soak {
 public:
  // Parts of the load that can be left out, to tell which one a growth
  // comes from.
  struct Without {
    bool jobs = false, inputs = false, monitors = false, faults = false;
  };
  Soak(int cameras, double minutes, bool small_disk, unsigned seed, Without without)
      : cameras_(cameras),
        minutes_(minutes),
        small_disk_(small_disk),
        rng_(seed),
        without_(without),
        video_servers_(without.inputs ? 0 : kVideoServers) {}

  ~Soak() {
    stop_ = true;
    if (faults_.joinable()) faults_.join();
    if (monitors_.joinable()) monitors_.join();
    if (gateway_ && gateway_->running()) {
      gateway_->Signal(SIGTERM);
      gateway_->WaitExit(30);
    }
    gateway_.reset();
    sim_.reset();
    if (mounted_) umount2(Data("log").c_str(), MNT_DETACH);
  }

  int Run();

 private:
  std::string Data(const std::string& rel) const { return box_.path("data/" + rel); }
  bool Faulty(int id) const { return id % 3 == 0; }
  bool Permanent(int id) const { return id % 10 != 7; }
  std::vector<std::string> SimulatorArgs() const;
  std::string GatewayIni() const;
  void RotateFaults();
  void RunMonitorClients();
  void DropJob(int number, double t);
  void Collect();
  void Check(Job& job);
  void RemoveJobFiles(const Job& job);
  void EmptySmallDisk();
  double FreeBytes() const {
    struct statvfs v {};
    if (statvfs(Data("log").c_str(), &v) != 0) return -1;
    return static_cast<double>(v.f_bavail) * static_cast<double>(v.f_bsize);
  }
  int Phase(double t) const {
    if (full_at_ < 0 || t < full_at_) return 0;
    return emptied_at_ < 0 || t < emptied_at_ ? 1 : 2;
  }
  bool ShouldSucceed(const Job& job) const;
  void Report(const std::vector<Sample>& samples, const Sample& quiet, double load_start,
              double load_end, int exit_code, bool ended, bool died);

  int cameras_;
  double minutes_;
  bool small_disk_;
  std::mt19937 rng_;
  Without without_;
  int video_servers_;
  testing_support::GatewaySandbox box_;
  std::unique_ptr<sim_test::SimProcess> sim_;
  std::unique_ptr<testing_support::Child> gateway_;
  bool mounted_ = false;
  std::atomic<bool> stop_{false};
  std::thread faults_, monitors_;
  double t0_ = 0;
  std::vector<Job> jobs_;
  std::map<std::string, std::size_t> job_index_;
  ImageFigures figures_[3];  // per phase (only 0 without --small-disk)
  std::atomic<long> fault_rounds_{0}, fault_commands_{0}, fault_errors_{0};
  std::atomic<long> monitor_connects_{0}, monitor_failed_{0}, monitor_bytes_{0},
      monitor_closed_by_gateway_{0};
  double full_at_ = -1, emptied_at_ = -1;
  long ballast_removed_ = 0;
};

std::vector<std::string> Soak::SimulatorArgs() const {
  std::vector<std::string> args = {
      "--cameras",
      "count=" + std::to_string(cameras_) + ",first=1,fps=4,size=" + std::to_string(kFrameBytes)};
  // Commands: most answer after 200 ms; some late, some with an error, some
  // never (the gateway's receive time-out), some with a reset.
  args.insert(args.end(), {"--route", "camera=all,path=/command/preset.cgi,status=200,delay=200"});
  for (int id = 1; id <= cameras_; ++id) {
    std::string route;
    switch (id % 10) {
      case 1:
        route = "status=200,delay=3000";
        break;
      case 2:
        route = "status=500,delay=100";
        break;
      case 4:
        route = "mode=silent";
        break;
      case 8:
        route = "mode=reset,delay=500";
        break;
      default:
        continue;
    }
    args.insert(args.end(),
                {"--route", "camera=" + std::to_string(id) + ",path=/command/preset.cgi," + route});
  }
  // Video servers: a burst of input lines (on and off, two pins, one split),
  // binary garbage, a line far over 4096 bytes, heartbeats, pauses.
  for (int v = 1; v <= video_servers_; ++v) {
    std::string keys = "id=" + std::to_string(v) + ",heartbeat=1500,loop=1";
    keys +=
        ",line=\"ioboxid=2 pin=4 state=on type=input\",line=\"ioboxid=2 pin=5 state=on "
        "type=input\"";
    keys +=
        ",line=\"ioboxid=2 pin=4 state=off type=input\",split=\"12:300:ioboxid=2 pin=4 state=on "
        "type=input\\r\\n\"";
    keys += ",send=\"\\x00\\x01\\xff\\xfe\\x1b[2J garbage \\x80\\x81\\r\\n\",wait=" +
            std::to_string(2000 + 700 * v);
    keys += ",send=" + std::string(5000, 'x') + ",line=\"\",line=\"ioboxid=9 pin=x state= type=\"";
    keys += ",wait=" + std::to_string(3000 + 500 * v);
    args.insert(args.end(), {"--videoserver", keys});
  }
  return args;
}

std::string Soak::GatewayIni() const {
  std::string ini = "[Config]\nLogDirectory=" + Data("log") + "\nWatchPath=" + Data("watch") +
                    "\nDonePath=" + Data("done") + "\nErrorPath=" + Data("error") +
                    "\nFilePath=" + Data("file") + "\nFileMask=*.job\n";
  std::map<int, std::string> pin_alarms;
  ini += "[IOBoxCameraMapping]\n";
  for (int v = 1; v <= video_servers_; ++v) {
    int camera = 1 + (v * 37) % cameras_;
    ini += std::to_string(v) + "-2=" + std::to_string(camera) + "\n";
    pin_alarms[camera] = "StartAlrOnPin4=96" + std::to_string(v) + "1\n";
  }
  for (int v = 1; v <= video_servers_; ++v)
    ini += "[VideoServer" + std::to_string(v) + "]\nid=" + std::to_string(v) +
           "\nIPAddress=127.0.0.1\nIPPort=" + std::to_string(sim_->port("videoserver", v)) +
           "\nNbCameraConnected=1\n";
  for (int id = 1; id <= cameras_; ++id)
    ini += "[Scenario" + std::to_string(id) + "]\nCameraRef=Cam" + std::to_string(id) +
           "\nCamServerIPAddress=127.0.0.1\nCamPort=" + std::to_string(sim_->port(id)) +
           "\nRequestUri=/mjpg\nMJPEGPermanentRecording=" + (Permanent(id) ? "1" : "0") +
           "\nWatchDogActive=0\nCameraModel=1\n" + pin_alarms[id];
  return ini;
}

// Every kFaultSeconds the misbehaving cameras move on to the next fault of
// the rotation; slow ones get their short stall re-armed every few seconds.
void Soak::RotateFaults() {
  std::vector<int> faulty;
  for (int id = 1; id <= cameras_; ++id)
    if (Faulty(id)) faulty.push_back(id);
  auto control = [&](const std::string& command) {
    ++fault_commands_;
    std::string reply = sim_->Control(command);
    if (reply.rfind("ok", 0) != 0 && reply.find("\nok") == std::string::npos) ++fault_errors_;
  };
  double next_round = Now(), next_rearm = Now() + kSlowRearmSeconds;
  long round = 0;
  while (!stop_) {
    double now = Now();
    if (now >= next_round) {
      for (std::size_t k = 0; k < faulty.size(); ++k) {
        int fault = static_cast<int>((k + static_cast<std::size_t>(round)) % kFaults);
        control("clear camera " + std::to_string(faulty[k]));
        control("set camera " + std::to_string(faulty[k]) + " " + kFaultKeys[fault]);
      }
      ++round;
      ++fault_rounds_;
      next_round += kFaultSeconds;
    } else if (now >= next_rearm) {
      for (std::size_t k = 0; k < faulty.size(); ++k)
        if (static_cast<int>((k + static_cast<std::size_t>(round - 1)) % kFaults) == kSlow)
          control("set camera " + std::to_string(faulty[k]) + " " + kFaultKeys[kSlow]);
      next_rearm += kSlowRearmSeconds;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (int id : faulty) sim_->Control("clear camera " + std::to_string(id));
}

// Up to kMonitorClients at once, each from its own loopback address: they
// stay 3 to 30 s, reading 256 bytes every 0.1 to 1 s; one in four never
// reads.
void Soak::RunMonitorClients() {
  std::mt19937 rng(12345);
  std::vector<MonitorClient> clients;
  double next_start = Now();
  int address = 0;
  std::vector<char> buf(256);
  while (!stop_) {
    double now = Now();
    if (now >= next_start && static_cast<int>(clients.size()) < kMonitorClients) {
      MonitorClient c;
      c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 2 + (address++ % 40));
      bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
      // A small receive buffer, so a slow reader is slow at the gateway too.
      int size = 4096;
      setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(box_.monitor_port()));
      if (connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        ++monitor_connects_;
        c.end = now + std::uniform_real_distribution<double>(3, 30)(rng);
        c.pause = std::uniform_real_distribution<double>(0.1, 1.0)(rng);
        c.reads = rng() % 4 != 0;
        c.next_read = now + c.pause;
        clients.push_back(c);
      } else {
        ++monitor_failed_;
        close(c.fd);
      }
      next_start = now + std::uniform_real_distribution<double>(0.5, 3)(rng);
    }
    for (auto it = clients.begin(); it != clients.end();) {
      bool gone = false;
      if (it->reads && now >= it->next_read) {
        ssize_t n = recv(it->fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) monitor_bytes_ += n;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ++monitor_closed_by_gateway_;
          gone = true;
        }
        it->next_read = now + it->pause;
      }
      if (gone || now >= it->end) {
        close(it->fd);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (MonitorClient& c : clients) close(c.fd);
}

void Soak::DropJob(int number, double t) {
  Job job;
  char alarm[16];
  std::snprintf(alarm, sizeof alarm, "S%05d", number);
  job.alarm = alarm;
  job.drop_s = t;
  std::string text;
  std::uniform_int_distribution<int> camera(1, cameras_);
  if (number % 50 == 49) {
    // A job file of garbage: refused to ErrorPath, never run.
    job.garbage = true;
    for (int i = 0; i < 300; ++i) text += static_cast<char>(rng_() % 256);
  } else {
    int kind = static_cast<int>(rng_() % 10);
    int count = 1 + static_cast<int>(rng_() % 3);
    for (int i = 0; i < count; ++i) {
      JobCamera c;
      c.scenario = camera(rng_);
      if (kind < 4) {
        c.pre = 0;  // live images only
      } else if (kind < 7) {
        c.pre = 2;  // two seconds from before the alarm
      } else {
        c.type = i == 0 ? 2 : 0;  // commands, and images of the other cameras
        c.commands = i == 0 ? 1 + static_cast<int>(rng_() % 2) : 0;
      }
      job.cameras.push_back(c);
    }
    text = "[Alarm]\nAlarmRef=" + job.alarm + "\nNumberOfCams=" + std::to_string(count) + "\n";
    for (std::size_t i = 0; i < job.cameras.size(); ++i) {
      const JobCamera& c = job.cameras[i];
      std::string n = std::to_string(i + 1);
      text += "[Camera" + n + "]\nCameraScenario=" + std::to_string(c.scenario) +
              "\nType=" + std::to_string(c.type) + "\nDuration=" + std::to_string(c.duration) +
              "\nInterval=0.5\nPreRecordTime=" + std::to_string(c.pre) +
              "\nNbrOfCommands=" + std::to_string(c.commands) + "\n";
      for (int k = 1; k <= c.commands; ++k)
        text += "[Camera" + n + "Command" + std::to_string(k) +
                "]\nDBEntry=" + std::to_string(k - 1) +
                "\nTypeCommand=ptz\nPTZCommandType=preset\nPresetPositionIndex=" +
                std::to_string(k + 2) + "\n";
    }
  }
  WriteFile(Data("drop/" + job.alarm + ".job"), text);
  job.drop_us = sim_test::RealtimeUs();
  fs::rename(Data("drop/" + job.alarm + ".job"), Data("watch/" + job.alarm + ".job"));
  job_index_[job.alarm] = jobs_.size();
  jobs_.push_back(job);
}

// Finds the jobs that reached DonePath or ErrorPath and checks their images.
void Soak::Collect() {
  for (const char* where : {"done", "error"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Data(where), ec)) {
      std::string name = e.path().filename().string();
      if (name.size() < 14 || name[8] != '-' || !name.ends_with(".job")) continue;
      auto it = job_index_.find(name.substr(9, name.size() - 13));
      if (it == job_index_.end()) continue;
      Job& job = jobs_[it->second];
      if (!job.where.empty()) continue;
      job.where = where;
      Check(job);
      if (small_disk_ && emptied_at_ >= 0) RemoveJobFiles(job);
    }
  }
}

void Soak::Check(Job& job) {
  job.checked = true;
  {
    std::string log = ReadFile(Data("log/" + job.alarm + "_multimedia.log"));
    std::size_t pos = 0;
    while (pos < log.size() && job.errors.size() < 300) {
      std::size_t eol = log.find('\n', pos);
      if (eol == std::string::npos) eol = log.size();
      std::string line = log.substr(pos, eol - pos);
      if (line.find("rror") != std::string::npos && line.find("=0") == std::string::npos)
        job.errors += " | " + line;
      pos = eol + 1;
    }
  }
  ImageFigures& f = figures_[Phase(job.drop_s)];
  for (const JobCamera& c : job.cameras) {
    if (c.type == 2) continue;
    const bool faulty = Faulty(c.scenario);
    const double period = 1 / kFps;
    const double tolerance =
        faulty ? kFaultyToleranceS : std::max({kToleranceS, c.interval, 1.5 * period});
    const std::string ref = "Cam" + std::to_string(c.scenario);
    const std::string dir = Data("log/multimedia/" + ref + "/" + job.alarm);
    f.wanted += c.images();
    std::vector<std::pair<int, sim_test::Stamp>> stamps;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      std::string name = e.path().filename().string();
      int index = -1;
      std::string prefix = ref + "_" + job.alarm + "_";
      if (name.rfind(prefix, 0) == 0 && name.ends_with(".jpg"))
        index = std::atoi(name.c_str() + prefix.size());
      if (index < 0 || index >= c.images()) continue;
      ++f.saved;
      if (faulty) ++f.faulty_cam_images;
      std::string bytes = ReadFile(e.path().string());
      sim_test::JpegInfo info;
      sim_test::Stamp stamp;
      std::string problem = sim_test::CheckJpeg(bytes, &info);
      if (problem.empty() && Count(bytes, "ocelam-sim cam=") != 1) problem = "more than one frame";
      if (problem.empty() && !sim_test::ParseStamp(info, &stamp)) problem = "no stamp";
      if (!problem.empty()) {
        f.Problem(name + ": " + problem + " (" + std::to_string(bytes.size()) + " bytes)");
        continue;
      }
      ++f.whole;
      if (stamp.camera != c.scenario) {
        ++f.wrong;
        ++f.wrong_camera;
        f.Problem(name + ": frame of camera " + std::to_string(stamp.camera));
        continue;
      }
      stamps.emplace_back(index, stamp);
    }
    std::sort(stamps.begin(), stamps.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // The moment image i stands for: before the alarm the newest frame at or
    // before it, from the alarm on the oldest at or after it. An on-demand
    // camera's live images count from its first frame of the job's session.
    const bool on_demand = !Permanent(c.scenario);
    double base_s = static_cast<double>(job.drop_us) / 1e6;
    if (on_demand && !stamps.empty())
      base_s = std::max(base_s, static_cast<double>(stamps.front().second.time_us) / 1e6 -
                                    stamps.front().first * c.interval);
    for (const auto& [i, stamp] : stamps) {
      double wanted = on_demand ? base_s + i * c.interval : base_s - c.pre + i * c.interval;
      bool before = !on_demand && i * c.interval < c.pre;
      double offset = static_cast<double>(stamp.time_us) / 1e6 - wanted;
      const double early = faulty ? kFaultySlackS : kSlackS;
      bool right = before ? (offset <= kSlackS && offset >= -tolerance - early)
                          : (offset >= -early && offset <= tolerance + kSlackS);
      if (!right) {
        ++f.wrong;
        char text[256];
        std::snprintf(text, sizeof text,
                      "%s_%s_%05d.jpg: sent %+.2f s from its moment (%s camera, window %.1f s)",
                      ref.c_str(), job.alarm.c_str(), i, offset,
                      faulty ? "misbehaving" : "well-behaved", tolerance);
        f.Problem(text);
      } else if (!faulty && !on_demand) {
        f.offsets_frames.push_back(offset / period);
      }
    }
  }
}

void Soak::RemoveJobFiles(const Job& job) {
  std::error_code ec;
  for (const JobCamera& c : job.cameras)
    fs::remove_all(Data("log/multimedia/Cam" + std::to_string(c.scenario) + "/" + job.alarm), ec);
  for (const char* suffix : {".log", ".msg", "_multimedia.log"})
    fs::remove(Data("log/" + job.alarm + suffix), ec);
}

// Halfway: the ballast goes, and with it every finished job's files.
void Soak::EmptySmallDisk() {
  std::error_code ec;
  ballast_removed_ = static_cast<long>(fs::file_size(Data("log/ballast"), ec));
  fs::remove(Data("log/ballast"), ec);
  for (Job& job : jobs_)
    if (job.checked) RemoveJobFiles(job);
}

int Soak::Run() {
  for (const char* d :
       {"data", "data/log", "data/watch", "data/done", "data/error", "data/file", "data/drop"})
    mkdir(box_.path(d).c_str(), 0755);
  if (small_disk_) {
    if (geteuid() != 0) {
      std::printf("--small-disk: not root, so no tmpfs can be mounted: run without it\n");
      small_disk_ = false;
    } else if (mount("tmpfs", Data("log").c_str(), "tmpfs", 0, "size=20m") != 0) {
      std::printf("--small-disk: mount -t tmpfs failed (%s): run without it\n",
                  std::strerror(errno));
      small_disk_ = false;
    } else {
      mounted_ = true;
    }
  }
  sim_ = std::make_unique<sim_test::SimProcess>(SimulatorArgs());
  if (!sim_->ready()) {
    std::fprintf(stderr, "the simulator did not start: %s\n", sim_->Output().c_str());
    return 1;
  }
  WriteFile(box_.IniFile("ocelam.ini"), GatewayIni());
  WriteFile(
      box_.IniFile("qxacam.ini"),
      "[Cam1Data]\nCameraFamily=sony\n"
      "GetPresetParam=GET /command/preset.cgi?PresetCall=<presetindex> HTTP/1.0\\r\\n\\r\\n\n"
      "[sonyrsm]\nGetAlarmInput=GET /inputs HTTP/1.0\\r\\n\\r\\n\n"
      "AlarmInputRegExp=ioboxid=([0-9]+) pin=([0-9]+) state=([a-z0-9]+) type=([a-z]+)\n"
      "AlarmInputIOBoxIDSubst=\\1\nAlarmInputPinNumberSubst=\\2\n"
      "AlarmInputPinStateSubst=\\3\nAlarmInputPinTypeSubst=\\4\n"
      "AlarmInputPinRawDataSubst=&\nHeartBeatString=heartbeat\nAlarmInputIOValidPinType=input\n");
  const std::string started_file = box_.path("started.txt");
  WriteFile(box_.work() + "/ocelam.bat", "#!/bin/sh\necho \"$*\" >> " + started_file + "\n");
  chmod((box_.work() + "/ocelam.bat").c_str(), 0755);

  std::printf(
      "soak: %d cameras (%d misbehaving in turn, %d on demand), %d video servers, %.0f min%s\n",
      cameras_, cameras_ / 3, cameras_ / 10 + (cameras_ % 10 >= 7), video_servers_, minutes_,
      small_disk_ ? ", images folder on a 20 MB tmpfs" : "");
  std::fflush(stdout);
  gateway_ = box_.Start();
  const int pid = gateway_->pid();
  bool streaming = WaitFor(
      [&] {
        for (int id = 1; id <= cameras_; ++id) {
          if (!Permanent(id)) continue;
          std::string ring = Data("file/Cam" + std::to_string(id) + "/Cam" + std::to_string(id) +
                                  "_mjpegstream.mjpeg");
          if (!testing_support::RingReached(ring, 0)) return false;
        }
        return true;
      },
      120);
  if (!streaming) {
    std::fprintf(stderr,
                 "the gateway did not start streaming every permanent camera within 120 s\n%s\n",
                 box_.Output().substr(0, 4000).c_str());
    return 1;
  }
  if (small_disk_) {
    std::string block(1 << 20, 'b');
    std::FILE* ballast = std::fopen(Data("log/ballast").c_str(), "wb");
    for (std::int64_t n = 0; ballast && n < kBallastBytes; n += 1 << 20)
      std::fwrite(block.data(), 1, block.size(), ballast);
    if (ballast) std::fclose(ballast);
  }

  // A few seconds of history in every ring before the first pre-record.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double load_start = std::atof(ReadFile("/proc/loadavg").c_str());
  t0_ = Now();
  if (without_.jobs || without_.inputs || without_.monitors || without_.faults)
    std::printf("left out:%s%s%s%s\n", without_.jobs ? " jobs" : "",
                without_.inputs ? " video servers" : "",
                without_.monitors ? " monitoring clients" : "", without_.faults ? " faults" : "");
  if (!without_.faults) faults_ = std::thread([this] { RotateFaults(); });
  if (!without_.monitors) monitors_ = std::thread([this] { RunMonitorClients(); });
  std::vector<Sample> samples;
  samples.push_back(TakeSample(pid, 0, nullptr));
  const double end = minutes_ * 60;
  int number = 0;
  double next_job = 0, next_sample = kSampleSeconds;
  bool died = false;
  while (true) {
    double t = Now() - t0_;
    if (t >= end) break;
    if (t >= next_job) {
      if (!without_.jobs) DropJob(++number, t);
      next_job += 1;
    }
    if (t >= next_sample) {
      samples.push_back(TakeSample(pid, t, &samples.back()));
      next_sample += kSampleSeconds;
      if (!samples.back().alive || !gateway_->running()) {
        died = true;
        break;
      }
    }
    Collect();
    if (small_disk_) {
      if (full_at_ < 0 && FreeBytes() < 256 * 1024) full_at_ = t;
      if (emptied_at_ < 0 && t >= end / 2) {
        if (full_at_ < 0) full_at_ = t;  // never filled: "during" is empty
        Collect();
        EmptySmallDisk();
        emptied_at_ = t;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!died) {
    samples.push_back(TakeSample(pid, Now() - t0_, &samples.back()));
  }
  const double load_end = std::atof(ReadFile("/proc/loadavg").c_str());
  stop_ = true;
  if (faults_.joinable()) faults_.join();
  if (monitors_.joinable()) monitors_.join();
  // Every job gets its chance to end.
  double drain_end = Now() + kDrainSeconds;
  while (!died && Now() < drain_end) {
    Collect();
    if (std::all_of(jobs_.begin(), jobs_.end(), [](const Job& j) { return !j.where.empty(); }))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  Collect();
  // Quiet again: no job, no fault, no monitoring client, no on-demand stream. Set against the
  // first sample (streaming, before the load) this shows what the load left
  // behind.
  // (On-demand streams end 20 s after their job's duration.)
  std::this_thread::sleep_for(std::chrono::seconds(30));
  Sample quiet = died ? Sample{} : TakeSample(pid, Now() - t0_, &samples.back());
  bool ended = false;
  int exit_code = -1;
  if (gateway_->running()) {
    gateway_->Signal(SIGTERM);
    ended = gateway_->WaitExit(30);
    exit_code = gateway_->exit_code();
  } else {
    gateway_->WaitExit(1);
    exit_code = gateway_->exit_code();
    died = true;
  }
  Report(samples, quiet, load_start, load_end, exit_code, ended, died);
  return 0;
}

void PrintSample(const char* what, const Sample& s) {
  std::printf(
      "  %-9s t=%5.0f s  RSS %7.1f MB  fds %5ld  threads %5ld  children %3ld  zombies %3ld  CPU "
      "%5.1f %%  load %.2f\n",
      what, s.t, s.rss_kb / 1024.0, s.fds, s.threads, s.children, s.zombies, s.cpu_pct, s.load1);
}

// A job on well-behaved cameras only, whose commands get a 200 (late or
// not), and written before the small disk filled.
bool Soak::ShouldSucceed(const Job& job) const {
  if (job.garbage || (small_disk_ && Phase(job.drop_s) == 1)) return false;
  for (const JobCamera& c : job.cameras) {
    if (Faulty(c.scenario)) return false;
    int kind = c.scenario % 10;
    if (c.commands > 0 && (kind == 2 || kind == 4 || kind == 8)) return false;
  }
  return true;
}

void Soak::Report(const std::vector<Sample>& samples, const Sample& quiet, double load_start,
                  double load_end, int exit_code, bool ended, bool died) {
  std::printf("\nsamples of the gateway every %.0f s (%zu taken):\n", kSampleSeconds,
              samples.size());
  const Sample& first = samples.front();
  const Sample* at_minute = &samples.front();
  for (const Sample& s : samples)
    if (s.t <= 60 + 1) at_minute = &s;
  const Sample& last = samples.back();
  PrintSample("first", first);
  PrintSample("at 1 min", *at_minute);
  PrintSample("last", last);
  if (quiet.alive && quiet.rss_kb > 0) PrintSample("quiet", quiet);
  auto largest = [&](auto member) {
    return *std::max_element(samples.begin(), samples.end(), [&](const Sample& a, const Sample& b) {
      return a.*member < b.*member;
    });
  };
  std::printf("  RSS by minute (MB):");
  for (const Sample& s : samples)
    if (std::fmod(s.t + 1, 60) < 2 || &s == &samples.back())
      std::printf(" %.0fs:%.1f", s.t, s.rss_kb / 1024.0);
  std::printf("\n");
  const Sample rss = largest(&Sample::rss_kb), fds = largest(&Sample::fds),
               threads = largest(&Sample::threads), children = largest(&Sample::children),
               zombies = largest(&Sample::zombies), cpu = largest(&Sample::cpu_pct);
  std::printf(
      "  largest:  RSS %.1f MB (t=%.0f s), fds %ld (t=%.0f s), threads %ld (t=%.0f s), children "
      "%ld (t=%.0f s),"
      " zombies %ld (t=%.0f s), CPU %.1f %% (t=%.0f s)\n",
      rss.rss_kb / 1024.0, rss.t, fds.fds, fds.t, threads.threads, threads.t, children.children,
      children.t, zombies.zombies, zombies.t, cpu.cpu_pct, cpu.t);
  double mean_load = 0;
  for (const Sample& s : samples) mean_load += s.load1;
  mean_load /= static_cast<double>(samples.size());
  std::printf(
      "  gateway CPU over the run %.1f s (%.1f %% of one core); nice %d; load average (1 min) at "
      "start %.2f,"
      " at end %.2f, mean of the samples %.2f\n",
      last.cpu_s - first.cpu_s, last.t > 0 ? 100 * (last.cpu_s - first.cpu_s) / last.t : 0.0,
      NiceValue(gateway_->pid()), load_start, load_end, mean_load);
  // A zombie seen in two samples in a row was not reaped for 10 s.
  long lasting = 0;
  for (std::size_t i = 1; i < samples.size(); ++i)
    for (int z : samples[i].zombie_pids) lasting += samples[i - 1].zombie_pids.count(z);

  long dropped = static_cast<long>(jobs_.size()), garbage = 0, done = 0, error = 0;
  for (const Job& j : jobs_) {
    garbage += j.garbage;
    done += j.where == "done";
    error += j.where == "error";
  }
  long processing = 0, waiting = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Data("watch/processing"), ec))
    processing += e.path().extension() == ".job";
  for (const auto& e : fs::directory_iterator(Data("watch"), ec))
    waiting += e.path().extension() == ".job";
  long missing = dropped - done - error - processing - waiting;
  std::printf(
      "\njobs: dropped %ld (%ld of them garbage files); in DonePath %ld, in ErrorPath %ld, "
      "processing %ld,"
      " still in WatchPath %ld, unaccounted %ld\n",
      dropped, garbage, done, error, processing, waiting, missing);
  long should = 0, should_failed = 0;
  std::vector<std::string> failed_names;
  for (const Job& j : jobs_) {
    if (!ShouldSucceed(j)) continue;
    ++should;
    if (j.where != "done") {
      ++should_failed;
      if (failed_names.size() < 5)
        failed_names.push_back("\n    " + j.alarm + (j.where.empty() ? " (unfinished)" : "") +
                               j.errors.substr(0, 300));
    }
  }
  std::printf(
      "  jobs on well-behaved cameras with commands answered 200: %ld, of them not in DonePath %ld",
      should, should_failed);
  for (const std::string& n : failed_names) std::printf(" %s", n.c_str());
  std::printf("\n");
  ImageFigures all;
  for (const ImageFigures& f : figures_) {
    all.wanted += f.wanted;
    all.saved += f.saved;
    all.whole += f.whole;
    all.wrong += f.wrong;
    all.wrong_camera += f.wrong_camera;
    all.faulty_cam_images += f.faulty_cam_images;
    all.offsets_frames.insert(all.offsets_frames.end(), f.offsets_frames.begin(),
                              f.offsets_frames.end());
    for (const std::string& p : f.problems) all.Problem(p);
  }
  std::printf(
      "images: wanted %ld, saved %ld (%ld of misbehaving cameras), decode as JPEG with one stamped "
      "frame %ld,"
      " torn %ld; not the frame they should be %ld (wrong camera %ld)\n",
      all.wanted, all.saved, all.faulty_cam_images, all.whole, all.saved - all.whole, all.wrong,
      all.wrong_camera);
  if (!all.offsets_frames.empty()) {
    std::vector<double> abs_offsets;
    for (double o : all.offsets_frames) abs_offsets.push_back(std::fabs(o));
    std::sort(abs_offsets.begin(), abs_offsets.end());
    long over_one =
        std::count_if(abs_offsets.begin(), abs_offsets.end(), [](double o) { return o > 1; });
    std::printf(
        "  well-behaved permanent cameras: send time - wanted moment, in frames (%.0f ms): "
        "|median| %.1f,"
        " 95th %.1f, max %.1f; more than one frame off %ld of %zu\n",
        1000 / kFps, abs_offsets[abs_offsets.size() / 2],
        abs_offsets[abs_offsets.size() * 95 / 100], abs_offsets.back(), over_one,
        abs_offsets.size());
  }
  for (const std::string& p : all.problems) std::printf("  problem: %s\n", p.c_str());
  long starts = static_cast<long>(Count(ReadFile(box_.path("started.txt")), "\n"));
  std::printf("alarm inputs: %ld alarm starts through ocelam.bat\n", starts);
  std::printf("faults: %ld rounds of %d misbehaving cameras, %ld control commands (%ld not ok)\n",
              fault_rounds_.load(), cameras_ / 3, fault_commands_.load(), fault_errors_.load());
  std::printf(
      "monitor clients: %ld connected, %ld could not connect, %ld closed by the gateway, %.1f MB "
      "read\n",
      monitor_connects_.load(), monitor_failed_.load(), monitor_closed_by_gateway_.load(),
      static_cast<double>(monitor_bytes_.load()) / 1e6);

  if (small_disk_) {
    const char* names[] = {"before the disk was full", "while it was full", "after it was emptied"};
    std::printf(
        "\nsmall disk: full at t=%.0f s, emptied at t=%.0f s (ballast of %.1f MB and the checked "
        "jobs' files"
        " removed; from then on each job's files once checked)\n",
        full_at_, emptied_at_, ballast_removed_ / 1048576.0);
    for (int p = 0; p < 3; ++p) {
      long n = 0, d = 0, e = 0;
      for (const Job& j : jobs_) {
        if (Phase(j.drop_s) != p) continue;
        ++n;
        d += j.where == "done";
        e += j.where == "error";
      }
      const ImageFigures& f = figures_[p];
      std::printf(
          "  jobs dropped %-26s %4ld: done %4ld, error %4ld; images wanted %5ld, saved %5ld, whole "
          "%5ld\n",
          names[p], n, d, e, f.wanted, f.saved, f.whole);
    }
    // What the gateway said about the full disk.
    std::string out = box_.Output();
    std::error_code ec2;
    for (const auto& e : fs::directory_iterator(box_.path("work/log"), ec2))
      out += ReadFile(e.path().string());
    std::map<std::string, int> kinds;
    std::vector<std::string> examples;
    std::size_t pos = 0;
    long lines = 0;
    while (pos < out.size()) {
      std::size_t eol = out.find('\n', pos);
      if (eol == std::string::npos) eol = out.size();
      std::string line = out.substr(pos, eol - pos);
      pos = eol + 1;
      if (line.find(Data("log")) == std::string::npos || line.find("rror") == std::string::npos)
        continue;
      ++lines;
      std::string kind;
      for (char ch : line) kind += (ch >= '0' && ch <= '9') ? '#' : ch;
      kind = kind.substr(0, 60);
      if (kinds[kind]++ == 0 && examples.size() < 4) examples.push_back(line.substr(0, 220));
    }
    std::printf(
        "  lines of the console and the daily interface log with an error naming the images "
        "folder: %ld;"
        " for example:\n",
        lines);
    for (const std::string& e : examples) std::printf("    %s\n", e.c_str());
  }

  auto growth = [&](long Sample::*m) {
    double a = static_cast<double>(at_minute->*m), b = static_cast<double>(last.*m);
    return a > 0 ? 100 * (b - a) / a : 0.0;
  };
  auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  double g_rss = growth(&Sample::rss_kb), g_fds = growth(&Sample::fds),
         g_threads = growth(&Sample::threads);
  std::printf("\ntargets:\n");
  std::printf("  RSS flat after the first minute (growth < 2 %%): %.1f -> %.1f MB, %+.1f %%: %s\n",
              at_minute->rss_kb / 1024.0, last.rss_kb / 1024.0, g_rss, verdict(g_rss < 2));
  std::printf(
      "  descriptors flat after the first minute (growth < 2 %%): %ld -> %ld, %+.1f %%: %s\n",
      at_minute->fds, last.fds, g_fds, verdict(g_fds < 2));
  std::printf("  threads flat after the first minute (growth < 2 %%): %ld -> %ld, %+.1f %%: %s\n",
              at_minute->threads, last.threads, g_threads, verdict(g_threads < 2));
  if (quiet.alive && quiet.rss_kb > 0)
    std::printf(
        "  (quiet after the drain against the first sample, before the load: RSS %+.1f MB, fds "
        "%+ld,"
        " threads %+ld)\n",
        (quiet.rss_kb - first.rss_kb) / 1024.0, quiet.fds - first.fds,
        quiet.threads - first.threads);
  long lasting_1s = 0;
  for (const Sample& s : samples) lasting_1s += s.lasting_zombies;
  std::printf(
      "  no zombie: caught in a sample %ld (largest in one sample %ld); still a zombie 1 s later "
      "%ld, in two"
      " samples in a row %ld: %s\n",
      static_cast<long>(std::count_if(samples.begin(), samples.end(),
                                      [](const Sample& s) { return s.zombies > 0; })),
      zombies.zombies, lasting_1s, lasting, verdict(lasting_1s == 0 && lasting == 0));
  std::printf(
      "  every job accounted for (done + error = dropped, after the drain): %ld + %ld of %ld: %s\n",
      done, error, dropped, verdict(done + error == dropped));
  std::printf("  every saved image whole: %ld of %ld: %s\n", all.whole, all.saved,
              verdict(all.whole == all.saved));
  std::printf("  every saved image the right frame: %ld wrong: %s\n", all.wrong,
              verdict(all.wrong == 0));
  std::printf("  gateway alive throughout and ended on SIGTERM: %s (exit code %d): %s\n",
              died    ? "died during the run"
              : ended ? "yes"
                      : "did not end within 30 s",
              exit_code, verdict(!died && ended && exit_code == 0));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: %s OCELAM OCELAM_SIM [--minutes M] [--cameras N] [--small-disk] [--seed S]\n"
        "       [--without jobs|inputs|monitors|faults]...\n",
        argv[0]);
    return 2;
  }
  g_gateway = fs::absolute(argv[1]).string();
  g_simulator = fs::absolute(argv[2]).string();
  double minutes = 10;
  int cameras = 159;
  bool small_disk = false;
  unsigned seed = 1;
  Soak::Without without;
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--minutes" && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else if (a == "--cameras" && i + 1 < argc) {
      cameras = std::atoi(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::atol(argv[++i]));
    } else if (a == "--small-disk") {
      small_disk = true;
    } else if (a == "--without" && i + 1 < argc) {
      std::string part = argv[++i];
      if (part == "jobs")
        without.jobs = true;
      else if (part == "inputs")
        without.inputs = true;
      else if (part == "monitors")
        without.monitors = true;
      else if (part == "faults")
        without.faults = true;
      else {
        std::fprintf(stderr, "soak_bench: --without takes jobs, inputs, monitors or faults\n");
        return 2;
      }
    } else {
      std::fprintf(stderr, "soak_bench: unknown argument '%s'\n", a.c_str());
      return 2;
    }
  }
  if (minutes <= 0 || minutes > 600 || cameras < 3 || cameras > 159) {
    std::fprintf(stderr,
                 "soak_bench: --minutes must be above 0 (at most 600), --cameras 3 to 159\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Soak soak(cameras, minutes, small_disk, seed, without);
  return soak.Run();
}
