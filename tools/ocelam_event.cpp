// ocelam-event: sets or resets a named event of the gateway from a shell.
//   ocelam-event set 'Global\ocelam_restart'    ends a running gateway
//   ocelam-event reset NAME
//   ocelam-event test NAME                     exit 0 when set, 1 when not
//   ocelam-event --version | --help
// The events live in $OCELAM_RUNDIR (default /run/ocelam).
#include <cstdio>
#include <cstring>

#include "core/version.h"
#include "platform/named_objects.h"

namespace event_tool {
namespace {

constexpr const char* kUsage =
    "usage: ocelam-event set|reset|test NAME\n"
    "       ocelam-event --version | --help\n"
    "  NAME is an event name such as 'Global\\ocelam_restart' (\"Global\\\" may be "
    "omitted)\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The tool: the exit code.
int Run(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("ocelam-event %u.%u.%u.%u\n", OCELAM_VERSION_MAJOR, OCELAM_VERSION_MINOR,
                OCELAM_VERSION_PATCH, OCELAM_VERSION_TWEAK);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::fputs(
        "\n  set    sets the event: 'set ocelam_restart' ends a running gateway\n"
        "  reset  clears it\n"
        "  test   exit code 0 when it is set, 1 when not\n"
        "\nEnvironment:\n"
        "  OCELAM_RUNDIR  directory of the events (default /run/ocelam)\n",
        stdout);
    return 0;
  }
  if (argc != 3 || !*argv[2]) return Usage();
  platform::NamedEvent event(argv[2]);
  if (std::strcmp(argv[1], "set") == 0) {
    platform::Status set = event.Set();
    if (set) return 0;
    std::fprintf(stderr, "ocelam-event: cannot set %s: %s\n", event.path().c_str(),
                 set.reason().c_str());
    return 1;
  }
  if (std::strcmp(argv[1], "reset") == 0) {
    platform::Status reset = event.Reset();
    if (reset) return 0;
    std::fprintf(stderr, "ocelam-event: cannot reset %s: %s\n", event.path().c_str(),
                 reset.reason().c_str());
    return 1;
  }
  if (std::strcmp(argv[1], "test") == 0) return event.IsSet() ? 0 : 1;
  return Usage();
}

}  // namespace
}  // namespace event_tool

int main(int argc, char** argv) { return event_tool::Run(argc, argv); }
