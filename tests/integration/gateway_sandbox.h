#pragma once
// A private world for one whole-program run of the gateway: its own registry
// file, ini directory, run directory, working directory (with "log" and
// "LOG"), so runs go side by side in parallel.
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testing_support {

class GatewaySandbox {
 public:
  GatewaySandbox() {
    for (const char* d : {"ini", "run", "work", "work/log", "work/LOG"})
      mkdir((dir_ / d).c_str(), 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + ini() + "\n");
  }

  std::string ini() const { return dir_ / "ini"; }
  std::string work() const { return dir_ / "work"; }
  std::string run() const { return dir_ / "run"; }
  std::string path(const std::string& rel) const { return dir_ / rel; }
  std::string IniFile(const std::string& name) const { return ini() + "/" + name; }

  std::vector<std::string> Env() const {
    return {"OCELAM_REGISTRY=" + (dir_ / "registry.ini"), "OCELAM_RUNDIR=" + run()};
  }

  // Starts `exe` (the gateway by default) in the working directory; its
  // output goes to "<name>.out" in the sandbox.
  std::unique_ptr<Child> Start(const std::string& exe = OCELAM_BIN,
                               const std::string& output_name = "ocelam.out") {
    last_output_ = dir_ / output_name;
    return std::make_unique<Child>(std::vector<std::string>{exe}, work(), Env(), last_output_);
  }
  std::string Output(const std::string& output_name = "ocelam.out") const {
    return ReadFile(dir_ / output_name);
  }

  // Runs ocelam-event with the sandbox's run directory; its exit code.
  int Event(const std::string& verb, const std::string& name) const {
    Child c({OCELAM_EVENT_BIN, verb, name}, work(), Env(), dir_ / "event.out");
    return c.WaitExit(30) ? c.exit_code() : -1;
  }

  // True once the gateway has printed its banner and finished its start.
  bool WaitStarted(const std::string& output_name = "ocelam.out", double seconds = 30) const {
    return WaitFor([&] { return Output(output_name).find("Talvane IP Camera") != std::string::npos &&
                                FileExists(IniFile("qxmoninterfaces.ini")); }, seconds);
  }

 private:
  TempDir dir_;
  std::string last_output_;
};

}  // namespace testing_support
