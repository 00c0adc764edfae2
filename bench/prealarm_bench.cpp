// Which frames fill the images from before and around an alarm: the real
// gateway and the device simulator in a private sandbox, every saved image's
// stamp (the simulator's send time) set against the time it was asked for.
//   a. 20 jobs dropped at the same instant on one camera (10 fps, then
//      25 fps), each PreRecordTime 2, Interval 0.5, Duration 2: eight images
//      2.0, 1.5, 1.0, 0.5 s before the alarm and 0, 0.5, 1.0, 1.5 s after.
//   b. A pre-record reaching past one lap of the stream ring (large frames
//      at 25 fps, PreRecordTime 10, Interval 1, Duration 2).
//   c. The same job on a camera whose frames carry EXIF thumbnails and on
//      one whose part headers carry no Content-Length.
// Prints figures only; the alarm moment is taken just before the job files
// are renamed into the watch directory.
//
// Usage: prealarm_bench OCELAM OCELAM_SIM
#include <string>

namespace {
// The sandbox and simulator helpers of the tests name the programs with
// these; here they come from the command line.
std::string g_gateway;
std::string g_simulator;
}  // namespace
#define OCELAM_BIN g_gateway
#define OCELAM_SIM_BIN g_simulator
#define OCELAM_EVENT_BIN ""

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

namespace {

using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

constexpr int kJobsAtOnce = 20;
constexpr double kRingBytes = 50'000'000;
constexpr double kRingFillSeconds = 9;  // part a: the rings hold more than the 2 s asked for
constexpr double kPastLapSeconds = 12;  // part b: longer than the pre-record of 10 s
constexpr double kStartDeadline = 60;
constexpr double kJobDeadline = 120;

struct Camera {
  int scenario;     // gateway camera number, also the simulator's camera id
  std::string ref;  // CameraRef
  double fps;
  std::size_t size;   // frame bytes
  std::string extra;  // more simulator keys
  double period_us() const { return 1e6 / fps; }
  std::string shown_extra() const { return extra.empty() ? "" : " " + extra.substr(1); }
};

struct JobShape {
  int pre_record;   // s
  double interval;  // s
  int duration;     // s
  int images() const { return static_cast<int>((duration + pre_record) / interval); }
  // Image i is wanted at A - PreRecordTime + i x Interval: the pre-recorded
  // ones before the alarm, the live ones from the alarm on.
  double wanted_offset_s(int i) const { return -pre_record + i * interval; }
};

// One saved (or missing) image of one job.
struct Image {
  bool exists = false;
  bool whole = false;  // a valid JPEG holding exactly one stamped frame
  std::string problem;
  sim_test::Stamp stamp;
  double offset_frames = 0;  // send time minus wanted time, in frame periods
};

struct JobResult {
  std::string alarm;
  std::vector<Image> images;
  int file_success = -1, file_error = -1, image_count = -1;
  bool finished = false;
};

std::size_t Count(const std::string& haystack, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

// `key` of `[section]` in a profile file the gateway wrote, or -1.
int ProfileInt(const std::string& file, const std::string& section, const std::string& key) {
  std::string text = ReadFile(file);
  std::size_t at = text.find("[" + section + "]");
  if (at == std::string::npos) return -1;
  std::size_t end = text.find("\n[", at);
  std::size_t k = text.find("\n" + key + "=", at);
  if (k == std::string::npos || (end != std::string::npos && k > end)) return -1;
  return std::atoi(text.c_str() + k + key.size() + 2);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

class World {
 public:
  explicit World(const std::vector<Camera>& cameras) : cameras_(cameras) {
    std::vector<std::string> args;
    for (const Camera& c : cameras)
      args.insert(args.end(),
                  {"--camera", "id=" + std::to_string(c.scenario) + ",fps=" + Fixed(c.fps) +
                                   ",size=" + std::to_string(c.size) + c.extra});
    sim_ = std::make_unique<sim_test::SimProcess>(args);
    for (const char* d : {"data", "data/log", "data/watch", "data/done", "data/error", "data/file"})
      mkdir(box_.path(d).c_str(), 0755);
    std::string ini = "[Config]\nLogDirectory=" + Data("log") + "\nWatchPath=" + Data("watch") +
                      "\nDonePath=" + Data("done") + "\nErrorPath=" + Data("error") +
                      "\nFilePath=" + Data("file") + "\nFileMask=*.job\n";
    for (const Camera& c : cameras)
      ini += "[Scenario" + std::to_string(c.scenario) + "]\nCameraRef=" + c.ref +
             "\nCamServerIPAddress=127.0.0.1\nCamPort=" + std::to_string(sim_->port(c.scenario)) +
             "\nRequestUri=/mjpg\nMJPEGPermanentRecording=1\nWatchDogActive=0\n";
    WriteFile(box_.IniFile("ocelam.ini"), ini);
  }
  ~World() {
    if (gateway_) {
      gateway_->Signal(SIGTERM);
      gateway_->WaitExit(20);
    }
  }

  // Starts the gateway and waits until every camera's ring file is being
  // written; false (with a line on stderr) when that does not happen.
  bool Start() {
    if (!sim_->ready()) {
      std::fprintf(stderr, "the simulator did not start: %s\n", sim_->Output().c_str());
      return false;
    }
    gateway_ = box_.Start();
    bool streaming = WaitFor(
        [&] {
          for (const Camera& c : cameras_) {
            std::string ring = Data("file/" + c.ref + "/" + c.ref + "_mjpegstream.mjpeg");
            if (!testing_support::RingReached(ring, 0)) return false;
          }
          return true;
        },
        kStartDeadline);
    if (!streaming)
      std::fprintf(stderr, "the gateway did not start streaming:\n%s\n", box_.Output().c_str());
    return streaming;
  }

  // Writes one job file per (camera, alarm) under a name the mask does not
  // take, then renames them all into the watch directory back to back. The
  // wall-clock alarm moment (microseconds) is taken just before the renames.
  long long DropAtOnce(const std::vector<std::pair<const Camera*, std::string>>& jobs,
                       const JobShape& shape) {
    for (const auto& [camera, alarm] : jobs) {
      char text[512];
      std::snprintf(text, sizeof text,
                    "[Alarm]\nAlarmRef=%s\nNumberOfCams=1\n[Camera1]\nCameraScenario=%d\nType=0\n"
                    "Duration=%d\nInterval=%.2f\nPreRecordTime=%d\n",
                    alarm.c_str(), camera->scenario, shape.duration, shape.interval,
                    shape.pre_record);
      WriteFile(Data("watch/" + alarm + ".part"), text);
    }
    long long alarm_us = sim_test::RealtimeUs();
    for (const auto& [camera, alarm] : jobs)
      std::filesystem::rename(Data("watch/" + alarm + ".part"), Data("watch/" + alarm + ".job"));
    return alarm_us;
  }

  // Drops the jobs at once and waits until every one has finished; the
  // alarm moment.
  long long DropAndWait(const std::vector<std::pair<const Camera*, std::string>>& jobs,
                        const JobShape& shape) {
    const long long alarm_us = DropAtOnce(jobs, shape);
    WaitFor(
        [&] {
          for (const auto& job : jobs)
            if (!Finished(job.second)) return false;
          return true;
        },
        kJobDeadline);
    return alarm_us;
  }

  bool Finished(const std::string& alarm) const {
    const std::string name = "-" + alarm + ".job";
    for (const char* where : {"done", "error"}) {
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(Data(where), ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > name.size() && n.compare(n.size() - name.size(), name.size(), name) == 0)
          return true;
      }
    }
    return false;
  }

  JobResult Collect(const Camera& c, const std::string& alarm, const JobShape& shape,
                    long long alarm_us) const {
    JobResult r;
    r.alarm = alarm;
    r.finished = Finished(alarm);
    const std::string dir = Data("log/multimedia/" + c.ref + "/" + alarm);
    for (int i = 0; i < shape.images(); ++i) {
      char name[256];
      std::snprintf(name, sizeof name, "%s_%s_%05d.jpg", c.ref.c_str(), alarm.c_str(), i);
      Image image;
      std::string path = dir + "/" + name;
      image.exists = testing_support::FileExists(path);
      if (image.exists) {
        std::string bytes = ReadFile(path);
        sim_test::JpegInfo info;
        image.problem = sim_test::CheckJpeg(bytes, &info);
        if (image.problem.empty() && Count(bytes, "ocelam-sim cam=") != 1)
          image.problem = "more than one frame";
        if (image.problem.empty() && !sim_test::ParseStamp(info, &image.stamp))
          image.problem = "no stamp";
        if (!image.problem.empty())
          image.problem += " (" + std::to_string(bytes.size()) + " bytes)";
        image.whole = image.problem.empty();
        if (image.whole) {
          double wanted_us = static_cast<double>(alarm_us) + shape.wanted_offset_s(i) * 1e6;
          image.offset_frames =
              (static_cast<double>(image.stamp.time_us) - wanted_us) / c.period_us();
        }
      }
      r.images.push_back(image);
    }
    r.file_success = ProfileInt(Data("log/" + alarm + "_multimedia.log"), "Camera1", "FileSuccess");
    r.file_error = ProfileInt(Data("log/" + alarm + "_multimedia.log"), "Camera1", "FileError");
    r.image_count = ProfileInt(Data("log/" + alarm + ".msg"), "camera1", "ImageCount");
    return r;
  }

  std::string Data(const std::string& rel) const { return box_.path("data/" + rel); }

  static std::string Fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
  }

 private:
  testing_support::GatewaySandbox box_;
  std::vector<Camera> cameras_;
  std::unique_ptr<sim_test::SimProcess> sim_;
  std::unique_ptr<testing_support::Child> gateway_;
};

// Figures of a group of jobs on one camera, for the closing summary.
struct Figures {
  std::string what;
  int images = 0, saved = 0, whole = 0, torn = 0, off = 0, counted_success = 0, counted_error = 0;
  double worst = 0;
  bool identical = true;
  int logs_agree = 0, jobs = 0;
};

// The counts each job logged, set against the files on disk.
void CountLines(const std::vector<JobResult>& results, int wanted_images, Figures* f) {
  int count_agrees = 0, msg_agrees = 0, finished = 0;
  for (const JobResult& r : results) {
    int saved = 0, whole = 0;
    for (const Image& im : r.images) {
      saved += im.exists;
      whole += im.whole;
    }
    f->counted_success += std::max(0, r.file_success);
    f->counted_error += std::max(0, r.file_error);
    if (r.file_success == saved && r.file_success + r.file_error == wanted_images) ++count_agrees;
    if (r.file_success == whole && r.file_success == saved) ++f->logs_agree;
    if (r.image_count == wanted_images || (saved == 0 && r.image_count == -1)) ++msg_agrees;
    finished += r.finished;
  }
  std::printf(
      "  counts in the logs: FileSuccess %d, FileError %d; on disk %d files, %d whole, %d torn\n",
      f->counted_success, f->counted_error, f->saved, f->whole, f->torn);
  std::printf(
      "  jobs finished %d/%zu; FileSuccess = files on disk and FileSuccess + FileError = %d: "
      "%d/%zu;"
      " FileSuccess = whole files on disk: %d/%zu; .msg ImageCount %d: %d/%zu\n",
      finished, results.size(), wanted_images, count_agrees, results.size(), f->logs_agree,
      results.size(), wanted_images, msg_agrees, results.size());
}

// Part a for one camera.
Figures SameInstant(World& world, const Camera& c) {
  const JobShape shape{2, 0.5, 2};
  std::vector<std::pair<const Camera*, std::string>> jobs;
  for (int j = 0; j < kJobsAtOnce; ++j) {
    char alarm[32];
    std::snprintf(alarm, sizeof alarm, "PA%d_%02d", c.scenario, j);
    jobs.emplace_back(&c, alarm);
  }
  const long long alarm_us = world.DropAndWait(jobs, shape);
  std::vector<JobResult> results;
  for (const auto& job : jobs) results.push_back(world.Collect(c, job.second, shape, alarm_us));

  Figures f;
  f.what = c.ref + " " + World::Fixed(c.fps) + " fps";
  f.jobs = kJobsAtOnce;
  std::printf(
      "\na. %d jobs at one instant on %s at %s fps (one frame = %.0f ms): PreRecordTime %d, "
      "Interval %.1f, Duration %d\n",
      kJobsAtOnce, c.ref.c_str(), World::Fixed(c.fps).c_str(), c.period_us() / 1000,
      shape.pre_record, shape.interval, shape.duration);
  std::printf(
      "  offset = send time of the saved frame - wanted time, in frames (wanted: A%+.1f s + i x "
      "%.1f s)\n",
      -static_cast<double>(shape.pre_record), shape.interval);
  std::printf(
      "  image  wanted    saved  whole  spread(fr)  offset min / median / max (fr)  same frame in "
      "all jobs\n");
  int worst_job = -1, worst_image = -1;
  for (int i = 0; i < shape.images(); ++i) {
    std::vector<double> offsets, times;
    std::vector<unsigned long long> seqs;
    int saved = 0;
    for (const JobResult& r : results) {
      const Image& im = r.images[static_cast<std::size_t>(i)];
      saved += im.exists;
      if (!im.whole) continue;
      offsets.push_back(im.offset_frames);
      times.push_back(static_cast<double>(im.stamp.time_us));
      seqs.push_back(im.stamp.seq);
    }
    bool same =
        seqs.size() == results.size() &&
        std::all_of(seqs.begin(), seqs.end(), [&](unsigned long long s) { return s == seqs[0]; });
    f.identical = f.identical && same;
    double spread = times.empty() ? 0
                                  : (*std::max_element(times.begin(), times.end()) -
                                     *std::min_element(times.begin(), times.end())) /
                                        c.period_us();
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "A%+.1f s", shape.wanted_offset_s(i));
    if (offsets.empty()) {
      std::printf("  %5d  %-8s  %5d  %5zu  %10s  %30s  %s\n", i, wanted, saved, offsets.size(), "-",
                  "-", "no");
    } else {
      std::printf("  %5d  %-8s  %5d  %5zu  %10.1f  %8.1f / %6.1f / %6.1f          %s\n", i, wanted,
                  saved, offsets.size(), spread, *std::min_element(offsets.begin(), offsets.end()),
                  Median(offsets), *std::max_element(offsets.begin(), offsets.end()),
                  same ? "yes" : "no");
    }
  }
  for (std::size_t j = 0; j < results.size(); ++j) {
    for (int i = 0; i < shape.images(); ++i) {
      const Image& im = results[j].images[static_cast<std::size_t>(i)];
      ++f.images;
      f.saved += im.exists;
      f.whole += im.whole;
      f.torn += im.exists && !im.whole;
      if (!im.whole) continue;
      if (std::fabs(im.offset_frames) > 1) ++f.off;
      if (std::fabs(im.offset_frames) > std::fabs(f.worst)) {
        f.worst = im.offset_frames;
        worst_job = static_cast<int>(j);
        worst_image = i;
      }
    }
  }
  std::printf("  first image (A-2.0 s) per job in drop order, offset in frames:");
  for (const JobResult& r : results)
    std::printf(" %s", r.images[0].whole
                           ? World::Fixed(std::round(r.images[0].offset_frames * 10) / 10).c_str()
                           : "x");
  std::printf(
      "\n  worst offset %+.1f frames (job %d, image %d); images more than one frame off: %d of %d;"
      " all %d jobs got identical frames for every image: %s\n",
      f.worst, worst_job, worst_image, f.off, f.images, kJobsAtOnce, f.identical ? "yes" : "no");
  CountLines(results, shape.images(), &f);
  return f;
}

// Parts b and c: one job per camera, all dropped at the same instant.
std::vector<Figures> LongPreRecord(World& world, const std::vector<Camera>& cameras) {
  const JobShape shape{10, 1, 2};
  std::vector<std::pair<const Camera*, std::string>> jobs;
  for (const Camera& c : cameras) jobs.emplace_back(&c, "PB" + std::to_string(c.scenario));
  const long long alarm_us = world.DropAndWait(jobs, shape);
  std::vector<Figures> all;
  for (std::size_t k = 0; k < cameras.size(); ++k) {
    const Camera& c = cameras[k];
    JobResult r = world.Collect(c, jobs[k].second, shape, alarm_us);
    // What the ring holds: about this many seconds of the camera's stream.
    const double lap_s = kRingBytes / (c.fps * static_cast<double>(c.size));
    Figures f;
    f.what = c.ref + " " + World::Fixed(c.fps) + " fps, " + std::to_string(c.size) +
             "-byte frames" + c.shown_extra();
    f.jobs = 1;
    std::printf(
        "\n%c. one job on %s at %s fps, %zu-byte frames%s (the ring holds about %.1f s): "
        "PreRecordTime %d, Interval %.0f, Duration %d\n",
        k == 0 ? 'b' : 'c', c.ref.c_str(), World::Fixed(c.fps).c_str(), c.size,
        c.shown_extra().c_str(), lap_s, shape.pre_record, shape.interval, shape.duration);
    std::printf("  image  wanted    in ring  file   offset (fr)  problem\n");
    int older_saved = 0;
    for (int i = 0; i < shape.images(); ++i) {
      const Image& im = r.images[static_cast<std::size_t>(i)];
      const bool in_ring = -shape.wanted_offset_s(i) < lap_s;
      ++f.images;
      f.saved += im.exists;
      f.whole += im.whole;
      f.torn += im.exists && !im.whole;
      if (im.exists && !in_ring) ++older_saved;
      if (im.whole && std::fabs(im.offset_frames) > 1) ++f.off;
      if (im.whole && std::fabs(im.offset_frames) > std::fabs(f.worst)) f.worst = im.offset_frames;
      char offset[32] = "-";
      if (im.whole) std::snprintf(offset, sizeof offset, "%+.1f", im.offset_frames);
      std::printf("  %5d  A%+5.1f s  %-7s  %-5s  %11s  %s\n", i, shape.wanted_offset_s(i),
                  in_ring ? "yes" : "no",
                  !im.exists ? "none"
                  : im.whole ? "whole"
                             : "torn",
                  offset, im.problem.c_str());
    }
    std::printf(
        "  saved %d of %d, whole %d, torn %d; saved although older than one lap: %d;"
        " whole images more than one frame off: %d, worst %+.1f frames\n",
        f.saved, f.images, f.whole, f.torn, older_saved, f.off, f.worst);
    CountLines({r}, shape.images(), &f);
    all.push_back(f);
  }
  return all;
}

void Summary(const std::vector<Figures>& figures) {
  std::printf(
      "\nsummary (target: every saved image within one frame of its wanted time, no torn image,"
      " images no longer in the ring counted as errors, counts = files)\n");
  for (const Figures& f : figures) {
    char worst[32] = "      -";  // no whole image to measure
    if (f.whole > 0) std::snprintf(worst, sizeof worst, "%+7.1f", f.worst);
    std::printf(
        "  %-48s images %3d saved %3d whole %3d torn %3d | >1 frame off %3d, worst %s fr |"
        " identical across jobs %-3s | FileSuccess %3d FileError %3d\n",
        f.what.c_str(), f.images, f.saved, f.whole, f.torn, f.off, worst,
        f.jobs > 1 ? (f.identical ? "yes" : "no") : "-", f.counted_success, f.counted_error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OCELAM OCELAM_SIM\n", argv[0]);
    return 2;
  }
  g_gateway = std::filesystem::absolute(argv[1]).string();
  g_simulator = std::filesystem::absolute(argv[2]).string();
  std::vector<Figures> figures;
  {
    const std::vector<Camera> cameras = {{1, "Cam1", 10, 20000, ""}, {2, "Cam2", 25, 20000, ""}};
    World world(cameras);
    if (!world.Start()) return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(kRingFillSeconds));
    for (const Camera& c : cameras) figures.push_back(SameInstant(world, c));
  }
  {
    const std::vector<Camera> cameras = {{3, "Cam3", 25, 400000, ""},
                                         {4, "Cam4", 25, 40000, ",exif=1"},
                                         {5, "Cam5", 25, 40000, ",partlen=0"}};
    World world(cameras);
    if (!world.Start()) return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(kPastLapSeconds));
    for (const Figures& f : LongPreRecord(world, cameras)) figures.push_back(f);
  }
  Summary(figures);
  return 0;
}
