#pragma once
// The configuration read once at start from the program's profile file
// ("ocelam.ini"), and the tables it fills: cameras (numbers 1 to 159), their
// stream and command records, video servers (1 to 49) and the streaming
// servers' watch directories. Nothing is reloaded while the gateway runs.
#include <string>
#include <vector>

#include "acquisition/camera/camera.h"
#include "camera_http/command_records.h"
#include "camera_http/video_server.h"
#include "core/camera_base.h"

inline constexpr int kMaxStreamingServers = 9;

// Section "Config". Paths are held as Linux paths, with the drive removed.
struct ConfigSettings {
  int number_of_ip_cams = 1;
  int number_of_streaming_servers = 0;  // after loading: the count of watch paths found
  int debugging = 1999;
  int debugging_multithreading = 0;
  std::string log_directory;
  int max_jobs_running = 50;
  int move_job_to_done_or_error_path = 1;
  int watch_timeout = 4;
  std::string watch_path;
  std::string done_path;
  std::string file_path;
  std::string error_path;
  std::string file_mask;
  // The status port (0: off) and the address it listens on ("" : 127.0.0.1);
  // read, never written back.
  int status_port = 0;
  std::string status_bind_address;
};

extern ConfigSettings Config;
extern std::vector<std::string> StreamingServerPaths;

extern CCameraBase CameraBaseTable[kCameraSlots];
extern CCamera (&Cameras)[kCameraSlots];
extern CIOBoxCommand IOBoxCommands[kCameraSlots];
extern CPTZCommand PTZCommands[kCameraSlots];
extern CRecordingCommand RecordingCommands[kCameraSlots];
extern CVideoServer VideoServers[kVideoServerSlots];

// The profile file the loader reads (program name followed by ".ini");
// set by main before LoadConfiguration.
void SetProfileFileName(const std::string& name);
const std::string& ProfileFileName();

// Reads the profile, writes defaults back, fills the tables, creates the
// working directories and starts the threads of every configured camera.
void LoadConfiguration();

// The request URI and header an older "GetParam" line stands for; false when
// it names no path (then nothing changes).
bool SplitGetParam(const std::string& get_param, std::string* uri, std::string* header);
