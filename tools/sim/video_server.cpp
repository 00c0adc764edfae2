#include "video_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "http.h"
#include "jpeg_frame.h"

namespace sim {
namespace {

// How long the closing NUL byte may trail a request head that came without
// it (the gateway sends both at once).
constexpr int kNulGraceMs = 200;

void Signal(const Fd& wake) {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = write(wake.get(), &one, sizeof one);
}

void Drain(const Fd& wake) {
  std::uint64_t value;
  [[maybe_unused]] ssize_t ignored = read(wake.get(), &value, sizeof value);
}

int MillisecondsUntil(std::chrono::steady_clock::time_point t) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(t - std::chrono::steady_clock::now());
  // Rounded up, so that a wake-up is never early.
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

}  // namespace

VideoServer::VideoServer(const VideoServerSettings& settings, RequestSink* sink)
    : id_(settings.id),
      wanted_port_(settings.port),
      script_(settings.script),
      loop_(settings.loop),
      settings_(settings),
      requests_("videoserver", settings.id, sink) {}

bool VideoServer::dead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_.dead;
}

bool VideoServer::Ending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopping_ || settings_.dead;
}

void VideoServer::Serve(Fd connection) {
  Fd conn = std::move(connection);
  const int fd = conn.get();
  if (!connections_.Add(fd)) return;
  struct Leave {
    ConnectionSet& set;
    int fd;
    ~Leave() { set.Remove(fd); }
  } leave{connections_, fd};
  const std::uint64_t number = ++count_.connections;
  if (dead()) return;

  std::string buffer;
  bool by_nul = false;
  std::size_t end = ReadUntilEnd(
      fd, [&](std::string_view data) { return RequestEnd(data, &by_nul); }, kMaxRequestHead,
      kRequestTimeoutMs, &buffer);
  if (end != 0 && !by_nul) {
    std::size_t with_nul =
        ReadUntil(fd, std::string_view("\0", 1), kMaxRequestHead, kNulGraceMs, &buffer);
    if (with_nul != 0) end = with_nul;
  }
  const std::int64_t arrived = NowRealtimeUs();
  if (end == 0) {
    if (!buffer.empty()) requests_.Add(number, arrived, "incomplete", buffer);
    return;
  }
  ++count_.requests;
  // Recorded once the connection is listed (a test that sees the request
  // can inject lines into it right away), or when it ends before that.
  bool recorded = false;
  auto record = [&] {
    if (!recorded) requests_.Add(number, arrived, "lines", buffer.substr(0, end));
    recorded = true;
  };
  auto c = std::make_shared<Connection>();
  c->fd = fd;
  c->wake = Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!c->wake.valid()) {
    record();
    return;
  }
  SetNoDelay(fd);
  std::string head;
  {
    std::lock_guard<std::mutex> lock(mu_);
    head = settings_.head;
  }
  // The head goes first, before the control port can reach the connection.
  if (!head.empty()) {
    if (!SendAll(fd, head)) {
      record();
      return;
    }
    count_.bytes += head.size();
  }
  {
    // Listed even while stopping: Run then ends at once, and the list is
    // left below as always.
    std::lock_guard<std::mutex> lock(mu_);
    open_[number] = c;
  }
  // Leaves the open list, and stops the control port's sends, before
  // `conn` closes the descriptor.
  struct Unlist {
    VideoServer& server;
    Connection& c;
    std::uint64_t number;
    ~Unlist() {
      {
        std::lock_guard<std::mutex> lock(server.mu_);
        server.open_.erase(number);
      }
      std::lock_guard<std::mutex> send_lock(c.send_mu);
      c.closed = true;
    }
  } unlist{*this, *c, number};
  record();
  Run(*c, number, buffer.substr(end));
}

void VideoServer::Run(Connection& c, std::uint64_t number, std::string pending) {
  const Clock::time_point never = Clock::time_point::max();
  std::size_t step = 0;
  Clock::time_point script_due = Clock::now();
  Clock::time_point next_heartbeat = never;
  int heartbeat_seen = -1;

  while (true) {
    VideoServerSettings s;
    Clock::time_point silence_until;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || settings_.dead) return;
      s.heartbeat_ms = settings_.heartbeat_ms;
      s.heartbeat_text = settings_.heartbeat_text;
      silence_until = c.silence_until;
    }
    Clock::time_point now = Clock::now();
    if (s.heartbeat_ms != heartbeat_seen) {
      heartbeat_seen = s.heartbeat_ms;
      next_heartbeat = s.heartbeat_ms > 0 ? now + std::chrono::milliseconds(s.heartbeat_ms) : never;
    }
    Clock::time_point wake_at = never;
    if (now < silence_until) {
      // Whatever fell due in the silence waits for its end; the heartbeat
      // comes a whole interval after it.
      wake_at = silence_until;
      script_due = std::max(script_due, silence_until);
      if (s.heartbeat_ms > 0)
        next_heartbeat = silence_until + std::chrono::milliseconds(s.heartbeat_ms);
    } else if (step < script_.size() && now >= script_due) {
      const ScriptStep& st = script_[step];
      if (++step == script_.size() && loop_) step = 0;
      if (!RunStep(c, st, now, &script_due)) return;
      continue;
    } else if (now >= next_heartbeat) {
      {
        std::lock_guard<std::mutex> send_lock(c.send_mu);
        if (!SendLocked(c, s.heartbeat_text + "\r\n")) return;
      }
      ++count_.heartbeats;
      next_heartbeat += std::chrono::milliseconds(s.heartbeat_ms);
      // A connection that fell behind does not send a burst to catch up.
      if (next_heartbeat <= now) next_heartbeat = now + std::chrono::milliseconds(s.heartbeat_ms);
      continue;
    } else {
      wake_at = next_heartbeat;
      if (step < script_.size()) wake_at = std::min(wake_at, script_due);
    }

    pollfd p[2] = {{c.fd, POLLIN, 0}, {c.wake.get(), POLLIN, 0}};
    int r = poll(p, 2, wake_at == never ? -1 : MillisecondsUntil(wake_at));
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    if (p[1].revents) Drain(c.wake);
    if (p[0].revents && !ReadMore(c, number, &pending)) return;
  }
}

bool VideoServer::RunStep(Connection& c, const ScriptStep& st, Clock::time_point now,
                          Clock::time_point* script_due) {
  switch (st.kind) {
    case ScriptStep::Kind::kSend: {
      std::lock_guard<std::mutex> send_lock(c.send_mu);
      if (!SendLocked(c, st.text)) return false;
      ++count_.lines;
      break;
    }
    case ScriptStep::Kind::kWait:
      *script_due = now + std::chrono::milliseconds(st.ms);
      break;
    case ScriptStep::Kind::kSilence: {
      std::lock_guard<std::mutex> lock(mu_);
      c.silence_until = now + std::chrono::milliseconds(st.ms);
      ++count_.silences;
      break;
    }
    case ScriptStep::Kind::kSplit: {
      std::lock_guard<std::mutex> send_lock(c.send_mu);
      std::string_view text = st.text;
      if (!SendLocked(c, text.substr(0, st.at))) return false;
      if (!PauseLocked(c, Clock::now() + std::chrono::milliseconds(st.ms))) return false;
      if (!SendLocked(c, text.substr(st.at))) return false;
      ++count_.splits;
      ++count_.lines;
      break;
    }
    case ScriptStep::Kind::kClose:
      ++count_.closes;
      DrainReadable(c.fd);
      return false;
  }
  return true;
}

bool VideoServer::ReadMore(Connection& c, std::uint64_t number, std::string* pending) {
  char chunk[4096];
  ssize_t got = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (got > 0) pending->append(chunk, static_cast<std::size_t>(got));
  // The gateway asks once per connection; anything more is recorded so
  // that a test sees it.
  bool by_nul = false;
  for (std::size_t end = RequestEnd(*pending, &by_nul); end != 0;
       end = RequestEnd(*pending, &by_nul)) {
    requests_.Add(number, NowRealtimeUs(), "extra", pending->substr(0, end));
    ++count_.extra;
    pending->erase(0, end);
  }
  if (pending->size() >= kMaxRequestHead) {
    requests_.Add(number, NowRealtimeUs(), "incomplete", *pending);
    pending->clear();
  }
  return true;
}

bool VideoServer::SendLocked(Connection& c, std::string_view bytes) {
  if (c.closed || !SendAll(c.fd, bytes)) return false;
  count_.bytes += bytes.size();
  return true;
}

bool VideoServer::PauseLocked(Connection& c, Clock::time_point deadline) {
  while (true) {
    if (Ending()) return false;
    if (Clock::now() >= deadline) return true;
    pollfd p{c.wake.get(), POLLIN, 0};
    if (poll(&p, 1, MillisecondsUntil(deadline)) > 0) Drain(c.wake);
  }
}

std::vector<std::shared_ptr<VideoServer::Connection>> VideoServer::OpenConnections() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::shared_ptr<Connection>> out;
  for (const auto& [number, c] : open_) out.push_back(c);
  return out;
}

int VideoServer::Send(std::string_view bytes) {
  int reached = 0;
  for (const std::shared_ptr<Connection>& c : OpenConnections()) {
    std::lock_guard<std::mutex> send_lock(c->send_mu);
    if (SendLocked(*c, bytes)) {
      ++count_.lines;
      ++reached;
    }
  }
  return reached;
}

int VideoServer::Split(std::string_view bytes, std::size_t at, int ms) {
  std::vector<std::shared_ptr<Connection>> open = OpenConnections();
  // Every connection is held for the whole split (always in the order they
  // came, so two splits cannot block each other), so that no heartbeat lands
  // between the two pieces; the pause is taken once for all.
  std::vector<std::unique_lock<std::mutex>> held;
  for (const auto& c : open) held.emplace_back(c->send_mu);
  std::vector<bool> alive;
  for (const auto& c : open) alive.push_back(SendLocked(*c, bytes.substr(0, at)));
  {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_until(lock, Clock::now() + std::chrono::milliseconds(ms),
                        [&] { return stopping_; });
  }
  int reached = 0;
  for (std::size_t i = 0; i < open.size(); ++i) {
    if (alive[i] && SendLocked(*open[i], bytes.substr(at))) {
      ++count_.lines;
      ++count_.splits;
      ++reached;
    }
  }
  return reached;
}

int VideoServer::Silence(int ms) {
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
  for (const auto& [number, c] : open_) {
    c->silence_until = until;
    Signal(c->wake);
    ++count_.silences;
  }
  return static_cast<int>(open_.size());
}

int VideoServer::CloseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  // Under mu_ every listed descriptor is still open: a connection leaves
  // the list before it closes.
  for (const auto& [number, c] : open_) {
    shutdown(c->fd, SHUT_RDWR);
    ++count_.closes;
  }
  return static_cast<int>(open_.size());
}

void VideoServer::WakeAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [number, c] : open_) Signal(c->wake);
  changed_.notify_all();
}

bool VideoServer::Set(std::string_view keys, std::string* error) {
  bool now_dead = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    VideoServerSettings changed = settings_;
    if (!ApplyVideoServerKeys(keys, true, &changed, error)) return false;
    settings_ = changed;
    now_dead = settings_.dead;
  }
  WakeAll();
  if (now_dead) connections_.ShutdownAll(false);
  return true;
}

void VideoServer::Clear() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.dead = false;
    for (const auto& [number, c] : open_) c->silence_until = Clock::time_point{};
  }
  WakeAll();
}

std::string VideoServer::Stats() const {
  auto item = [](const char* name, std::uint64_t v) {
    return std::string(name) + "=" + std::to_string(v);
  };
  return item("connections", count_.connections) + " " +
         item("open", static_cast<std::uint64_t>(connections_.count())) + " " +
         item("requests", count_.requests) + " " + item("extra", count_.extra) + " " +
         item("lines", count_.lines) + " " + item("heartbeats", count_.heartbeats) + " " +
         item("splits", count_.splits) + " " + item("silences", count_.silences) + " " +
         item("closes", count_.closes) + " " + item("bytes", count_.bytes);
}

void VideoServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  WakeAll();
  connections_.ShutdownAll(true);
}

}  // namespace sim
