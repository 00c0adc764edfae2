#pragma once
// Settings of the simulated devices and the command line that sets them.
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Limits a user can run into; values outside them are refused with a message.
inline constexpr int kMaxDeviceId = 99999;
inline constexpr double kMaxFps = 1000;
inline constexpr int kMaxAfterFrames = 1000000;
inline constexpr int kMaxStallMs = 24 * 3600 * 1000;
inline constexpr int kMaxGarbageBytes = 1000000;
inline constexpr int kMaxCameraCount = 1000;

struct CameraSettings {
  int id = 0;
  int port = 0;  // 0: any free port
  std::string path = "/mjpg";
  double fps = 10;       // 0: as fast as the client takes the frames
  std::size_t size = 0;  // bytes per frame; 0: natural size
  std::string user;      // basic authentication when not empty
  std::string pass;
  // Misbehaviour.
  bool drop = false;  // close the connection in the middle of a frame
  int after = 0;      // complete frames a connection gets before drop or stall
  int stall_ms = 0;   // pause in the middle of a frame, connection kept
  int garbage = 0;    // bytes of garbage (never 0xFF) after every frame
  int status = 0;     // answer every request with this status instead
  bool dead = false;  // refuse connections, end open ones
};

// Applies one "key=value" list (separated by commas or blanks) to `settings`.
// With `at_run_time` the keys fixed at start (id, port, fps) are refused.
// On failure `settings` may be partly changed and `error` says why.
bool ApplyCameraKeys(std::string_view keys, bool at_run_time, CameraSettings* settings,
                     std::string* error);

// Turns every misbehaviour off.
void ClearFaults(CameraSettings* settings);

struct Options {
  std::string bind = "127.0.0.1";
  int control_port = 0;
  double duration_s = 0;  // 0: until a signal or "quit"
  std::vector<CameraSettings> cameras;
};

// Parses the command line; false with `error` on a mistake. `*help` is set
// when usage was asked for.
bool ParseCommandLine(int argc, char** argv, Options* options, bool* help, std::string* error);

extern const char* const kUsage;

}  // namespace sim
