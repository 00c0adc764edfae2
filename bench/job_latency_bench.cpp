// How fast an alarm job gets going: the real gateway and a simulated
// permanent camera in a private sandbox, 50 jobs dropped one at a time, each
// of one camera with "Duration" 0. Measured from the moment a job file
// appears in the watch directory to its first image complete on disk, and to
// the job file's arrival in the done directory. Then a burst: 20 job files
// dropped at once, measured to the last job's first image on disk.
//
// Usage: job_latency_bench OCELAM OCELAM_SIM [JOBS]
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"

namespace {

constexpr int kDefaultJobs = 50;
constexpr int kCameraFps = 25;
constexpr int kFrameBytes = 20000;
constexpr double kTargetMedianMs = 250;
constexpr int kBurstJobs = 20;
constexpr double kTargetBurstMs = 1000;
constexpr auto kPoll = std::chrono::microseconds(500);
constexpr auto kJobDeadline = std::chrono::seconds(30);

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Starts a program with its output in `output`; the process id.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::vector<std::string>& env, const std::string& output) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::seconds limit) {
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(kPoll);
  }
  return condition();
}

// A JPEG that has been written to its end.
bool CompleteJpeg(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || st.st_size < 4) return false;
  std::string data = ReadFile(path);
  return data.size() >= 4 && static_cast<unsigned char>(data[data.size() - 2]) == 0xFF &&
         static_cast<unsigned char>(data[data.size() - 1]) == 0xD9;
}

bool FinishedIn(const std::string& dir, const std::string& name) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string n = e.path().filename().string();
    if (n.size() == name.size() + 9 && n.compare(9, std::string::npos, name) == 0) return true;
  }
  return false;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[at];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OCELAM OCELAM_SIM [JOBS]\n", argv[0]);
    return 2;
  }
  std::string gateway = std::filesystem::absolute(argv[1]).string();
  std::string simulator = std::filesystem::absolute(argv[2]).string();
  int jobs = argc > 3 ? std::atoi(argv[3]) : kDefaultJobs;
  if (jobs < 1) jobs = kDefaultJobs;

  char tmpl[] = "/tmp/ocelam_bench_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  for (const char* d : {"ini", "run", "work", "work/log", "work/LOG", "data", "data/log",
                        "data/watch", "data/done", "data/error", "data/file", "drop"})
    mkdir((root + "/" + d).c_str(), 0755);

  pid_t sim =
      Spawn({simulator, "--camera",
             "id=1,fps=" + std::to_string(kCameraFps) + ",size=" + std::to_string(kFrameBytes)},
            root, {}, root + "/sim.out");
  int port = 0;
  WaitUntil([&] { return ReadFile(root + "/sim.out").find("\nready\n") != std::string::npos; },
            std::chrono::seconds(30));
  std::sscanf(ReadFile(root + "/sim.out").c_str(), "camera 1 port %d", &port);
  if (port <= 0) {
    std::fprintf(stderr, "the simulator did not start\n");
    Stop(sim);
    return 1;
  }

  std::string data = root + "/data";
  WriteFile(root + "/registry.ini",
            "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + root + "/ini\n");
  WriteFile(root + "/ini/ocelam.ini",
            "[Config]\nLogDirectory=" + data + "/log\nWatchPath=" + data + "/watch\nDonePath=" +
                data + "/done\nErrorPath=" + data + "/error\nFilePath=" + data +
                "/file\nFileMask=*.job\n"
                "[Scenario1]\nCameraRef=Cam1\nCamServerIPAddress=127.0.0.1\nCamPort=" +
                std::to_string(port) +
                "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\nWatchDogActive=0\n");
  pid_t gw = Spawn({gateway}, root + "/work",
                   {"OCELAM_REGISTRY=" + root + "/registry.ini", "OCELAM_RUNDIR=" + root + "/run"},
                   root + "/ocelam.out");
  // The camera has been streaming a while (a few MB in its ring file).
  bool streaming = WaitUntil(
      [&] {
        return testing_support::RingReached(data + "/file/Cam1/Cam1_mjpegstream.mjpeg",
                                            2 * 1000 * 1000);
      },
      std::chrono::seconds(60));
  if (!streaming) {
    std::fprintf(stderr, "the gateway did not start streaming; see %s/ocelam.out\n", root.c_str());
    Stop(gw);
    Stop(sim);
    return 1;
  }

  std::vector<double> to_image, to_done;
  for (int k = 0; k < jobs; ++k) {
    char alarm_text[16], name_text[32];
    std::snprintf(alarm_text, sizeof alarm_text, "B%d", k);
    std::snprintf(name_text, sizeof name_text, "bench%d.job", k);
    std::string alarm = alarm_text, name = name_text;
    std::string staged = root + "/drop/" + name;
    WriteFile(staged, "[Alarm]\nAlarmRef=" + alarm +
                          "\nNumberOfCams=1\n[Camera1]\nCameraScenario=1\nType=0\nDuration=0\n"
                          "Interval=0.1\nPreRecordTime=0\n");
    std::string image = data + "/log/multimedia/Cam1/" + alarm + "/Cam1_" + alarm + "_00000.jpg";
    auto start = Clock::now();
    std::filesystem::rename(staged, data + "/watch/" + name);
    if (!WaitUntil([&] { return CompleteJpeg(image); },
                   std::chrono::duration_cast<std::chrono::seconds>(kJobDeadline))) {
      std::fprintf(stderr, "job %d: no image within 30 s; see %s/ocelam.out\n", k, root.c_str());
      break;
    }
    auto imaged = Clock::now();
    if (!WaitUntil(
            [&] { return FinishedIn(data + "/done", name) || FinishedIn(data + "/error", name); },
            std::chrono::duration_cast<std::chrono::seconds>(kJobDeadline))) {
      std::fprintf(stderr, "job %d: not finished within 30 s\n", k);
      break;
    }
    auto done = Clock::now();
    to_image.push_back(std::chrono::duration<double, std::milli>(imaged - start).count());
    to_done.push_back(std::chrono::duration<double, std::milli>(done - start).count());
  }
  // A burst, as an alarm server drops the jobs of one alarm on many cameras.
  double burst_ms = -1;
  if (!to_image.empty()) {
    std::vector<std::string> images;
    for (int k = 0; k < kBurstJobs; ++k) {
      std::string alarm = "S" + std::to_string(k), name = "burst" + std::to_string(k) + ".job";
      WriteFile(root + "/drop/" + name,
                "[Alarm]\nAlarmRef=" + alarm +
                    "\nNumberOfCams=1\n[Camera1]\nCameraScenario=1\nType=0\n"
                    "Duration=0\nInterval=0.1\nPreRecordTime=0\n");
      images.push_back(data + "/log/multimedia/Cam1/" + alarm + "/Cam1_" + alarm + "_00000.jpg");
    }
    auto start = Clock::now();
    for (int k = 0; k < kBurstJobs; ++k) {
      std::string name = "burst" + std::to_string(k) + ".job";
      std::filesystem::rename(root + "/drop/" + name, data + "/watch/" + name);
    }
    bool all = WaitUntil(
        [&] {
          return std::all_of(images.begin(), images.end(),
                             [](const std::string& i) { return CompleteJpeg(i); });
        },
        std::chrono::duration_cast<std::chrono::seconds>(kJobDeadline));
    if (all)
      burst_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    else
      std::fprintf(stderr, "burst: not every job had its first image within 30 s\n");
  }
  Stop(gw);
  Stop(sim);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (to_image.empty()) return 1;

  std::printf(
      "job latency: %zu jobs, one camera each (%d fps, %d-byte frames), Duration 0, Interval 0.1\n",
      to_image.size(), kCameraFps, kFrameBytes);
  std::printf(
      "  job file in watch dir -> first image on disk: median %.1f ms, p95 %.1f ms (target: median "
      "<= %.0f ms)\n",
      Percentile(to_image, 0.5), Percentile(to_image, 0.95), kTargetMedianMs);
  std::printf("  job file in watch dir -> job file in done dir: median %.1f ms, p95 %.1f ms\n",
              Percentile(to_done, 0.5), Percentile(to_done, 0.95));
  std::printf("  target %s\n", Percentile(to_image, 0.5) <= kTargetMedianMs ? "met" : "missed");
  if (burst_ms >= 0)
    std::printf(
        "burst: %d job files at once -> the last job's first image on disk: %.1f ms (target: < "
        "%.0f ms, %s)\n",
        kBurstJobs, burst_ms, kTargetBurstMs, burst_ms < kTargetBurstMs ? "met" : "missed");
  return burst_ms >= 0 ? 0 : 1;
}
