#pragma once
// The simulator: its devices, one listening port each, the control port, and
// the threads that serve the connections.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config.h"
#include "device.h"
#include "net.h"
#include "request_log.h"

namespace sim {

inline constexpr std::size_t kMaxControlLine = 4096;

class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates the devices and binds every port; false with a message. Time
  // zero of the frame-rate clock is taken here.
  bool Start(const Options& options, std::string* error);
  // "camera ID port P" per device, "control port P" and "ready", flushed.
  void PrintPorts() const;
  // Accepts and serves connections until a stop is asked for or
  // `duration_s` (if not 0) has passed; then ends every connection and
  // joins every thread.
  void Run(double duration_s);
  // Safe to call from a signal handler.
  void RequestStop();
  // Executes one control command; returns the reply lines, the last one
  // starting with "ok" or "error". `quit` is set when the command asks the
  // simulator to stop, which the caller does after sending the reply.
  std::string Command(std::string_view line, bool* quit);

 private:
  struct Endpoint {
    std::unique_ptr<Device> device;
    int port = 0;                // fixed after Start
    Fd listener;                 // acceptor thread only; closed while the device is dead
    bool rebind_failed = false;  // acceptor thread only
    bool holed = false;          // acceptor thread only: `listener` is a black hole
    std::vector<Fd> fillers;     // acceptor thread only: what keeps its backlog full
  };
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Opens or closes listeners to match the devices' dead and black-hole
  // flags (acceptor, and Start).
  void SyncListeners();
  // Gives `e` the listener its device's flags ask for.
  void SyncListener(Endpoint& e);
  // Makes the acceptor sync the listeners and waits until it has, so that a
  // device set dead refuses connections once its command is answered.
  void AwaitListenerSync();
  void Wake();
  void ServeControl(Fd connection);
  void Spawn(std::function<void()> work);
  void ReapWorkers(bool all);
  // The devices named by words[1...] ("[KIND] ID|all"; KIND defaults to
  // `default_kind`); `*next` is the index of the word after them.
  std::vector<Endpoint*> FindTargets(const std::vector<std::string_view>& words,
                                     std::string_view default_kind, std::size_t* next,
                                     std::string* error);
  std::string CameraCommand(std::string_view verb, std::string_view line,
                            const std::vector<std::string_view>& words);
  std::string VideoServerCommand(std::string_view verb, std::string_view line,
                                 const std::vector<std::string_view>& words);

  std::string bind_;
  std::unique_ptr<RequestSink> sink_;  // before the devices: they write to it
  std::vector<Endpoint> endpoints_;    // the vector itself is fixed after Start
  Fd control_;
  int control_port_ = 0;
  Fd wake_read_;
  Fd wake_write_;
  std::atomic<bool> stop_{false};
  ConnectionSet control_clients_;
  std::list<Worker> workers_;  // acceptor thread only

  std::mutex sync_mu_;
  std::condition_variable synced_;
  std::uint64_t sync_wanted_ = 0;  // guarded by sync_mu_
  std::uint64_t sync_done_ = 0;    // guarded by sync_mu_
};

}  // namespace sim
