#pragma once
// A simulated video server with alarm inputs: a client connects, sends its
// request once (the gateway ends it with a NUL byte) and then gets text
// lines ended by CR LF for as long as it stays: the server's script,
// heartbeat lines at an interval, and whatever the control port injects.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "device.h"

namespace sim {

class VideoServer : public Device {
 public:
  // `sink` (may be null) also gets every request; it outlives the server.
  VideoServer(const VideoServerSettings& settings, RequestSink* sink);

  const char* kind() const override { return "videoserver"; }
  int id() const override { return id_; }
  int wanted_port() const override { return wanted_port_; }
  bool dead() const override;
  void Serve(Fd connection) override;
  bool Set(std::string_view keys, std::string* error) override;
  void Clear() override;
  std::string Stats() const override;
  void Stop() override;
  const RequestLog& requests() const override { return requests_; }

  // Run-time injection into every open connection whose request has come;
  // each returns how many connections it reached. Send and Split return
  // once the bytes are handed to the system (Split after its pause), and
  // go out even during a silence.
  int Send(std::string_view bytes);
  int Split(std::string_view bytes, std::size_t at, int ms);
  // Nothing (heartbeats, script) is sent for `ms` from now.
  int Silence(int ms);
  // Ends the connections (the client sees an orderly close).
  int CloseAll();

 private:
  using Clock = std::chrono::steady_clock;

  struct Connection {
    int fd = -1;
    Fd wake;                            // eventfd: a change, a silence, the stop
    std::mutex send_mu;                 // one writer at a time: its thread or the control port
    bool closed = false;                // guarded by send_mu; set before `fd` is closed
    Clock::time_point silence_until{};  // guarded by VideoServer::mu_
  };

  // The connection's life once its request has come.
  void Run(Connection& c, std::uint64_t connection_number, std::string pending);
  // Takes one step of the script at `now`; false when the connection ends.
  bool RunStep(Connection& c, const ScriptStep& step, Clock::time_point now,
               Clock::time_point* script_due);
  // Reads what the client sends after its request and records any further
  // request; false when the connection ends.
  bool ReadMore(Connection& c, std::uint64_t connection_number, std::string* pending);
  // Sends with `c.send_mu` held by the caller.
  bool SendLocked(Connection& c, std::string_view bytes);
  // Waits until `deadline` on the connection's wake-ups; false on stop.
  bool PauseLocked(Connection& c, Clock::time_point deadline);
  // The open connections, in the order they came.
  std::vector<std::shared_ptr<Connection>> OpenConnections() const;
  void WakeAll();
  bool Ending() const;

  const int id_;
  const int wanted_port_;
  const std::vector<ScriptStep> script_;
  const bool loop_;

  mutable std::mutex mu_;
  std::condition_variable changed_;  // with mu_: at stop and on changes
  VideoServerSettings settings_;     // guarded by mu_ (its script is unused)
  bool stopping_ = false;            // guarded by mu_
  std::map<std::uint64_t, std::shared_ptr<Connection>> open_;  // guarded by mu_

  ConnectionSet connections_;
  RequestLog requests_;

  struct Counters {
    std::atomic<std::uint64_t> connections{0}, requests{0}, extra{0}, lines{0}, heartbeats{0},
        splits{0}, silences{0}, closes{0}, bytes{0};
  };
  Counters count_;
};

}  // namespace sim
