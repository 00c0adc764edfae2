#include "simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera.h"
#include "rtsp_camera.h"
#include "text.h"
#include "video_server.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// How often the acceptor looks for finished threads and retries a port that
// could not be bound again.
constexpr int kHousekeepingMs = 200;
// How long a control command waits for the listeners to follow a change.
constexpr auto kListenerSyncTimeout = std::chrono::seconds(5);
// After a failed accept (say, out of descriptors) the acceptor pauses this
// long instead of spinning on the pending connection.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// The largest step of an RTSP camera's clock: a day.
constexpr long kMaxClockStepMs = 24L * 3600 * 1000;

constexpr const char* kControlHelp =
    "list\n"
    "set [KIND] ID|all key=value[,key=value...]\n"
    "clear [KIND] ID|all\n"
    "restart [camera] ID|all [key=value,...]\n"
    "clockstep [camera] ID|all MS\n"
    "taken [camera] ID FROM TO\n"
    "stats [KIND] ID\n"
    "requests [KIND] ID [FROM]\n"
    "route [camera] ID|all path=PATH [status=CODE] [body=TEXT] [mode=MODE] [delay=MS]"
    " [split=AT:MS] [pad=N] [counter=N]\n"
    "unroute [camera] ID|all PATH|all\n"
    "routes [camera] ID\n"
    "send [videoserver] ID|all TEXT\n"
    "sendline [videoserver] ID|all TEXT\n"
    "split [videoserver] ID|all AT MS TEXT\n"
    "silence [videoserver] ID|all MS\n"
    "close [videoserver] ID|all\n"
    "quit\n";

constexpr std::string_view kSeparators = " \t\r";

// What follows the first `n` words of `line` and the one blank after them,
// as it is; a CR at the very end (a client that ends its lines with CR LF)
// is not part of it.
std::string_view RestAfterWords(std::string_view line, std::size_t n) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t i = 0;
  for (std::size_t w = 0; w < n; ++w) {
    i = line.find_first_not_of(kSeparators, i);
    if (i == std::string_view::npos) return {};
    i = line.find_first_of(kSeparators, i);
    if (i == std::string_view::npos) return {};
  }
  return line.substr(i + 1);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t start = line.find_first_not_of(" \t\r", i);
    if (start == std::string_view::npos) break;
    std::size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    i = end;
  }
  return words;
}

}  // namespace

Simulator::Simulator() = default;

Simulator::~Simulator() { ReapWorkers(true); }

bool Simulator::Start(const Options& options, std::string* error) {
  const Clock::time_point clock_start = Clock::now();
  bind_ = options.bind;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  wake_read_ = Fd(pipe_fds[0]);
  wake_write_ = Fd(pipe_fds[1]);

  if (!options.request_log.empty()) {
    sink_ = std::make_unique<RequestSink>();
    if (!sink_->Open(options.request_log, error)) return false;
  }
  endpoints_.reserve(options.cameras.size() + options.videoservers.size());
  for (const CameraSettings& c : options.cameras) {
    Endpoint e;
    if (c.codec != CameraSettings::Codec::kNone)
      e.device = std::make_unique<RtspCamera>(c, clock_start, sink_.get());
    else
      e.device = std::make_unique<Camera>(c, clock_start, sink_.get());
    endpoints_.push_back(std::move(e));
  }
  for (const VideoServerSettings& v : options.videoservers) {
    Endpoint e;
    e.device = std::make_unique<VideoServer>(v, sink_.get());
    endpoints_.push_back(std::move(e));
  }
  for (Endpoint& e : endpoints_) {
    std::string why;
    e.listener = ListenTcp(bind_, e.device->wanted_port(), &e.port, &why);
    if (!e.listener.valid()) {
      *error = std::string(e.device->kind()) + " " + std::to_string(e.device->id()) + ": " + why;
      return false;
    }
    // A device dead from the start still gets its port number, and takes
    // that port again when it comes alive; a black hole is one before the
    // port is announced.
    SyncListener(e);
  }
  std::string why;
  control_ = ListenTcp(bind_, options.control_port, &control_port_, &why);
  if (!control_.valid()) {
    *error = "control: " + why;
    return false;
  }
  return true;
}

void Simulator::PrintPorts() const {
  for (const Endpoint& e : endpoints_)
    std::printf("%s %d port %d\n", e.device->kind(), e.device->id(), e.port);
  std::printf("control port %d\nready\n", control_port_);
  std::fflush(stdout);
}

void Simulator::RequestStop() {
  stop_.store(true);
  Wake();
}

void Simulator::Wake() {
  char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost.
  [[maybe_unused]] ssize_t ignored = write(wake_write_.get(), &byte, 1);
}

void Simulator::Run(double duration_s) {
  const bool timed = duration_s > 0;
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(timed ? duration_s : 0));
  std::vector<pollfd> polled;
  std::vector<Endpoint*> owners;
  while (!stop_.load()) {
    SyncListeners();
    ReapWorkers(false);
    polled.clear();
    owners.clear();
    polled.push_back({wake_read_.get(), POLLIN, 0});
    owners.push_back(nullptr);
    polled.push_back({control_.get(), POLLIN, 0});
    owners.push_back(nullptr);
    for (Endpoint& e : endpoints_) {
      if (!e.listener.valid() || e.holed) continue;
      polled.push_back({e.listener.get(), POLLIN, 0});
      owners.push_back(&e);
    }
    int timeout = kHousekeepingMs;
    if (timed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      if (left.count() < timeout) timeout = static_cast<int>(left.count()) + 1;
    }
    int ready = poll(polled.data(), polled.size(), timeout);
    if (ready <= 0) continue;
    if (polled[0].revents) {
      char sink[64];
      while (read(wake_read_.get(), sink, sizeof sink) > 0) {
      }
    }
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (!(polled[i].revents & POLLIN)) continue;
      int fd = accept4(polled[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
          std::fprintf(stderr, "ocelam-sim: accept: %s\n", std::strerror(errno));
          std::this_thread::sleep_for(kAcceptBackoff);
        }
        continue;
      }
      auto conn = std::make_shared<Fd>(fd);
      if (owners[i] == nullptr) {
        Spawn([this, conn] { ServeControl(std::move(*conn)); });
      } else {
        Device* device = owners[i]->device.get();
        Spawn([device, conn] { device->Serve(std::move(*conn)); });
      }
    }
  }

  // Release control commands still waiting for the listeners, then end
  // every connection and wait for its thread.
  {
    std::lock_guard<std::mutex> lock(sync_mu_);
    stop_.store(true);
    sync_done_ = sync_wanted_;
  }
  synced_.notify_all();
  for (Endpoint& e : endpoints_) {
    e.device->Stop();
    e.listener.Reset();
  }
  control_clients_.ShutdownAll(true);
  control_.Reset();
  ReapWorkers(true);
}

void Simulator::SyncListeners() {
  std::uint64_t wanted;
  {
    std::lock_guard<std::mutex> lock(sync_mu_);
    wanted = sync_wanted_;
  }
  for (Endpoint& e : endpoints_) SyncListener(e);
  {
    std::lock_guard<std::mutex> lock(sync_mu_);
    sync_done_ = wanted;
  }
  synced_.notify_all();
}

void Simulator::SyncListener(Endpoint& e) {
  const bool dead = e.device->dead();
  const bool hole = !dead && e.device->blackhole();
  if ((dead || hole != e.holed) && e.listener.valid()) {
    e.listener.Reset();
    e.fillers.clear();
    e.holed = false;
  }
  if (dead || e.listener.valid()) return;
  std::string why;
  int port = 0;
  if (hole) {
    e.listener = ListenBlackhole(bind_, e.port, &e.fillers, &why);
    e.holed = e.listener.valid();
  } else {
    e.listener = ListenTcp(bind_, e.port, &port, &why);
  }
  if (!e.listener.valid() && !e.rebind_failed)
    std::fprintf(stderr, "ocelam-sim: %s %d: %s (retrying)\n", e.device->kind(), e.device->id(),
                 why.c_str());
  e.rebind_failed = !e.listener.valid();
}

void Simulator::AwaitListenerSync() {
  std::unique_lock<std::mutex> lock(sync_mu_);
  std::uint64_t ticket = ++sync_wanted_;
  Wake();
  synced_.wait_for(lock, kListenerSyncTimeout,
                   [&] { return sync_done_ >= ticket || stop_.load(); });
}

void Simulator::Spawn(std::function<void()> work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([work = std::move(work), done] {
    work();
    done->store(true);
  });
  workers_.push_back(Worker{std::move(thread), std::move(done)});
}

void Simulator::ReapWorkers(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void Simulator::ServeControl(Fd connection) {
  Fd conn = std::move(connection);
  const int fd = conn.get();
  if (!control_clients_.Add(fd)) return;
  struct Leave {
    ConnectionSet& set;
    int fd;
    ~Leave() { set.Remove(fd); }
  } leave{control_clients_, fd};
  std::string buffer;
  while (true) {
    std::size_t n = ReadUntil(fd, "\n", kMaxControlLine, -1, &buffer);
    if (n == 0) {
      if (buffer.size() >= kMaxControlLine) SendAll(fd, "error line too long\n");
      return;
    }
    std::string line = buffer.substr(0, n - 1);
    buffer.erase(0, n);
    if (Words(line).empty()) continue;
    bool quit = false;
    bool sent = SendAll(fd, Command(line, &quit));
    // The reply goes out first: stopping ends this connection too.
    if (quit) RequestStop();
    if (!sent) return;
  }
}

std::vector<Simulator::Endpoint*> Simulator::FindTargets(const std::vector<std::string_view>& words,
                                                         std::string_view default_kind,
                                                         std::size_t* next, std::string* error) {
  std::vector<Endpoint*> found;
  std::size_t i = 1;
  std::string_view kind = default_kind;
  if (i < words.size() && !words[i].empty() &&
      !std::isdigit(static_cast<unsigned char>(words[i][0])) && words[i] != "all") {
    kind = words[i++];
  }
  if (i >= words.size()) {
    *error = "missing device id";
    return found;
  }
  std::string_view id_text = words[i++];
  bool all = id_text == "all";
  long id = 0;
  if (!all && !ParseInt(id_text, 1, kMaxDeviceId, &id)) {
    *error = "bad device id '" + std::string(id_text) + "'";
    return found;
  }
  for (Endpoint& e : endpoints_)
    if (kind == e.device->kind() && (all || e.device->id() == id)) found.push_back(&e);
  if (found.empty()) *error = "no " + std::string(kind) + " " + std::string(id_text);
  *next = i;
  return found;
}

std::string Simulator::Command(std::string_view line, bool* quit) {
  *quit = false;
  std::vector<std::string_view> words = Words(line);
  if (words.empty()) return "error empty command\n";
  std::string_view verb = words[0];
  std::string error;
  if (verb == "list") {
    std::string reply;
    for (const Endpoint& e : endpoints_)
      reply += std::string(e.device->kind()) + " " + std::to_string(e.device->id()) + " port " +
               std::to_string(e.port) + "\n";
    return reply + "ok\n";
  }
  if (verb == "quit") {
    *quit = true;
    return "ok\n";
  }
  if (verb == "help") return kControlHelp + std::string("ok\n");
  if (verb == "route" || verb == "unroute" || verb == "routes" || verb == "restart" ||
      verb == "clockstep" || verb == "taken")
    return CameraCommand(verb, line, words);
  if (verb == "send" || verb == "sendline" || verb == "split" || verb == "silence" ||
      verb == "close")
    return VideoServerCommand(verb, line, words);
  if (verb == "set" || verb == "clear" || verb == "stats" || verb == "requests") {
    std::size_t next = 0;
    std::vector<Endpoint*> targets = FindTargets(words, "camera", &next, &error);
    if (targets.empty()) return "error " + error + "\n";
    const bool all = words[next - 1] == "all";
    if (verb == "stats") {
      if (all) return "error stats takes one device\n";
      const Endpoint& e = *targets[0];
      return "ok " + std::string(e.device->kind()) + " " + std::to_string(e.device->id()) +
             " port=" + std::to_string(e.port) + " " + e.device->Stats() + "\n";
    }
    if (verb == "requests") {
      if (all) return "error requests takes one device\n";
      long from = 1;
      if (next < words.size() && !ParseInt(words[next], 1, LONG_MAX, &from))
        return "error bad FROM '" + std::string(words[next]) + "'\n";
      if (next + 1 < words.size()) return "error requests takes [KIND] ID [FROM]\n";
      std::uint64_t following = 0;
      std::string lines =
          targets[0]->device->requests().Lines(static_cast<std::uint64_t>(from), &following);
      return lines + "ok next=" + std::to_string(following) + "\n";
    }
    std::string_view keys = RestAfterWords(line, next);
    if (verb == "set" && Words(keys).empty()) return "error set needs key=value\n";
    if (verb == "clear" && !Words(keys).empty()) return "error clear takes no value\n";
    for (Endpoint* e : targets) {
      if (verb == "clear") {
        e->device->Clear();
      } else if (!e->device->Set(keys, &error)) {
        return "error " + error + "\n";
      }
    }
    AwaitListenerSync();
    return "ok\n";
  }
  return "error unknown command '" + std::string(verb) + "'\n";
}

std::string Simulator::CameraCommand(std::string_view verb, std::string_view line,
                                     const std::vector<std::string_view>& words) {
  std::string error;
  std::size_t next = 0;
  std::vector<Endpoint*> targets = FindTargets(words, "camera", &next, &error);
  if (targets.empty()) return "error " + error + "\n";
  const bool all = words[next - 1] == "all";
  if (verb == "restart" || verb == "clockstep" || verb == "taken") {
    // Every camera named must be an RTSP one, and the keys must suit each
    // before any restarts.
    std::vector<RtspCamera*> rtsp;
    for (Endpoint* e : targets) {
      auto* camera = dynamic_cast<RtspCamera*>(e->device.get());
      if (camera == nullptr && !all) return "error " + std::string(verb) + " is for rtsp cameras\n";
      if (camera != nullptr) rtsp.push_back(camera);
    }
    if (rtsp.empty()) return "error no rtsp camera\n";
    if (verb == "clockstep") {
      long ms = 0;
      if (next + 1 != words.size() || !ParseInt(words[next], -kMaxClockStepMs, kMaxClockStepMs, &ms))
        return "error clockstep takes [camera] ID|all MS (-" + std::to_string(kMaxClockStepMs) +
               " to " + std::to_string(kMaxClockStepMs) + ")\n";
      for (RtspCamera* camera : rtsp) camera->StepClock(ms);
      return "ok\n";
    }
    if (verb == "taken") {
      long from = 0, to = 0;
      if (all || next + 2 != words.size() || !ParseInt(words[next], 0, LONG_MAX, &from) ||
          !ParseInt(words[next + 1], from, LONG_MAX, &to))
        return "error taken takes [camera] ID FROM TO\n";
      const std::string moments =
          rtsp[0]->TakenText(static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(to));
      return moments.empty() ? "ok\n" : "ok " + moments + "\n";
    }
    for (RtspCamera* camera : rtsp)
      if (!camera->Restart(RestAfterWords(line, next), &error)) return "error " + error + "\n";
    return "ok\n";
  }
  std::vector<Camera*> cameras;
  for (Endpoint* e : targets) {
    auto* camera = dynamic_cast<Camera*>(e->device.get());
    // Routes are the MJPEG cameras' own; "all" leaves RTSP cameras out.
    if (camera == nullptr && all && dynamic_cast<RtspCamera*>(e->device.get())) continue;
    if (camera == nullptr) return "error " + std::string(verb) + " is for MJPEG cameras\n";
    cameras.push_back(camera);
  }
  if (cameras.empty()) return "error no MJPEG camera\n";
  if (verb == "routes") {
    if (all) return "error routes takes one camera\n";
    return cameras[0]->RoutesText() + "ok\n";
  }
  if (verb == "unroute") {
    if (next + 1 != words.size()) return "error unroute takes [camera] ID|all PATH|all\n";
    bool any = false;
    for (Camera* camera : cameras) any = camera->RemoveRoute(words[next]) || any;
    if (!any) return "error no route " + std::string(words[next]) + "\n";
    return "ok\n";
  }
  CommandRoute route;
  if (!ParseRoute(RestAfterWords(line, next), &route, nullptr, &error))
    return "error " + error + "\n";
  for (Camera* camera : cameras) camera->SetRoute(route);
  return "ok\n";
}

std::string Simulator::VideoServerCommand(std::string_view verb, std::string_view line,
                                          const std::vector<std::string_view>& words) {
  std::string error;
  std::size_t next = 0;
  std::vector<Endpoint*> targets = FindTargets(words, "videoserver", &next, &error);
  if (targets.empty()) return "error " + error + "\n";
  std::vector<VideoServer*> servers;
  for (Endpoint* e : targets) {
    auto* server = dynamic_cast<VideoServer*>(e->device.get());
    if (server == nullptr) return "error " + std::string(verb) + " is for video servers\n";
    servers.push_back(server);
  }
  int reached = 0;
  std::string text;
  if (verb == "send" || verb == "sendline") {
    if (!Unescape(RestAfterWords(line, next), &text, &error)) return "error " + error + "\n";
    if (verb == "sendline") text += "\r\n";
    if (text.empty()) return "error send needs TEXT\n";
    for (VideoServer* server : servers) reached += server->Send(text);
  } else if (verb == "split") {
    long at = 0, ms = 0;
    if (next + 2 >= words.size() || !ParseInt(words[next], 1, kMaxPadBytes, &at) ||
        !ParseInt(words[next + 1], 0, kMaxStallMs, &ms))
      return "error split takes [videoserver] ID|all AT MS TEXT\n";
    if (!Unescape(RestAfterWords(line, next + 2), &text, &error)) return "error " + error + "\n";
    if (static_cast<std::size_t>(at) >= text.size())
      return "error split at " + std::to_string(at) + " is not inside its " +
             std::to_string(text.size()) + " bytes\n";
    for (VideoServer* server : servers)
      reached += server->Split(text, static_cast<std::size_t>(at), static_cast<int>(ms));
  } else if (verb == "silence") {
    long ms = 0;
    if (next + 1 != words.size() || !ParseInt(words[next], 0, kMaxStallMs, &ms))
      return "error silence takes [videoserver] ID|all MS\n";
    for (VideoServer* server : servers) reached += server->Silence(static_cast<int>(ms));
  } else {
    if (next != words.size()) return "error close takes [videoserver] ID|all\n";
    for (VideoServer* server : servers) reached += server->CloseAll();
  }
  return "ok connections=" + std::to_string(reached) + "\n";
}

}  // namespace sim
