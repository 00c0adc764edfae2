#pragma once
// A private world for one whole-program run of the gateway: its own registry
// file, ini directory, run directory, working directory (with "log" and
// "LOG"), so runs go side by side in parallel.
#include <sys/stat.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testing_support {

// `key` of `section` in a profile file the gateway wrote ("<missing>" if absent).
inline std::string IniValue(const std::string& file, const std::string& section,
                            const std::string& key) {
  std::string content = ReadFile(file);
  std::smatch m;
  std::regex re("\\[" + section + "\\]\n(?:[^\\[\n][^\n]*\n)*?" + key + "=([^\n]*)\n");
  return std::regex_search(content, m, re) ? m[1].str() : std::string("<missing>");
}

class GatewaySandbox {
 public:
  // Every sandbox claims a monitor port range of its own (one free port),
  // so gateways running side by side never listen on the same port. With
  // `own_monitor_port` false the port register starts empty and the gateway
  // takes the default range (22001 and up), where it may find the port in
  // use by another gateway.
  explicit GatewaySandbox(bool own_monitor_port = true) {
    for (const char* d : {"ini", "run", "work", "work/log", "work/LOG"})
      mkdir((dir_ / d).c_str(), 0755);
    WriteFile(dir_ / "registry.ini",
              "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=" + ini() + "\n");
    if (own_monitor_port) {
      monitor_port_ = FreeLoopbackPort();
      WriteFile(IniFile("qxmoninterfaces.ini"), MonitorPortRange());
    }
  }

  // The port the gateway will claim (0 with the default range).
  int monitor_port() const { return monitor_port_; }
  // The "Config" section of the register that gives the sandbox its port.
  std::string MonitorPortRange() const {
    return "[Config]\nFirstIPPort=" + std::to_string(monitor_port_) +
           "\nLastIPPort=" + std::to_string(monitor_port_ + 1) + "\n";
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
    return std::make_unique<Child>(std::vector<std::string>{exe}, work(), Env(),
                                   dir_ / output_name);
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
    return WaitFor(
        [&] {
          return Output(output_name).find("Talvane IP Camera") != std::string::npos &&
                 ReadFile(IniFile("qxmoninterfaces.ini")).find("[Interfaces]") != std::string::npos;
        },
        seconds);
  }

 private:
  TempDir dir_;
  int monitor_port_ = 0;
};

}  // namespace testing_support
