#include "camera.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>

#include "http.h"
#include "jpeg_frame.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// After an error reply the peer gets this long to read it and hang up, so
// that our close does not reset the connection under the unread reply.
constexpr int kLingerAfterReplyMs = 1000;

constexpr std::string_view kStreamHead =
    "HTTP/1.0 200 OK\r\n"
    "Server: ocelam-sim\r\n"
    "Connection: close\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "Content-Type: multipart/x-mixed-replace;boundary=ocelamsimboundary\r\n"
    "\r\n";

std::string PartHead(std::size_t length) {
  std::string head = "--";
  head += kBoundary;
  head += "\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  head += std::to_string(length);
  head += "\r\n\r\n";
  return head;
}

// Noise for the gaps between frames: any byte but 0xFF, so it can never
// form a JPEG marker.
void FillGarbage(std::size_t n, std::uint32_t* state, std::string* out) {
  out->resize(n);
  for (char& c : *out) {
    *state = *state * 1103515245u + 12345u;
    c = static_cast<char>((*state >> 16) % 0xFF);
  }
}

void LingerAndClose(int fd) {
  shutdown(fd, SHUT_WR);
  auto deadline = Clock::now() + std::chrono::milliseconds(kLingerAfterReplyMs);
  char sink[512];
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    if (recv(fd, sink, sizeof sink, 0) <= 0) return;
  }
}

}  // namespace

Camera::Camera(const CameraSettings& settings, Clock::time_point clock_start)
    : id_(settings.id),
      wanted_port_(settings.port),
      fps_(settings.fps),
      clock_start_(clock_start),
      settings_(settings) {}

bool Camera::dead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.dead;
}

void Camera::Serve(Fd connection) {
  Fd conn = std::move(connection);
  const int fd = conn.get();
  if (!connections_.Add(fd)) return;
  // Leaves the set before `conn` closes the descriptor.
  struct Leave {
    ConnectionSet& set;
    int fd;
    ~Leave() { set.Remove(fd); }
  } leave{connections_, fd};
  ++count_.connections;
  if (dead()) return;

  std::string head;
  std::size_t head_length = ReadUntil(fd, "\r\n\r\n", kMaxRequestHead, kRequestTimeoutMs, &head);
  if (head_length == 0) {
    if (head.size() >= kMaxRequestHead) Respond(fd, 400);
    return;
  }
  HttpRequest request;
  if (!ParseRequestHead(std::string_view(head).substr(0, head_length), &request)) {
    Respond(fd, 400);
    return;
  }
  ++count_.requests;
  CameraSettings s;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Shown on one control line: no blanks or control bytes.
    last_target_ = request.target;
    for (char& c : last_target_)
      if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    s = settings_;
  }
  if (s.status != 0) {
    Respond(fd, s.status);
  } else if (request.method != "GET") {
    Respond(fd, 405);
  } else if (!TargetMatches(request.target, s.path)) {
    Respond(fd, 404);
  } else if (!s.user.empty() && !BasicAuthMatches(request.authorization, s.user, s.pass)) {
    Respond(fd, 401);
  } else {
    ++count_.streams;
    Stream(fd);
  }
}

void Camera::Respond(int fd, int status) {
  if (status == 401)
    ++count_.unauthorized;
  else if (status == 404)
    ++count_.notfound;
  else
    ++count_.otherstatus;
  if (SendAll(fd, StatusReply(status))) LingerAndClose(fd);
}

void Camera::Stream(int fd) {
  if (!SendAll(fd, kStreamHead)) return;
  FaultState fault;
  CameraSettings s;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fault.generation = generation_;
  }
  // A new client gets the newest due frame at once, like a real camera.
  std::uint64_t next = fps_ > 0 ? DueIndex(Clock::now(), fps_) : 0;
  std::string frame;
  std::string garbage;
  std::uint32_t garbage_state = static_cast<std::uint32_t>(id_) * 2654435761u;

  while (true) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || settings_.dead) return;
      s = settings_;
      if (generation_ != fault.generation) fault = FaultState{generation_, true, 0};
    }
    std::uint64_t seq;
    if (fps_ > 0) {
      if (Clock::now() < DueTime(next, fps_)) {
        WaitResult r = WaitUntil(DueTime(next, fps_), fault.generation);
        if (r == WaitResult::kEnd) return;
        if (r == WaitResult::kChanged) continue;
      }
      seq = next;
    } else {
      seq = free_running_seq_++;
    }

    BuildFrame(FrameStamp{id_, seq, NowRealtimeUs()}, s.size, &frame);
    const std::string part_head = PartHead(frame.size());
    const std::string_view body = frame;
    const bool strike = fault.armed && fault.frames_since_armed >= s.after &&
                        (s.drop || s.stall_ms > 0);
    if (!strike) {
      if (!SendPieces(fd, {part_head, body, "\r\n"})) return;
      count_.bytes += part_head.size() + body.size() + 2;
    } else {
      fault.armed = false;
      const std::size_t half = body.size() / 2;
      if (!SendPieces(fd, {part_head, body.substr(0, half)})) return;
      count_.bytes += part_head.size() + half;
      if (s.stall_ms > 0) {
        ++count_.stalls;
        // A change of the settings (say "stall=0") ends the pause early.
        WaitResult r = WaitUntil(Clock::now() + std::chrono::milliseconds(s.stall_ms),
                                 fault.generation);
        if (r == WaitResult::kEnd) return;
      }
      if (s.drop) {
        ++count_.drops;
        return;
      }
      if (!SendPieces(fd, {body.substr(half), "\r\n"})) return;
      count_.bytes += body.size() - half + 2;
    }
    ++count_.frames;
    ++fault.frames_since_armed;

    if (s.garbage > 0) {
      FillGarbage(static_cast<std::size_t>(s.garbage), &garbage_state, &garbage);
      if (!SendAll(fd, garbage)) return;
      count_.bytes += garbage.size();
    }
    // A client that fell behind skips to the newest due frame.
    if (fps_ > 0) next = std::max(next + 1, DueIndex(Clock::now(), fps_));
  }
}

Camera::WaitResult Camera::WaitUntil(Clock::time_point deadline, std::uint64_t generation) {
  std::unique_lock<std::mutex> lock(mu_);
  bool woke = changed_.wait_until(lock, deadline, [&] {
    return stopping_ || settings_.dead || generation_ != generation;
  });
  if (stopping_ || settings_.dead) return WaitResult::kEnd;
  return woke ? WaitResult::kChanged : WaitResult::kTimeUp;
}

std::uint64_t Camera::DueIndex(Clock::time_point now, double fps) const {
  double elapsed = std::chrono::duration<double>(now - clock_start_).count();
  if (elapsed <= 0) return 0;
  return static_cast<std::uint64_t>(std::floor(elapsed * fps));
}

Clock::time_point Camera::DueTime(std::uint64_t index, double fps) const {
  return clock_start_ + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(index) / fps));
}

bool Camera::Set(std::string_view keys, std::string* error) {
  bool now_dead = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    CameraSettings changed = settings_;
    if (!ApplyCameraKeys(keys, true, &changed, error)) return false;
    settings_ = changed;
    now_dead = settings_.dead;
  }
  Changed();
  if (now_dead) connections_.ShutdownAll(false);
  return true;
}

void Camera::Clear() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ClearFaults(&settings_);
  }
  Changed();
}

void Camera::Changed() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++generation_;
  }
  changed_.notify_all();
}

std::string Camera::Stats() const {
  std::string target;
  {
    std::lock_guard<std::mutex> lock(mu_);
    target = last_target_;
  }
  auto item = [](const char* name, std::uint64_t v) {
    return std::string(name) + "=" + std::to_string(v) + " ";
  };
  return item("connections", count_.connections) +
         item("open", static_cast<std::uint64_t>(connections_.count())) +
         item("requests", count_.requests) + item("streams", count_.streams) +
         item("frames", count_.frames) + item("bytes", count_.bytes) +
         item("drops", count_.drops) + item("stalls", count_.stalls) +
         item("unauthorized", count_.unauthorized) + item("notfound", count_.notfound) +
         item("otherstatus", count_.otherstatus) + "last=" + target;
}

void Camera::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    ++generation_;
  }
  changed_.notify_all();
  connections_.ShutdownAll(true);
}

}  // namespace sim
