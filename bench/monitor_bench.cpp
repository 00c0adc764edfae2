// Monitor benchmark: 50 connected monitoring clients and a stream of
// reported lines. The gateway side (interface record and monitor server) runs
// in this process and is fed through InterfaceRecord::Log, as every report of the
// gateway is; the 50 clients run in a child process, so the CPU measured here
// is the gateway's alone.
//
// For each offered rate it prints the lines per second every client
// received, the lines lost by the worst client, and the gateway's CPU time
// per 10,000 lines (daily log file writes included, and without them).
//
// With --secrets N, N configured passwords are registered first, so every
// line is masked of them (core/log_text.h) as in a gateway with N cameras.
//
// usage: monitor_bench [--seconds S] [--rates R1,R2,...] [--line-length N] [--secrets N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/log_text.h"
#include "monitor/interface_record.h"
#include "monitor/monitor_server.h"
#include "platform/clock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = monitor::kMonitorClients;
constexpr const char* kMarker = "bench line ";
constexpr int kClientsPerAddress = 5;
// Enough of a message to see the marker behind the tag, level, date and time.
constexpr std::size_t kHeadBytes = 128;
constexpr double kTickSeconds = 0.01;
// Drained: no client got a line during kQuietPolls polls kPollPause apart.
constexpr auto kPollPause = std::chrono::milliseconds(50);
constexpr int kQuietPolls = 30;

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool ReadFull(int fd, void* buf, std::size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// The child: 50 clients that read everything and count the bench lines.
// Commands on `in`: 'c' reply with the 50 counts (and reset them), 'q' quit.
[[noreturn]] void RunClients(int port, int in, int out) {
  struct Client {
    int fd = -1;
    long count = 0;
    bool first = false;
    std::string head;  // start of the current message, enough to classify it
  };
  std::array<Client, kClients> clients;
  auto connect_one = [&](Client& c, int number) {
    for (;;) {
      c.fd = socket(AF_INET, SOCK_STREAM, 0);
      // The gateway takes a few clients per address: spread them over
      // loopback addresses, as clients on several machines would be.
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + number / kClientsPerAddress);
      bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(port));
      if (connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        pollfd p{c.fd, POLLIN, 0};
        char b;
        // Accepted when the first message comes (a connection completed in
        // the backlog of a listener that was then closed is reset).
        if (poll(&p, 1, 5000) > 0 && recv(c.fd, &b, 1, MSG_PEEK) > 0) return;
      }
      close(c.fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  for (int i = 0; i < kClients; ++i) connect_one(clients[i], i);
  char ready = 'r';
  if (write(out, &ready, 1) != 1) _exit(1);

  std::vector<char> buf(1 << 16);
  for (;;) {
    std::array<pollfd, kClients + 1> fds;
    for (int i = 0; i < kClients; ++i) fds[i] = {clients[i].fd, POLLIN, 0};
    fds[kClients] = {in, POLLIN, 0};
    if (poll(fds.data(), fds.size(), 1000) < 0) continue;
    for (int i = 0; i < kClients; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      ssize_t n = recv(clients[i].fd, buf.data(), buf.size(), 0);
      if (n <= 0) _exit(2);
      Client& c = clients[i];
      // Jumps from NUL to NUL: at tens of thousands of lines a second for
      // each of 50 clients, a byte-by-byte loop here would be the bottleneck.
      const char* p = buf.data();
      const char* end = p + n;
      while (p < end) {
        const char* nul =
            static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
        const char* stop = nul ? nul : end;
        if (c.head.size() < kHeadBytes)
          c.head.append(p, std::min<std::size_t>(static_cast<std::size_t>(stop - p),
                                                 kHeadBytes - c.head.size()));
        if (!nul) break;
        if (c.head.find(kMarker) != std::string::npos) ++c.count;
        c.head.clear();
        p = nul + 1;
      }
    }
    if (fds[kClients].revents & POLLIN) {
      char cmd;
      if (read(in, &cmd, 1) != 1 || cmd == 'q') _exit(0);
      std::array<long, kClients> counts;
      for (int i = 0; i < kClients; ++i) {
        counts[i] = clients[i].count;
        clients[i].count = 0;
      }
      if (write(out, counts.data(), sizeof counts) != static_cast<ssize_t>(sizeof counts)) _exit(3);
    }
  }
}

struct Result {
  double offered, delivered, cpu_per_10k;
  long sent, worst_lost;
};

// Offers `rate` lines per second for `seconds`, then lets the send thread
// drain and asks the clients what they got.
Result Run(monitor::InterfaceRecord& record, monitor::MonitorServer& monitor, bool through_record,
           double rate, double seconds, std::size_t line_length, int to_child, int from_child) {
  const long total = static_cast<long>(rate * seconds);
  std::string pad(line_length > 32 ? line_length - 32 : 0, 'x');
  double cpu0 = CpuSeconds();
  auto start = Clock::now();
  char line[4096];
  for (long i = 0; i < total; ++i) {
    // Paced in ticks of 10 ms: a wake-up per line would cost more CPU than
    // the line itself at low rates.
    if (i % std::max(1L, static_cast<long>(rate * kTickSeconds)) == 0) {
      auto due = start + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(i / rate));
      if (Clock::now() < due) std::this_thread::sleep_until(due);
    }
    std::snprintf(line, sizeof line, "%s%ld %s", kMarker, i, pad.c_str());
    if (through_record)
      record.Log(line, core::ReportLevel::kInfo);
    else
      monitor.ForwardLog(line, core::ReportLevel::kInfo);
  }
  // Drained when the counts stop growing for a while; the rate is taken up
  // to the last growth.
  std::array<long, kClients> got{};
  long last_min = -1;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (int quiet = 0; quiet < kQuietPolls;) {
    std::this_thread::sleep_for(kPollPause);
    char cmd = 'c';
    std::array<long, kClients> counts;
    if (write(to_child, &cmd, 1) != 1 || !ReadFull(from_child, counts.data(), sizeof counts))
      std::exit(1);
    for (int i = 0; i < kClients; ++i) got[i] += counts[i];
    long min = *std::min_element(got.begin(), got.end());
    if (min == last_min) {
      ++quiet;
    } else {
      quiet = 0;
      elapsed = std::max(elapsed, std::chrono::duration<double>(Clock::now() - start).count());
    }
    last_min = min;
    if (min == total) break;
  }
  double cpu = CpuSeconds() - cpu0;
  long min = *std::min_element(got.begin(), got.end());
  return {rate, min / elapsed, cpu / total * 10000.0, total, total - min};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  std::size_t line_length = 120;
  int secrets = 0;
  std::vector<double> rates = {1000, 2000, 4000, 12000, 25000, 50000};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--seconds") {
      seconds = std::atof(argv[i + 1]);
    } else if (a == "--line-length") {
      line_length = static_cast<std::size_t>(std::atoi(argv[i + 1]));
    } else if (a == "--secrets") {
      secrets = std::atoi(argv[i + 1]);
    } else if (a == "--rates") {
      rates.clear();
      for (char* p = std::strtok(argv[i + 1], ","); p; p = std::strtok(nullptr, ","))
        rates.push_back(std::atof(p));
    } else {
      std::fprintf(stderr,
                   "usage: monitor_bench [--seconds S] [--rates R1,R2,...] [--line-length N] "
                   "[--secrets N]\n");
      return 2;
    }
  }
  if (seconds <= 0 || rates.empty() || line_length > 1000) {
    std::fprintf(stderr, "monitor_bench: bad arguments\n");
    return 2;
  }

  char dir[] = "/tmp/ocelam_monitor_bench_XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) return 1;
  mkdir("log", 0755);
  mkdir("run", 0755);
  setenv("OCELAM_RUNDIR", (std::string(dir) + "/run").c_str(), 1);
  setenv("OCELAM_REGISTRY", (std::string(dir) + "/none.ini").c_str(), 1);

  int port = FreePort();
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    close(down[1]);
    close(up[0]);
    RunClients(port, down[0], up[1]);
  }
  close(down[0]);
  close(up[1]);

  core::ApplicationInfo info;
  info.program_name = "ocelam";
  info.version = "v.0.0.0.0";
  info.profile_file_name = "ocelam.ini";
  // The monitor's rate limits run on real time, as in the gateway.
  auto* record = new monitor::InterfaceRecord(info.program_name, platform::SystemClock());
  auto* monitor = new monitor::MonitorServer(port, info, platform::SystemClock());
  monitor->StartFullStatusThread();
  record->SetMonitor(monitor);
  char ready = 0;
  if (!ReadFull(up[0], &ready, 1)) {
    std::fprintf(stderr, "monitor_bench: the clients did not connect\n");
    return 1;
  }
  std::this_thread::sleep_for(
      std::chrono::seconds(2));  // the full statuses of the connects go first

  // Passwords as an operator picks them: letters, digits, a sign.
  for (int k = 0; k < secrets; ++k) core::RegisterSecret("Cam" + std::to_string(k * 7919) + "-pw!");
  std::printf("monitor: %d clients, lines of %zu characters, %.0f s per rate, %d passwords\n",
              kClients, line_length, seconds, secrets);
  std::printf("%-22s %10s %16s %12s %18s\n", "feed", "offered/s", "delivered/s each", "worst lost",
              "CPU ms/10k lines");
  for (bool through_record : {true, false}) {
    for (double rate : rates) {
      Result r = Run(*record, *monitor, through_record, rate, seconds, line_length, down[1], up[0]);
      std::printf("%-22s %10.0f %16.0f %12ld %18.1f\n",
                  through_record ? "CInterface::Log" : "ForwardLog (no file)", r.offered,
                  r.delivered, r.worst_lost, r.cpu_per_10k * 1000.0);
      std::fflush(stdout);
    }
  }
  char quit = 'q';
  if (write(down[1], &quit, 1) != 1) return 1;
  waitpid(child, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  // The monitor's threads never end: leave without running destructors.
  std::fflush(stdout);
  _exit(0);
}
