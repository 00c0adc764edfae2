#pragma once
// The gateway's settings of section "Config" and the streaming servers'
// watch directories: filled once by the configuration loader at start, held
// by the gateway object app/ builds and handed down read-only.
#include <string>
#include <vector>

namespace core {

inline constexpr int kMaxStreamingServers = 9;

// Section "Config". Paths are held as Linux paths, with the drive removed.
struct Settings {
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
  // The status port (0: off), the address it listens on ("" : 127.0.0.1)
  // and who may call it ("StatusAllowedClients", "" : this machine only);
  // read, never written back.
  int status_port = 0;
  std::string status_bind_address;
  std::string status_allowed_clients;
  // HTTPS on the status port: PEM certificate chain and key files (both or
  // neither), and its login: "StatusUser" and "StatusPasswordHash" (both or
  // neither); read, never written back.
  std::string status_tls_certificate;
  std::string status_tls_key;
  std::string status_user;
  std::string status_password_hash;
  // "MaxDecoders": how many decoders decode at once in the process (0: one
  // per core); read, never written back.
  int max_decoders = 0;
  // "JobSettleTime": seconds a job file's size and modification time must
  // stand still where nothing else tells its writer is done (network and FUSE
  // watch folders); read, never written back.
  int job_settle_time = 2;
  // "WatchPath" of each "StreamingServer<k>" section found, as Linux paths.
  std::vector<std::string> streaming_server_paths;
};

}  // namespace core
