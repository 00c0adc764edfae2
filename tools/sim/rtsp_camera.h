#pragma once
// A simulated RTSP camera: H.264 or H.265 over RTSP (RTP interleaved on the
// RTSP connection, or UDP), served by GStreamer's RTSP server. Every frame
// is drawn here and carries its number (frame_mark.h); numbers follow one
// clock per camera, so that a test maps a decoded frame to its send time.
//
// The simulator accepts the connections as for every device; each is
// relayed to the RTSP server through a loopback connection, which lets the
// camera record the requests byte for byte and end a connection from
// outside.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "device.h"
#include "taken_frames.h"

namespace sim {

class RtspCamera : public Device {
 public:
  // `clock_start` is time zero of the frame clock; `sink` (may be null)
  // gets every request and a "session" line per PLAY; it outlives the camera.
  RtspCamera(const CameraSettings& settings, std::chrono::steady_clock::time_point clock_start,
             RequestSink* sink);
  ~RtspCamera() override;

  const char* kind() const override { return "camera"; }
  int id() const override { return id_; }
  int wanted_port() const override { return wanted_port_; }
  bool dead() const override;
  bool blackhole() const override;
  void Serve(Fd connection) override;
  bool Set(std::string_view keys, std::string* error) override;
  void Clear() override;
  std::string Stats() const override;
  void Stop() override;
  const RequestLog& requests() const override { return requests_; }

  // Applies `keys` (the picture, codec, fps and path included), ends every
  // open connection and serves the new stream to the connections that come
  // after; false with a message (nothing changed).
  bool Restart(std::string_view keys, std::string* error);

  // Steps the camera's wall clock, the NTP time of its RTCP sender reports,
  // by `ms` (either sign) from now on; frame marks and RTP timestamps keep
  // following the true clock.
  void StepClock(std::int64_t ms);

  // "N=US ..." of the frames from `from` to `to`: when each was taken
  // (taken_frames.h).
  std::string TakenText(std::uint64_t from, std::uint64_t to) const {
    return wire_->taken.Text(from, to);
  }

  struct Connection;
  struct Feeder;
  struct Server;
  // What the GStreamer probes of the camera's media read and count: they run
  // on GStreamer's streaming threads and may outlive the camera.
  struct Wire {
    std::atomic<int> rtploss{0};                  // every Nth video RTP packet left out
    std::atomic<std::uint64_t> lost{0};           // packets left out so far
    std::atomic<std::int64_t> clock_shift_ms{0};  // added to the sender reports' NTP time
    TakenFrames taken;                            // when each frame was taken
  };

 private:
  // Builds the RTSP server's mount and authentication from `s` (on the
  // GStreamer thread).
  void Configure(const CameraSettings& s);
  // Relays bytes both ways until either side ends.
  void Relay(int client, int inner, const std::shared_ptr<Connection>& conn);
  // Called on the GStreamer thread for every new media (one per client,
  // or the one of a shared camera).
  void StartFeeder(void* media);
  // A shared camera's media, built and prepared at configuration so that
  // its encoder runs before any client comes (GStreamer thread).
  void StartShared(void* factory, const CameraSettings& s);
  // Takes the feeders of shared media out of the list and ends them; the
  // caller joins them (no lock held).
  std::vector<std::shared_ptr<Feeder>> RetireSharedFeeders();
  // Reads the client's bytes of one receive: returns those for the server;
  // a redirected request is answered into `to_client` instead.
  std::string TakeClientBytes(Connection& c, std::string_view data, std::string* to_client);
  void Feed(Feeder* feeder);
  // Newest frame due at `now`, and when frame `n` is due; need mu_.
  std::uint64_t DueIndex(std::chrono::steady_clock::time_point now) const;
  std::chrono::steady_clock::time_point DueTime(std::uint64_t n) const;
  void JoinFeeders(const Connection* conn);  // null: all
  // The rtploss of the probes follows settings_ (mu_ held).
  void UpdateWire();
  void Changed();
  // The response to a request came: record it with the status.
  void Answered(Connection& conn, int status);

  friend struct Server;

  const int id_;
  const int wanted_port_;
  RequestSink* const sink_;

  mutable std::mutex mu_;
  std::condition_variable changed_;  // with mu_: every change, connection end and stop
  CameraSettings settings_;          // guarded by mu_
  std::uint64_t generation_ = 0;     // guarded by mu_
  bool stopping_ = false;            // guarded by mu_
  // The frame clock: frame n (from `base_` on) is due at epoch_ + (n - base_) / fps_.
  std::chrono::steady_clock::time_point epoch_;  // guarded by mu_
  std::int64_t epoch_realtime_us_ = 0;           // guarded by mu_
  std::uint64_t base_ = 0;                       // guarded by mu_
  double fps_ = 10;                              // guarded by mu_
  std::list<std::shared_ptr<Feeder>> feeders_;   // guarded by mu_

  std::mutex pair_mu_;
  Fd pair_listener_;   // guarded by pair_mu_: the private port of the relay's connections
  int pair_port_ = 0;  // guarded by pair_mu_

  const std::shared_ptr<Wire> wire_ = std::make_shared<Wire>();
  std::unique_ptr<Server> server_;
  ConnectionSet connections_;

  struct Counters {
    std::atomic<std::uint64_t> connections{0}, requests{0}, streams{0}, frames{0}, drops{0},
        stalls{0}, unauthorized{0}, restarts{0}, bytes{0}, redirects{0};
  };
  Counters count_;
  RequestLog requests_;
};

}  // namespace sim
