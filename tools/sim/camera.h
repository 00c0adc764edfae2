#pragma once
// A simulated IP camera: one MJPEG stream over HTTP at a frame-rate clock,
// optional basic authentication and misbehaviour on request, and on the
// same port the command requests (one per connection, answered as the
// route of their path says).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>

#include "config.h"
#include "device.h"
#include "http.h"

namespace sim {

inline constexpr std::string_view kBoundary = "ocelamsimboundary";

class Camera : public Device {
 public:
  // `clock_start` is time zero of the frame-rate clock shared by all cameras.
  // `sink` (may be null) also gets every request; it outlives the camera.
  Camera(const CameraSettings& settings, std::chrono::steady_clock::time_point clock_start,
         RequestSink* sink);

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

  // Adds a route, or replaces the one with the same path.
  void SetRoute(const CommandRoute& route);
  // Removes the route of `path` ("all": every route); false when none was.
  bool RemoveRoute(std::string_view path);
  // One "route camera ID path=... body=..." line per route.
  std::string RoutesText() const;

 private:
  // Per connection: a fault strikes once after `after` complete frames, and
  // every change of the settings arms it again.
  struct FaultState {
    std::uint64_t generation = 0;
    bool armed = true;
    int frames_since_armed = 0;
  };
  enum class WaitResult { kTimeUp, kChanged, kEnd };
  // What a request gets.
  struct Plan {
    enum class Kind { kStatus, kCommand, kStream };
    Kind kind = Kind::kStatus;
    int status = 400;           // of kStatus
    CommandRoute route;         // of kCommand
    std::uint64_t counter = 0;  // of kCommand: "{n}" of its answer
    bool own_challenge = true;  // a 401 carries the camera's own challenge
  };

  // Settles what `request` gets (`parsed`: its head could be read), and
  // counts the answer of its route.
  Plan PlanRequest(const HttpRequest& request, bool parsed);
  // The route of `target` other than "*", one for the exact target before
  // one for its path, the last of them; null when none. Needs mu_.
  CommandRoute* FindRoute(const std::string& target);
  // What the record of a request says was done: "stream", the route's mode,
  // or "reply:<status>".
  static std::string RecordedAction(const Plan& plan);

  // A 401 carries the camera's own challenge when `own_challenge`, else
  // the Basic one.
  void Respond(int fd, int status, bool own_challenge = false);
  // Whether `request` brings the credentials the settings `s` ask for;
  // needs mu_.
  bool Authorized(const HttpRequest& request, const CameraSettings& s) const;
  // The WWW-Authenticate value of a 401, with a fresh nonce for Digest.
  std::string Challenge();
  // Answers a command request as `route` says; "{n}" is `counter`.
  void Answer(int fd, const CommandRoute& route, std::uint64_t counter);
  // Sleeps `ms`; false when the camera stops or goes dead meanwhile.
  bool Pause(int ms);
  void Stream(int fd);
  // Waits until `deadline`, a settings change after `generation`, or the end.
  WaitResult WaitUntil(std::chrono::steady_clock::time_point deadline, std::uint64_t generation);
  // Index of the newest frame due at `now` on the frame-rate clock.
  std::uint64_t DueIndex(std::chrono::steady_clock::time_point now, double fps) const;
  std::chrono::steady_clock::time_point DueTime(std::uint64_t index, double fps) const;
  void Changed();

  const int id_;
  const int wanted_port_;
  const double fps_;
  const std::chrono::steady_clock::time_point clock_start_;

  mutable std::mutex mu_;
  std::condition_variable changed_;  // signalled with mu_ on every change and at stop
  CameraSettings settings_;          // guarded by mu_
  std::uint64_t generation_ = 0;     // guarded by mu_; bumped by every change
  bool stopping_ = false;            // guarded by mu_
  std::string last_target_ = "-";    // guarded by mu_
  std::deque<std::string> nonces_;   // guarded by mu_; the Digest nonces given out, newest last
  std::mt19937_64 random_;           // guarded by mu_

  ConnectionSet connections_;
  std::atomic<std::uint64_t> free_running_seq_{0};  // frame numbers when fps is 0

  struct Counters {
    std::atomic<std::uint64_t> connections{0}, requests{0}, streams{0}, frames{0}, bytes{0},
        drops{0}, stalls{0}, halfcloses{0}, unauthorized{0}, notfound{0}, otherstatus{0},
        commands{0}, silent{0}, unanswered{0};
  };
  Counters count_;
  RequestLog requests_;
};

}  // namespace sim
