// ocelam-event: sets or resets a named event of the gateway from a shell.
//   ocelam-event set 'Global\ocelam_restart'    ends a running gateway
//   ocelam-event reset NAME
//   ocelam-event test NAME                     exit 0 when set, 1 when not
// The events live in $OCELAM_RUNDIR (default /run/ocelam).
#include <cstdio>
#include <cerrno>
#include <cstring>

#include "platform/named_objects.h"

namespace {
int Usage() {
  std::fprintf(stderr,
               "usage: ocelam-event set|reset|test NAME\n"
               "  NAME is an event name such as 'Global\\ocelam_restart' (\"Global\\\" may be "
               "omitted)\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !*argv[2]) return Usage();
  platform::NamedEvent event(argv[2]);
  if (std::strcmp(argv[1], "set") == 0) {
    if (event.Set()) return 0;
    std::fprintf(stderr, "ocelam-event: cannot set %s: %s\n", event.path().c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (std::strcmp(argv[1], "reset") == 0) {
    if (event.Reset()) return 0;
    std::fprintf(stderr, "ocelam-event: cannot reset %s: %s\n", event.path().c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (std::strcmp(argv[1], "test") == 0) return event.IsSet() ? 0 : 1;
  return Usage();
}
