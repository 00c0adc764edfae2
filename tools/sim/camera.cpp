#include "camera.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "http.h"
#include "jpeg_frame.h"
#include "text.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// After an error reply the peer gets this long to read it and hang up, so
// that our close does not reset the connection under the unread reply.
constexpr int kLingerAfterReplyMs = 1000;
// How long a request that is not for the stream may take to send its
// closing NUL byte after the head (the gateway sends both at once).
constexpr int kNulGraceMs = 200;
// Digest nonces a camera remembers; an answer to an older one is refused.
constexpr std::size_t kNoncesKept = 1000;

constexpr std::string_view kStreamHead =
    "HTTP/1.0 200 OK\r\n"
    "Server: ocelam-sim\r\n"
    "Connection: close\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "Content-Type: multipart/x-mixed-replace;boundary=ocelamsimboundary\r\n"
    "\r\n";

// The announced length may lie (`lie` added, never below 0) or be left out,
// as some cameras do; the frame's bytes are the same either way.
std::string PartHead(std::size_t length, const CameraSettings& s) {
  std::string head = "--";
  head += kBoundary;
  head += "\r\nContent-Type: image/jpeg\r\n";
  if (s.part_length) {
    long long announced = static_cast<long long>(length) + s.length_lie;
    head += "Content-Length: ";
    head += std::to_string(std::max(0LL, announced));
    head += "\r\n";
  }
  head += "\r\n";
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

Camera::Camera(const CameraSettings& settings, Clock::time_point clock_start, RequestSink* sink)
    : id_(settings.id),
      wanted_port_(settings.port),
      fps_(settings.fps),
      clock_start_(clock_start),
      settings_(settings),
      random_(std::random_device{}()),
      requests_("camera", settings.id, sink) {}

bool Camera::dead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.dead;
}

bool Camera::blackhole() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.blackhole;
}

bool Camera::Authorized(const HttpRequest& request, const CameraSettings& s) const {
  if (s.user.empty()) return true;
  if (s.auth == CameraSettings::Auth::kBasic)
    return BasicAuthMatches(request.authorization, s.user, s.pass);
  return DigestAuthMatches(request.authorization, request.method, request.target, s.user, s.pass,
                           s.algorithm, s.qop, [&](std::string_view nonce) {
                             return std::find(nonces_.begin(), nonces_.end(), nonce) !=
                                    nonces_.end();
                           });
}

std::string Camera::Challenge() {
  std::lock_guard<std::mutex> lock(mu_);
  if (settings_.user.empty() || settings_.auth == CameraSettings::Auth::kBasic) return {};
  char nonce[33], opaque[17];
  std::snprintf(nonce, sizeof nonce, "%016llx%016llx", static_cast<unsigned long long>(random_()),
                static_cast<unsigned long long>(random_()));
  std::snprintf(opaque, sizeof opaque, "%016llx", static_cast<unsigned long long>(random_()));
  nonces_.push_back(nonce);
  if (nonces_.size() > kNoncesKept) nonces_.pop_front();
  return DigestChallenge(settings_.algorithm, settings_.qop, nonce, opaque);
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
  const std::uint64_t connection_number = ++count_.connections;
  if (dead()) return;

  std::string buffer;
  bool by_nul = false;
  const std::size_t end = ReadUntilEnd(
      fd, [&](std::string_view data) { return RequestEnd(data, &by_nul); }, kMaxRequestHead,
      kRequestTimeoutMs, &buffer);
  if (end == 0) {
    if (!buffer.empty()) requests_.Add(connection_number, NowRealtimeUs(), "incomplete", buffer);
    if (buffer.size() >= kMaxRequestHead) Respond(fd, 400);
    return;
  }
  HttpRequest request;
  const bool parsed =
      ParseRequestHead(std::string_view(buffer).substr(0, by_nul ? end - 1 : end), &request);
  // What to do is settled before the request is recorded, so its line can
  // say so.
  const Plan plan = PlanRequest(request, parsed);
  if (parsed) ++count_.requests;
  // The gateway ends its request with a NUL byte; a head without one yet
  // gets a moment for it, so that the record holds it. The stream does not
  // wait: its clients send none.
  if (plan.kind != Plan::Kind::kStream && !by_nul)
    ReadUntil(fd, std::string_view("\0", 1), kMaxRequestHead, kNulGraceMs, &buffer);
  requests_.Add(connection_number, NowRealtimeUs(), RecordedAction(plan), buffer);

  if (plan.kind == Plan::Kind::kStream) {
    ++count_.streams;
    Stream(fd);
  } else if (plan.kind == Plan::Kind::kCommand) {
    Answer(fd, plan.route, plan.counter);
  } else {
    Respond(fd, plan.status, plan.own_challenge);
  }
}

Camera::Plan Camera::PlanRequest(const HttpRequest& request, bool parsed) {
  Plan plan;
  std::lock_guard<std::mutex> lock(mu_);
  const CameraSettings& s = settings_;
  CommandRoute* found = nullptr;
  if (parsed) {
    // Shown on one control line: no blanks or control bytes.
    last_target_ = request.target;
    for (char& c : last_target_)
      if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    found = FindRoute(request.target);
  }
  // A forced 401 carries the Basic challenge, whatever the camera's own.
  plan.own_challenge = s.status == 0;
  const bool stream_path = parsed && TargetMatches(request.target, s.path);
  if (!parsed) {
    plan.status = 400;
  } else if (s.status != 0) {
    plan.status = s.status;
  } else if (found == nullptr && stream_path) {
    if (request.method != "GET")
      plan.status = 405;
    else if (!Authorized(request, s))
      plan.status = 401;
    else
      plan.kind = Plan::Kind::kStream;
  } else {
    if (found == nullptr)
      for (CommandRoute& r : settings_.routes)
        if (r.path == "*") found = &r;
    if (found != nullptr && !Authorized(request, s)) {
      plan.status = 401;
    } else if (found != nullptr) {
      plan.kind = Plan::Kind::kCommand;
      plan.counter = found->counter++;
      plan.route = *found;
    } else {
      plan.status = 404;
    }
  }
  return plan;
}

CommandRoute* Camera::FindRoute(const std::string& target) {
  CommandRoute* found = nullptr;
  // A route for the exact target wins over one for its path.
  for (int exact = 1; exact >= 0 && found == nullptr; --exact)
    for (CommandRoute& r : settings_.routes)
      if (r.path != "*" && (exact ? r.path == target : TargetMatches(target, r.path))) found = &r;
  return found;
}

std::string Camera::RecordedAction(const Plan& plan) {
  if (plan.kind == Plan::Kind::kStream) return "stream";
  if (plan.kind == Plan::Kind::kCommand && plan.route.mode != CommandRoute::Mode::kReply)
    return ModeName(plan.route.mode);
  return "reply:" +
         std::to_string(plan.kind == Plan::Kind::kCommand ? plan.route.status : plan.status);
}

void Camera::Respond(int fd, int status, bool own_challenge) {
  if (status == 401)
    ++count_.unauthorized;
  else if (status == 404)
    ++count_.notfound;
  else
    ++count_.otherstatus;
  std::string challenge;
  if (status == 401 && own_challenge) challenge = Challenge();
  if (SendAll(fd, StatusReply(status, challenge))) LingerAndClose(fd);
}

void Camera::Answer(int fd, const CommandRoute& route, std::uint64_t counter) {
  using Mode = CommandRoute::Mode;
  ++count_.commands;
  if (route.delay_ms > 0 && !Pause(route.delay_ms)) return;
  switch (route.mode) {
    case Mode::kSilent: {
      ++count_.silent;
      // Never a byte back; the connection ends when the client (or a stop)
      // ends it.
      char sink[512];
      while (recv(fd, sink, sizeof sink, 0) > 0) {
      }
      return;
    }
    case Mode::kClose:
      ++count_.unanswered;
      DrainReadable(fd);
      return;
    case Mode::kReset:
      ++count_.unanswered;
      SetResetOnClose(fd);
      return;
    case Mode::kReply:
    case Mode::kRaw:
      break;
  }
  std::string body = route.has_body
                         ? route.body
                         : std::to_string(route.status) + " " + ReasonPhrase(route.status) + "\r\n";
  const std::string n = std::to_string(counter);
  for (std::size_t at = body.find("{n}"); at != std::string::npos; at = body.find("{n}", at)) {
    body.replace(at, 3, n);
    at += n.size();
  }
  body.append(static_cast<std::size_t>(route.pad), '.');
  const std::string reply = route.mode == Mode::kRaw ? body : ReplyWithBody(route.status, body);
  // Each send leaves as a segment of its own: the gateway reads only the
  // first one.
  SetNoDelay(fd);
  const std::string_view all = reply;
  if (route.split_at > 0 && route.split_at < all.size()) {
    if (!SendAll(fd, all.substr(0, route.split_at))) return;
    if (!Pause(route.split_ms)) return;
    if (!SendAll(fd, all.substr(route.split_at))) return;
  } else if (!SendAll(fd, all)) {
    return;
  }
  LingerAndClose(fd);
}

bool Camera::Pause(int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    std::uint64_t generation;
    {
      std::lock_guard<std::mutex> lock(mu_);
      generation = generation_;
    }
    if (WaitUntil(deadline, generation) == WaitResult::kEnd) return false;
  }
  return true;
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

    BuildFrame(FrameStamp{id_, seq, NowRealtimeUs()}, s.size, s.exif, &frame);
    const std::string part_head = PartHead(frame.size(), s);
    const std::string_view body = frame;
    const bool strike = fault.armed && fault.frames_since_armed >= s.after &&
                        (s.drop || s.half_close || s.stall_ms > 0);
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
        WaitResult r =
            WaitUntil(Clock::now() + std::chrono::milliseconds(s.stall_ms), fault.generation);
        if (r == WaitResult::kEnd) return;
      }
      if (s.drop) {
        ++count_.drops;
        return;
      }
      if (s.half_close) {
        // Our side is done; the client still may send, and its close (or
        // ours at stop or death) ends the connection.
        ++count_.halfcloses;
        shutdown(fd, SHUT_WR);
        char sink[512];
        while (recv(fd, sink, sizeof sink, 0) > 0) {
        }
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
  bool woke = changed_.wait_until(
      lock, deadline, [&] { return stopping_ || settings_.dead || generation_ != generation; });
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
    if (!ApplyCameraKeys(keys, KeyTime::kSet, &changed, error)) return false;
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
         item("frames", count_.frames) + item("bytes", count_.bytes) + item("drops", count_.drops) +
         item("stalls", count_.stalls) + item("halfcloses", count_.halfcloses) +
         item("unauthorized", count_.unauthorized) + item("notfound", count_.notfound) +
         item("otherstatus", count_.otherstatus) + item("commands", count_.commands) +
         item("silent", count_.silent) + item("unanswered", count_.unanswered) + "last=" + target;
}

void Camera::SetRoute(const CommandRoute& route) {
  std::lock_guard<std::mutex> lock(mu_);
  for (CommandRoute& r : settings_.routes) {
    if (r.path == route.path) {
      r = route;
      return;
    }
  }
  settings_.routes.push_back(route);
}

bool Camera::RemoveRoute(std::string_view path) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t removed = std::erase_if(
      settings_.routes, [&](const CommandRoute& r) { return path == "all" || r.path == path; });
  return removed > 0;
}

std::string Camera::RoutesText() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const CommandRoute& r : settings_.routes) {
    const std::string body =
        r.has_body ? r.body : std::to_string(r.status) + " " + ReasonPhrase(r.status) + "\r\n";
    out += "route camera " + std::to_string(id_) + " path=" + r.path +
           " status=" + std::to_string(r.status) + " mode=" + ModeName(r.mode) +
           " delay=" + std::to_string(r.delay_ms) + " split=" + std::to_string(r.split_at) + ":" +
           std::to_string(r.split_ms) + " pad=" + std::to_string(r.pad) +
           " counter=" + std::to_string(r.counter) + " body=" + Escape(body) + "\n";
  }
  return out;
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
