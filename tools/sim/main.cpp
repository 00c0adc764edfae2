// ocelam-sim: simulated cameras on loopback for tests, benchmarks and demos.
// See README.md beside this file for the command line and the control port.
#include <signal.h>

#include <cstdio>
#include <string>

#include "config.h"
#include "simulator.h"

namespace {

sim::Simulator* g_simulator = nullptr;

void OnStopSignal(int) {
  if (g_simulator) g_simulator->RequestStop();
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options options;
  bool help = false;
  std::string error;
  if (!sim::ParseCommandLine(argc, argv, &options, &help, &error)) {
    std::fprintf(stderr, "ocelam-sim: %s\n%s", error.c_str(), sim::kUsage);
    return 2;
  }
  if (help) {
    std::fputs(sim::kUsage, stdout);
    return 0;
  }
  // A client that goes away must not end us; sends report it instead.
  signal(SIGPIPE, SIG_IGN);

  sim::Simulator simulator;
  if (!simulator.Start(options, &error)) {
    std::fprintf(stderr, "ocelam-sim: %s\n", error.c_str());
    return 1;
  }
  g_simulator = &simulator;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  simulator.PrintPorts();
  simulator.Run(options.duration_s);
  g_simulator = nullptr;
  return 0;
}
