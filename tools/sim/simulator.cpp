#include "simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera.h"

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

constexpr const char* kControlHelp =
    "list\n"
    "set [camera] ID|all key=value[,key=value...]\n"
    "clear [camera] ID|all\n"
    "stats [camera] ID\n"
    "quit\n";

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

  endpoints_.reserve(options.cameras.size());
  for (const CameraSettings& c : options.cameras) {
    Endpoint e;
    e.device = std::make_unique<Camera>(c, clock_start);
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
    // that port again when it comes alive.
    if (e.device->dead()) e.listener.Reset();
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
      if (!e.listener.valid()) continue;
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
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
            errno != ECONNABORTED) {
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
  for (Endpoint& e : endpoints_) {
    bool dead = e.device->dead();
    if (dead && e.listener.valid()) {
      e.listener.Reset();
    } else if (!dead && !e.listener.valid()) {
      std::string why;
      int port = 0;
      e.listener = ListenTcp(bind_, e.port, &port, &why);
      if (!e.listener.valid() && !e.rebind_failed)
        std::fprintf(stderr, "ocelam-sim: %s %d: %s (retrying)\n", e.device->kind(),
                     e.device->id(), why.c_str());
      e.rebind_failed = !e.listener.valid();
    }
  }
  {
    std::lock_guard<std::mutex> lock(sync_mu_);
    sync_done_ = wanted;
  }
  synced_.notify_all();
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

std::vector<Simulator::Endpoint*> Simulator::FindTargets(
    const std::vector<std::string_view>& words, std::size_t* next, std::string* error) {
  std::vector<Endpoint*> found;
  std::size_t i = 1;
  std::string_view kind = "camera";
  if (i < words.size() && !words[i].empty() && !std::isdigit(static_cast<unsigned char>(words[i][0])) &&
      words[i] != "all") {
    kind = words[i++];
  }
  if (i >= words.size()) {
    *error = "missing device id";
    return found;
  }
  std::string_view id_text = words[i++];
  bool all = id_text == "all";
  int id = all ? 0 : std::atoi(std::string(id_text).c_str());
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
  if (verb == "set" || verb == "clear" || verb == "stats") {
    std::size_t next = 0;
    std::vector<Endpoint*> targets = FindTargets(words, &next, &error);
    if (targets.empty()) return "error " + error + "\n";
    if (verb == "stats") {
      if (words[next - 1] == "all") return "error stats takes one device\n";
      const Endpoint& e = *targets[0];
      return "ok " + std::string(e.device->kind()) + " " + std::to_string(e.device->id()) +
             " port=" + std::to_string(e.port) + " " + e.device->Stats() + "\n";
    }
    std::string keys;
    for (std::size_t i = next; i < words.size(); ++i) keys.append(words[i]).append(" ");
    if (verb == "set" && keys.empty()) return "error set needs key=value\n";
    if (verb == "clear" && !keys.empty()) return "error clear takes no value\n";
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

}  // namespace sim
