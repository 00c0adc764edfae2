#pragma once
// A gateway in a sandbox of its own with job directories, cameras streaming
// from a private device simulator, and the alarm server's side of the job
// exchange: dropping job files and finding them done.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "gateway_sandbox.h"
#include "tools/sim_client.h"

namespace jobs_world {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

struct CameraSpec {
  int number;             // camera number in the gateway
  std::string reference;  // "CameraRef"
  int sim_id;             // camera id in the simulator
  bool permanent = true;
};

class JobsWorld {
 public:
  // `sim_args` empty: no simulator. `extra_config` lines go into [Config].
  JobsWorld(const std::vector<std::string>& sim_args, const std::vector<CameraSpec>& cameras,
            const std::string& extra_config = "") {
    if (!sim_args.empty()) sim_ = std::make_unique<sim_test::SimProcess>(sim_args);
    for (const char* d : {"data", "data/log", "data/watch", "data/done", "data/error", "data/file",
                          "data/stream", "drop"})
      mkdir(box_.path(d).c_str(), 0755);
    std::string ini = "[Config]\nLogDirectory=" + Data("log") + "\nWatchPath=" + Data("watch") +
                      "\nDonePath=" + Data("done") + "\nErrorPath=" + Data("error") +
                      "\nFilePath=" + Data("file") + "\nFileMask=*.job\nNumberOfStreamingServers=1\n" +
                      extra_config + "\n[StreamingServer1]\nWatchPath=" + Data("stream") + "\n";
    for (const CameraSpec& c : cameras) {
      int port = sim_ ? sim_->port(c.sim_id) : 1;
      ini += "[Scenario" + std::to_string(c.number) + "]\nCameraRef=" + c.reference +
             "\nCamServerIPAddress=127.0.0.1\nCamPort=" + std::to_string(port) +
             "\nRequestUri=/mjpg\nMJPEGPermanentRecording=" + (c.permanent ? "1" : "0") +
             "\nWatchDogActive=0\n";
    }
    WriteFile(box_.IniFile("ocelam.ini"), ini);
    gateway_ = box_.Start();
  }
  ~JobsWorld() {
    gateway_->Signal(SIGTERM);
    gateway_->WaitExit(10);
  }

  // The simulator is up and the gateway has finished its start.
  bool Started() { return (!sim_ || sim_->ready()) && box_.WaitStarted(); }
  sim_test::SimProcess& sim() { return *sim_; }
  testing_support::Child& gateway() { return *gateway_; }

  std::string Data(const std::string& rel) const { return box_.path("data/" + rel); }
  std::string Root() const { return box_.path(""); }

  // Writes a job file beside the watch directory and moves it in, as the
  // alarm server does. Returns the moment it appeared (microseconds).
  long long Drop(const std::string& name, const std::string& content) {
    std::string staged = box_.path("drop/" + name);
    WriteFile(staged, content);
    long long now = sim_test::RealtimeUs();
    std::filesystem::rename(staged, Data("watch/" + name));
    return now;
  }

  // The finished file of job file `name` in "done" or "error" ("" if none).
  std::string Finished(const std::string& name, const std::string& where) const {
    std::regex pattern("[0-9A-F]{8}-" + std::regex_replace(name, std::regex("\\."), "\\.") );
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Data(where), ec))
      if (std::regex_match(e.path().filename().string(), pattern)) return e.path().string();
    return "";
  }
  bool IsFinished(const std::string& name) const {
    return !Finished(name, "done").empty() || !Finished(name, "error").empty();
  }
  bool WaitFinished(const std::string& name, double seconds = 90) const {
    return WaitFor([&] { return IsFinished(name); }, seconds);
  }

  // What the gateway printed, and its daily interface log.
  std::string Output() const { return box_.Output(); }
  std::string InterfaceLog() const {
    std::string all;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(box_.path("work/log"), ec))
      all += ReadFile(e.path().string());
    return all;
  }

  // Names in a directory below data, sorted.
  std::vector<std::string> Names(const std::string& rel) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Data(rel), ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  testing_support::GatewaySandbox box_;
  std::unique_ptr<sim_test::SimProcess> sim_;
  std::unique_ptr<testing_support::Child> gateway_;
};

// The value of `key` in `section` of a profile file as the gateway wrote it
// ("<missing>" when absent).
inline std::string IniValue(const std::string& file, const std::string& section, const std::string& key) {
  std::string content = ReadFile(file);
  std::smatch m;
  std::regex re("\\[" + section + "\\]\n(?:[^\\[\n][^\n]*\n)*?" + key + "=([^\n]*)\n");
  return std::regex_search(content, m, re) ? m[1].str() : std::string("<missing>");
}

// The simulator stamps of the images in a directory, in file-name order.
inline std::vector<sim_test::Stamp> Stamps(const std::string& dir, std::vector<std::string>* names) {
  std::vector<sim_test::Stamp> stamps;
  names->clear();
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names->push_back(e.path().filename());
  std::sort(names->begin(), names->end());
  for (const std::string& n : *names) {
    sim_test::JpegInfo info;
    sim_test::Stamp stamp;
    if (sim_test::CheckJpeg(ReadFile(dir + "/" + n), &info).empty() && sim_test::ParseStamp(info, &stamp))
      stamps.push_back(stamp);
    else
      stamps.push_back(sim_test::Stamp{});  // camera -1 marks a file that is no simulator frame
  }
  return stamps;
}

}  // namespace jobs_world
