#pragma once
// A gateway in a sandbox of its own with job directories below "data",
// cameras streaming from a private device simulator, and the alarm server's
// side of the job exchange: dropping job files and finding them finished.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "support/gateway_sandbox.h"
#include "support/sim_client.h"

namespace jobs_world {

using testing_support::IniValue;
using testing_support::ReadFile;
using testing_support::SortedNames;

struct SimCamera {
  int number;             // camera number in the gateway
  std::string reference;  // "CameraRef"
  int sim_id;             // camera id in the simulator
  bool permanent = true;
  std::string keys = "";  // more keys of its scenario section, each ended by "\n"
};

class JobsWorld {
 public:
  // No simulator when `sim_args` is empty; `extra_config` goes into [Config],
  // `camera_models` (when given) is the camera model profile.
  JobsWorld(const std::vector<std::string>& sim_args, const std::vector<SimCamera>& cameras,
            const std::string& extra_config = "", const std::string& camera_models = "") {
    if (!sim_args.empty()) sim_ = std::make_unique<sim_test::SimProcess>(sim_args);
    for (const char* d :
         {"data", "data/log", "data/watch", "data/done", "data/error", "data/stream", "drop"})
      mkdir(box_.path(d).c_str(), 0755);
    std::string ini = "[Config]\nLogDirectory=" + Data("log") + "\nWatchPath=" + Data("watch") +
                      "\nDonePath=" + Data("done") + "\nErrorPath=" + Data("error") +
                      "\nFilePath=" + Data("file") + "\nNumberOfStreamingServers=1\n" +
                      extra_config + "\n[StreamingServer1]\nWatchPath=" + Data("stream") + "\n";
    for (const SimCamera& c : cameras)
      ini += "[Scenario" + std::to_string(c.number) + "]\nCameraRef=" + c.reference +
             "\nCamPort=" + std::to_string(sim_->port(c.sim_id)) +
             "\nRequestUri=/mjpg\nMJPEGPermanentRecording=" + (c.permanent ? "1" : "0") +
             "\nWatchDogActive=0\n" + c.keys;
    testing_support::WriteFile(box_.IniFile("ocelam.ini"), ini);
    if (!camera_models.empty())
      testing_support::WriteFile(box_.IniFile("qxacam.ini"), camera_models);
    gateway_ = box_.Start();
  }
  ~JobsWorld() { gateway_->Signal(SIGTERM), gateway_->WaitExit(10); }

  bool Started() { return (!sim_ || sim_->ready()) && box_.WaitStarted(); }
  // Ends the gateway as a crash would and starts it again (Started() then
  // waits for the new run's banner).
  void Restart() {
    gateway_->Signal(SIGKILL), gateway_->WaitExit(30);
    testing_support::WriteFile(box_.path("ocelam.out"), "");
    gateway_ = box_.Start();
  }
  sim_test::SimProcess& sim() { return *sim_; }
  bool Running() { return gateway_->running(); }
  std::string Data(const std::string& rel) const { return box_.path("data/" + rel); }
  std::string Root() const { return box_.path(""); }

  // Writes a job file beside the watch directory and moves it in, as the
  // alarm server does; the moment it appeared (microseconds).
  long long Drop(const std::string& name, const std::string& content) {
    testing_support::WriteFile(box_.path("drop/" + name), content);
    long long now = sim_test::RealtimeUs();
    std::filesystem::rename(box_.path("drop/" + name), Data("watch/" + name));
    return now;
  }

  // The finished file "<8 hex digits>-<name>" in "done" or "error", or "".
  std::string Finished(const std::string& name, const std::string& where) const {
    for (const std::string& n : Names(where))
      if (n.size() == name.size() + 9 && n.compare(9, std::string::npos, name) == 0 &&
          std::regex_match(n.substr(0, 9), std::regex("[0-9A-F]{8}-")))
        return Data(where + "/" + n);
    return "";
  }
  bool WaitFinished(const std::string& name, double seconds = 90) const {
    return testing_support::WaitFor(
        [&] { return Finished(name, "done") + Finished(name, "error") != ""; }, seconds);
  }

  // Console output and daily interface log together.
  std::string Output() const { return box_.Output() + InterfaceLog(); }
  std::string Console() const { return box_.Output(); }
  std::string InterfaceLog() const {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(box_.path("work/log")))
      all += ReadFile(e.path().string());
    return all;
  }

  std::vector<std::string> Names(const std::string& rel) const { return SortedNames(Data(rel)); }
  // The camera and video-server logs ("./LOG") together.
  std::string DeviceLogs() const {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(box_.path("work/LOG")))
      all += ReadFile(e.path().string());
    return all;
  }
  int MonitorPort() const { return box_.monitor_port(); }

 private:
  testing_support::GatewaySandbox box_;
  std::unique_ptr<sim_test::SimProcess> sim_;
  std::unique_ptr<testing_support::Child> gateway_;
};

// The simulator stamps of the images in `dir`, in file-name order (camera
// -1 for a file that is no simulator frame).
inline std::vector<sim_test::Stamp> Stamps(const std::string& dir,
                                           std::vector<std::string>* names) {
  *names = SortedNames(dir);
  std::vector<sim_test::Stamp> stamps;
  for (const std::string& n : *names) {
    sim_test::Stamp stamp;
    if (!sim_test::StampOf(ReadFile(dir + "/" + n), &stamp).empty()) stamp = sim_test::Stamp{};
    stamps.push_back(stamp);
  }
  return stamps;
}

}  // namespace jobs_world
