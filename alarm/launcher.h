#pragma once
// Launcher: runs one command line as a process of its own, detached: in a
// new session, with no terminal and /dev/null for its standard streams. The
// command line is split at blanks (no shell); its first word is looked for in
// the current directory first, then along PATH, as the alarm server's
// platform did. A detached process is reaped in the background, so however
// many alarms start, no zombie is left behind.
#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/status.h"

namespace alarms {

class Launcher {
 public:
  explicit Launcher(const char* command_line = nullptr);
  Launcher(const Launcher& other);
  Launcher& operator=(const Launcher& other);
  // Terminates a process that still runs and was not detached.
  ~Launcher();

  // Starts the process. Both flags are kept for the callers' sake: every
  // start is detached from the terminal in a session of its own. A failure
  // (none started, or no command line) says why in the system's words, lower
  // case: "no such file or directory", "permission denied", "exec format
  // error", ...; for a script whose interpreter is missing, what its "#!"
  // line names, or that the line ends with CR.
  platform::Status Start(int show_minimised, int new_console);
  // Lets the process run on; it is reaped in the background.
  void Detach();
  // 1 while the process runs; 0 once it ended (its exit code is then kept).
  int IsRunning();
  pid_t ProcessHandle() const { return pid_; }
  void Terminate();
  unsigned exit_code() const { return exit_code_; }
  const char* command_line() const { return command_line_.get(); }

 private:
  std::unique_ptr<char[]> command_line_;
  unsigned exit_code_ = 0;
  pid_t pid_ = 0;
};

// The path the first word of a command line runs from: as given when it
// holds a '/', else the current directory, else PATH; "" when not found.
std::string ResolveCommand(const std::string& word);

}  // namespace alarms
