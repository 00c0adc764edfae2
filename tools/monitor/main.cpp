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
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace monitor_tool {
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
constexpr const char* kCannotConnect = "ocelam-monitor: cannot connect to %s:%ld: %s\n";
constexpr const char* kSendFailed = "ocelam-monitor: send failed: %s\n";
constexpr const char* kGatewayClosed = "ocelam-monitor: connection closed by the gateway\n";
constexpr const char* kBadValue = "ocelam-monitor: bad %s '%s'\n";
constexpr const char* kBadArgument = "ocelam-monitor: bad argument '%s'\n";
constexpr const char* kPortRequired = "ocelam-monitor: --port is required\n";

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

struct Options {
  std::string host = kDefaultHost;
  long port = -1;
  long count = -1;      // messages before exit; -1: no limit
  double seconds = -1;  // time before exit; -1: no limit
  double wait = 0;      // time to keep trying to connect
  bool use_stdin = true;
  std::vector<std::string> commands;  // the bytes of each, in the order given
};

// The command an option such as --init stands for; null for other options.
const char* OptionCommand(const std::string& arg) {
  if (arg == "--init") return kCommandInit;
  if (arg == "--log-on") return kCommandLogOn;
  if (arg == "--log-off") return kCommandLogOff;
  if (arg == "--test-info") return kCommandTestInfo;
  return nullptr;
}

bool TakesValue(const std::string& arg) {
  return arg == "--host" || arg == "--port" || arg == "--count" || arg == "--seconds" ||
         arg == "--wait" || arg == "--send";
}

// Sets the option `arg` to `value`; false, after saying so, when the value
// is bad.
bool SetValue(const std::string& arg, const char* value, Options* options) {
  bool good = true;
  if (arg == "--host") {
    options->host = value;
  } else if (arg == "--port") {
    good = ParseCount(value, &options->port) && options->port >= 1 && options->port <= 65535;
  } else if (arg == "--count") {
    good = ParseCount(value, &options->count);
  } else if (arg == "--seconds") {
    good = ParseNumber(value, &options->seconds);
  } else if (arg == "--wait") {
    good = ParseNumber(value, &options->wait);
  } else {
    options->commands.push_back(Unescape(value));  // --send
  }
  if (!good) std::fprintf(stderr, kBadValue, arg.c_str() + 2, value);  // the name without "--"
  return good;
}

// Reads the command line into `options`. Nothing when the tool goes on;
// otherwise the code to exit with, usage or mistakes already printed.
std::optional<int> ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage();
      return kExitOk;
    }
    if (const char* command = OptionCommand(arg)) {
      options->commands.push_back(Framed(command));
    } else if (arg == "--no-stdin") {
      options->use_stdin = false;
    } else if (TakesValue(arg) && i + 1 < argc) {
      if (!SetValue(arg, argv[++i], options)) return kExitUsage;
    } else {
      std::fprintf(stderr, kBadArgument, arg.c_str());
      Usage();
      return kExitUsage;
    }
  }
  if (options->port < 0) {
    std::fputs(kPortRequired, stderr);
    Usage();
    return kExitUsage;
  }
  return std::nullopt;
}

using Clock = std::chrono::steady_clock;
// A moment some seconds (with decimals) from now.
using SecondsAhead = decltype(Clock::now() + std::chrono::duration<double>(0));

// The end of the connecting: a socket, or -1 and whether the gateway
// refused us (errno tells why otherwise).
struct Attempt {
  int fd = -1;
  bool refused = false;
};

// Connects, and tries again until `wait_seconds` have passed.
Attempt ConnectWithin(const std::string& host, int port, double wait_seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(wait_seconds);
  Attempt attempt;
  for (;;) {
    attempt.fd = Connect(host, port);
    // A refusal comes at once; a served client's first message may take a
    // while, and is then read as usual.
    attempt.refused = attempt.fd >= 0 && ClosedBeforeFirstMessage(attempt.fd, kRefusalWaitMs);
    if (attempt.refused) {
      close(attempt.fd);
      attempt.fd = -1;
    }
    if (attempt.fd >= 0 || Clock::now() >= deadline) return attempt;
    std::this_thread::sleep_for(kConnectRetryPause);
  }
}

// One connection to the gateway: prints its messages, sends the commands
// of the command line and of stdin, until the count, the time, the input
// or the gateway ends it. The caller owns and closes the socket.
class Session {
 public:
  Session(const Options& options, int fd)
      : options_(options),
        fd_(fd),
        timed_(options.seconds >= 0),
        end_(Clock::now() + std::chrono::duration<double>(timed_ ? options.seconds : 0)),
        // Commands wait for the first message (or a second): the gateway
        // serves a new client from its first full status on.
        next_command_(Clock::now() + kFirstCommandDelay),
        chunk_(kReadChunk),
        stdin_open_(options.use_stdin) {}

  // The exit code.
  int Run() {
    if (Done()) return kExitOk;
    for (;;) {
      const auto now = Clock::now();
      if (timed_ && now >= end_) break;
      if (!SendDueCommand(now)) return kExitClosed;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      const int r = poll(fds, stdin_open_ ? 2 : 1, WaitMs(now));
      if (r < 0) {
        if (errno == EINTR) continue;
        std::perror("ocelam-monitor: poll");
        break;
      }
      if (fds[0].revents) {
        const ssize_t n = recv(fd_, chunk_.data(), chunk_.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return GatewayClosed();
        if (TakeMessages(static_cast<std::size_t>(n))) return kExitOk;
      }
      if (stdin_open_ && fds[1].revents) {
        if (std::optional<int> code = ReadStdin()) return *code;
      }
    }
    return Done() || options_.count < 0 ? kExitOk : kExitClosed;
  }

 private:
  bool Done() const { return options_.count >= 0 && printed_ >= options_.count; }

  void Print(const std::string& message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++printed_;
  }

  // False, after saying so, when the send fails.
  bool Send(const std::string& bytes) {
    if (SendAll(fd_, bytes)) return true;
    std::fprintf(stderr, kSendFailed, std::strerror(errno));
    return false;
  }

  // Commands from the command line, one per gap.
  bool SendDueCommand(Clock::time_point now) {
    if (command_index_ >= options_.commands.size() || now < next_command_) return true;
    if (!Send(options_.commands[command_index_])) return false;
    ++command_index_;
    next_command_ = now + kCommandGap;
    return true;
  }

  // How long poll may wait: until the time is up or the next command is
  // due, a second at most.
  int WaitMs(Clock::time_point now) const {
    long wait_ms = 1000;
    if (timed_)
      wait_ms =
          std::min<long>(wait_ms, std::chrono::ceil<std::chrono::milliseconds>(end_ - now).count());
    if (command_index_ < options_.commands.size())
      wait_ms = std::min<long>(
          wait_ms, std::chrono::ceil<std::chrono::milliseconds>(next_command_ - now).count());
    if (wait_ms < 0) wait_ms = 0;
    return static_cast<int>(wait_ms);
  }

  // Prints the messages the `n` bytes in chunk_ complete; true once the
  // count is reached.
  bool TakeMessages(std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
      if (chunk_[k] == '\0') {
        if (printed_ == 0) next_command_ = std::min(next_command_, Clock::now());
        Print(partial_);
        partial_.clear();
        if (Done()) return true;
      } else {
        partial_ += chunk_[k];
        if (partial_.size() >= kMessageMax) {
          Print(partial_);
          partial_.clear();
        }
      }
    }
    return false;
  }

  // The gateway ended the connection (or it failed): the exit code.
  int GatewayClosed() {
    if (printed_ == 0 && partial_.empty()) {
      std::fprintf(stderr, kRefused, options_.host.c_str(), options_.port);
      return kExitRefused;
    }
    if (!partial_.empty()) Print(partial_);
    std::fputs(kGatewayClosed, stderr);
    return Done() || (options_.count < 0 && !timed_) ? kExitOk : kExitClosed;
  }

  // Sends the commands of the lines typed on stdin. Nothing while the tool
  // goes on; the exit code after "quit" or a failed send.
  std::optional<int> ReadStdin() {
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      stdin_open_ = false;  // end of input: keep printing messages
      return std::nullopt;
    }
    stdin_line_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = stdin_line_.find('\n')) != std::string::npos;) {
      bool quit = false;
      const std::string bytes = CommandFromLine(stdin_line_.substr(0, nl), &quit);
      stdin_line_.erase(0, nl + 1);
      if (quit) return kExitOk;
      if (!bytes.empty() && !Send(bytes)) return kExitClosed;
    }
    if (stdin_line_.size() > kMessageMax) stdin_line_.clear();
    return std::nullopt;
  }

  const Options& options_;
  const int fd_;
  const bool timed_;
  const SecondsAhead end_;
  Clock::time_point next_command_;
  std::size_t command_index_ = 0;
  long printed_ = 0;
  std::string partial_;     // the message being received
  std::string stdin_line_;  // the line being typed
  std::vector<char> chunk_;
  bool stdin_open_;
};

// The tool: the exit code.
int Run(int argc, char** argv) {
  Options options;
  if (std::optional<int> code = ParseArguments(argc, argv, &options)) return *code;
  signal(SIGPIPE, SIG_IGN);
  const Attempt attempt = ConnectWithin(options.host, static_cast<int>(options.port), options.wait);
  if (attempt.refused) {
    std::fprintf(stderr, kRefused, options.host.c_str(), options.port);
    return kExitRefused;
  }
  if (attempt.fd < 0) {
    std::fprintf(stderr, kCannotConnect, options.host.c_str(), options.port, std::strerror(errno));
    return kExitConnect;
  }
  const int code = Session(options, attempt.fd).Run();
  close(attempt.fd);
  return code;
}

}  // namespace
}  // namespace monitor_tool

int main(int argc, char** argv) { return monitor_tool::Run(argc, argv); }
