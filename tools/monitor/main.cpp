// ocelam-monitor: a small monitoring client of the gateway's monitor port.
// Prints every message the gateway sends, one per line, and sends the four
// client commands on request (command line options or lines on stdin).
// Plain POSIX sockets; it links nothing of the gateway, so a fault on one
// end of a test cannot hide behind the same fault on the other.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr const char* kCommandInit = "<command type=init />";
constexpr const char* kCommandLogOn = "<command type=log state=ON />";
constexpr const char* kCommandLogOff = "<command type=log state=OFF />";
constexpr const char* kCommandTestInfo = "<getTestSendInfo/>";

constexpr const char* kDefaultHost = "127.0.0.1";
// The gateway takes one receive per command and pauses between receives:
// commands sent back to back would arrive as one text and match nothing.
constexpr auto kCommandGap = std::chrono::milliseconds(300);
constexpr auto kFirstCommandDelay = std::chrono::seconds(1);
constexpr auto kConnectRetryPause = std::chrono::milliseconds(100);
// How long a fresh connection is watched for an immediate close.
constexpr int kRefusalWaitMs = 300;
constexpr std::size_t kReadChunk = 65536;
// A message longer than this without its NUL is printed in pieces, so a
// peer that never frames cannot make us hold unbounded memory.
constexpr std::size_t kMessageMax = 1 << 20;

enum ExitCode { kExitOk = 0, kExitConnect = 1, kExitUsage = 2, kExitClosed = 3, kExitRefused = 4 };

// The gateway closes a connection it will not serve before sending anything.
constexpr const char* kRefused =
    "ocelam-monitor: %s:%ld accepted the connection and closed it before sending anything: the "
    "gateway refused this client. Either this machine's address is not in the gateway's "
    "MonitorAllowedClients (section [Config] of its profile), or this address already has "
    "MonitorMaxClientsPerAddress connections, or all 50 client slots are taken.\n";

// A connection closed by the gateway before its first message, within `ms`.
bool ClosedBeforeFirstMessage(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return false;
  char b;
  ssize_t n = recv(fd, &b, 1, MSG_PEEK);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

void Usage() {
  std::fprintf(
      stderr,
      "usage: ocelam-monitor --port PORT [--host HOST] [--wait SECONDS]\n"
      "                      [--count N] [--seconds S] [--no-stdin]\n"
      "                      [--init] [--log-on] [--log-off] [--test-info] [--send TEXT]...\n"
      "  Prints every message of the gateway on a line of its own.\n"
      "  --host HOST     gateway address (default 127.0.0.1)\n"
      "  --wait S        keep trying to connect for S seconds (default: one try)\n"
      "  --count N       exit after N messages\n"
      "  --seconds S     exit after S seconds\n"
      "  --no-stdin      do not read commands from standard input\n"
      "  --init, --log-on, --log-off, --test-info\n"
      "                  send that command after connecting, in the order given\n"
      "  --send TEXT     send TEXT as it is (\\n \\r \\0 \\\\ are turned into bytes)\n"
      "  Lines on stdin: init, log on, log off, testinfo, quit, or a text\n"
      "  beginning with '<' that is sent as it is.\n"
      "  Exit codes: 0 done, 1 cannot connect, 2 bad command line, 3 connection\n"
      "  ended early, 4 the gateway refused this client.\n");
}

// Commands end with a NUL, the same framing the gateway uses; it reads a
// command up to the first NUL.
std::string Framed(const char* command) { return std::string(command) + '\0'; }

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case '0':
        out += '\0';
        break;
      default:
        out += c;
        break;  // "\\" and anything else: the character itself
    }
  }
  return out;
}

bool ParseNumber(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || v < 0) return false;
  *out = v;
  return true;
}

bool ParseCount(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < 0) return false;
  *out = v;
  return true;
}

int Connect(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line typed on stdin as bytes to send; empty when the line is not a
// command (reported) or blank.
std::string CommandFromLine(std::string line, bool* quit) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  line.erase(0, start);
  if (line[0] == '<') return line + '\0';
  if (line == "init") return Framed(kCommandInit);
  if (line == "log on") return Framed(kCommandLogOn);
  if (line == "log off") return Framed(kCommandLogOff);
  if (line == "testinfo" || line == "test") return Framed(kCommandTestInfo);
  if (line == "quit" || line == "exit") {
    *quit = true;
    return "";
  }
  std::fprintf(stderr,
               "ocelam-monitor: unknown command '%s' (init, log on, log off, testinfo, quit)\n",
               line.c_str());
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = kDefaultHost;
  long port = -1;
  long count = -1;
  double seconds = -1, wait = 0;
  bool use_stdin = true;
  std::vector<std::string> commands;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      Usage();
      return kExitOk;
    } else if (arg == "--host" && value(&v)) {
      host = v;
    } else if (arg == "--port" && value(&v)) {
      if (!ParseCount(v, &port) || port < 1 || port > 65535) {
        std::fprintf(stderr, "ocelam-monitor: bad port '%s'\n", v);
        return kExitUsage;
      }
    } else if (arg == "--count" && value(&v)) {
      if (!ParseCount(v, &count)) {
        std::fprintf(stderr, "ocelam-monitor: bad count '%s'\n", v);
        return kExitUsage;
      }
    } else if (arg == "--seconds" && value(&v)) {
      if (!ParseNumber(v, &seconds)) {
        std::fprintf(stderr, "ocelam-monitor: bad seconds '%s'\n", v);
        return kExitUsage;
      }
    } else if (arg == "--wait" && value(&v)) {
      if (!ParseNumber(v, &wait)) {
        std::fprintf(stderr, "ocelam-monitor: bad wait '%s'\n", v);
        return kExitUsage;
      }
    } else if (arg == "--no-stdin") {
      use_stdin = false;
    } else if (arg == "--init") {
      commands.push_back(Framed(kCommandInit));
    } else if (arg == "--log-on") {
      commands.push_back(Framed(kCommandLogOn));
    } else if (arg == "--log-off") {
      commands.push_back(Framed(kCommandLogOff));
    } else if (arg == "--test-info") {
      commands.push_back(Framed(kCommandTestInfo));
    } else if (arg == "--send" && value(&v)) {
      commands.push_back(Unescape(v));
    } else {
      std::fprintf(stderr, "ocelam-monitor: bad argument '%s'\n", arg.c_str());
      Usage();
      return kExitUsage;
    }
  }
  if (port < 0) {
    std::fprintf(stderr, "ocelam-monitor: --port is required\n");
    Usage();
    return kExitUsage;
  }
  signal(SIGPIPE, SIG_IGN);

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  const auto connect_deadline = started + std::chrono::duration<double>(wait);
  int fd = -1;
  bool refused = false;
  for (;;) {
    fd = Connect(host, static_cast<int>(port));
    // A refusal comes at once; a served client's first message may take a
    // while, and is then read below as usual.
    refused = fd >= 0 && ClosedBeforeFirstMessage(fd, kRefusalWaitMs);
    if (refused) {
      close(fd);
      fd = -1;
    }
    if (fd >= 0 || Clock::now() >= connect_deadline) break;
    std::this_thread::sleep_for(kConnectRetryPause);
  }
  if (refused) {
    std::fprintf(stderr, kRefused, host.c_str(), port);
    return kExitRefused;
  }
  if (fd < 0) {
    std::fprintf(stderr, "ocelam-monitor: cannot connect to %s:%ld: %s\n", host.c_str(), port,
                 std::strerror(errno));
    return kExitConnect;
  }

  const bool timed = seconds >= 0;
  const auto end = Clock::now() + std::chrono::duration<double>(timed ? seconds : 0);
  // Commands wait for the first message (or a second): the gateway
  // serves a new client from its first full status on.
  auto next_command = Clock::now() + kFirstCommandDelay;
  std::size_t command_index = 0;
  long printed = 0;
  std::string partial, stdin_line;
  std::vector<char> chunk(kReadChunk);
  bool stdin_open = use_stdin;

  auto print = [&](const std::string& message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++printed;
  };
  auto done = [&] { return count >= 0 && printed >= count; };

  if (done()) {
    close(fd);
    return kExitOk;
  }
  for (;;) {
    auto now = Clock::now();
    if (timed && now >= end) break;
    // Commands from the command line, one per gap.
    if (command_index < commands.size() && now >= next_command) {
      if (!SendAll(fd, commands[command_index])) {
        std::fprintf(stderr, "ocelam-monitor: send failed: %s\n", std::strerror(errno));
        close(fd);
        return kExitClosed;
      }
      ++command_index;
      next_command = now + kCommandGap;
    }
    long wait_ms = 1000;
    if (timed)
      wait_ms =
          std::min<long>(wait_ms, std::chrono::ceil<std::chrono::milliseconds>(end - now).count());
    if (command_index < commands.size())
      wait_ms = std::min<long>(
          wait_ms, std::chrono::ceil<std::chrono::milliseconds>(next_command - now).count());
    if (wait_ms < 0) wait_ms = 0;

    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = poll(fds, stdin_open ? 2 : 1, static_cast<int>(wait_ms));
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("ocelam-monitor: poll");
      break;
    }
    if (fds[0].revents) {
      ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (printed == 0 && partial.empty()) {
          std::fprintf(stderr, kRefused, host.c_str(), port);
          close(fd);
          return kExitRefused;
        }
        if (!partial.empty()) print(partial);
        std::fprintf(stderr, "ocelam-monitor: connection closed by the gateway\n");
        close(fd);
        return done() || (count < 0 && !timed) ? kExitOk : kExitClosed;
      }
      for (ssize_t k = 0; k < n; ++k) {
        if (chunk[k] == '\0') {
          if (printed == 0) next_command = std::min(next_command, Clock::now());
          print(partial);
          partial.clear();
          if (done()) {
            close(fd);
            return kExitOk;
          }
        } else {
          partial += chunk[k];
          if (partial.size() >= kMessageMax) {
            print(partial);
            partial.clear();
          }
        }
      }
    }
    if (stdin_open && fds[1].revents) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        stdin_open = false;  // end of input: keep printing messages
        continue;
      }
      stdin_line.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = stdin_line.find('\n')) != std::string::npos;) {
        bool quit = false;
        std::string bytes = CommandFromLine(stdin_line.substr(0, nl), &quit);
        stdin_line.erase(0, nl + 1);
        if (quit) {
          close(fd);
          return kExitOk;
        }
        if (!bytes.empty() && !SendAll(fd, bytes)) {
          std::fprintf(stderr, "ocelam-monitor: send failed: %s\n", std::strerror(errno));
          close(fd);
          return kExitClosed;
        }
      }
      if (stdin_line.size() > kMessageMax) stdin_line.clear();
    }
  }
  close(fd);
  return done() || count < 0 ? kExitOk : kExitClosed;
}
