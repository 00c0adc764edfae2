#include "monitor/monitor_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/daily_log.h"
#include "core/log_text.h"
#include "platform/named_objects.h"
#include "platform/strings.h"
#include "platform/thread.h"

namespace monitor {

namespace {

// Lines of the monitor's own in the daily interface log.
constexpr const char* kConnThreadStarted = "ServerWaitConnThread started. Listening on the port %d";
constexpr const char* kEventThreadStarted = "ServerWaitEventThread started";
constexpr const char* kAllSlotsTaken =
    "oh oh already %d clients are connected - disconnect them for establishing a new connection";
constexpr const char* kCannotOpenSocket = "Can not open socket connection (index %d)";
constexpr const char* kConnectionCreated = "TCP connection created with index %d";
constexpr const char* kConnectionClosed = "TCP Connection with index %d closed";
constexpr const char* kStringReceived = "String received from interface monitor: %s";
constexpr const char* kTestInfoRequested = "TestSendInfos requested from interface monitor: %s";
constexpr const char* kTestInfoSent = "Send TestInfo to Interface Monitor: %s";
constexpr const char* kCannotStartThread = "ERROR: interface monitor cannot start %s";
constexpr const char* kRefusedNotAllowed =
    "Connection to the interface monitor from %s refused: not in MonitorAllowedClients";
constexpr const char* kRefusedTooMany =
    "Connection to the interface monitor from %s refused: already %d connections from there";
constexpr const char* kLinesLeftOut =
    "%d lines caused by the interface monitor clients left out of this log";
constexpr const char* kPortFailure = "Port %d: %s";

// Messages to the clients.
constexpr const char* kAlarmServerOn = "<event type=\"OrvConnection\" state=ON />";
constexpr const char* kAlarmServerOff = "<event type=\"OrvConnection\" state=OFF />";
constexpr const char* kRemoteSystemOn = "<event type=\"RSConnection\" state=ON />";
constexpr const char* kRemoteSystemOff = "<event type=\"RSConnection\" state=OFF />";
constexpr const char* kLogEvent = "<event type=\"log\" display=%d label=\"%s\"/>";
constexpr const char* kConfigWarning = "<config_warning label=\"%s\" />";
constexpr const char* kTestSendInfo =
    "<TestSendInfo message=\"%s\" lastnbr=\"%s\" description=\"%s\"/>";

// Commands from the clients, compared without regard to case.
constexpr const char* kCommandInit = "<command type=init />";
constexpr const char* kCommandLogOn = "<command type=log state=ON />";
constexpr const char* kCommandLogOff = "<command type=log state=OFF />";
constexpr const char* kCommandTestInfo = "<getTestSendInfo/>";

constexpr const char* kTerminateEventName = "TerminateInterfaceMonitor";
constexpr const char* kUndefined = "[Undefined]";
constexpr const char* kDatedLineFormat = "%02d.%02d.%04d %02d:%02d:%02d %s";
// A '"' inside a quoted attribute, written the way XML writes it.
constexpr std::string_view kQuoteEntity = "&quot;";

// "All slots taken" is written at most this often.
constexpr std::int64_t kAllTakenLogIntervalUs = 10 * platform::kMicrosPerSecond;
// A port that cannot be bound is tried again after this long.
constexpr std::int64_t kOpenFailurePauseUs = 10 * platform::kMicrosPerSecond;
// The clients' log budget holds for this long.
constexpr std::int64_t kLogBudgetWindowUs = platform::kMicrosPerSecond;
// accept fails for lack of descriptors or memory: give the system a moment.
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(50);
// Refused addresses remembered for their log line; beyond this many within
// kRefusalLogIntervalUs, refusals are closed without a line.
constexpr std::size_t kRefusalsRemembered = 4096;
constexpr int kClientStartWaitMs = 60000;
constexpr int kReceiveTimeoutTenths = 10;
constexpr auto kReceivePause = std::chrono::milliseconds(100);
constexpr int kSendWaitMs = 1000;
constexpr auto kSendIdlePause = std::chrono::milliseconds(1);
// Once every queue is empty the send thread rests this long, so that lines
// reported one by one go out in batches (one write per client, not one per
// line); a queue that fills to kWakeSenderAt ends the rest early.
constexpr int kAfterSendPauseMs = 100;
// Longest wait for a full client socket to take bytes again, while only
// such clients have messages waiting: short, since new messages for the
// others do not end it.
constexpr int kBlockedPauseMs = 5;
constexpr int kWakeSenderAt = kMonitorQueuePositions / 2;
// How often the init thread looks at the named terminate event, which
// another process sets as a file.
constexpr int kInitPollMs = 100;
// At most this many bytes are taken from one client's queue per pass: a
// client that reads slowly keeps the rest in its queue (whose 1024
// positions are the bound), not in a growing buffer of ours.
constexpr std::size_t kSendBatchBytes = 256 * 1024;
// A flooding client's waiting bytes are dropped at most this fast per pass.
constexpr std::size_t kDrainPerPass = 1 << 20;
constexpr std::size_t kDrainChunk = 64 * 1024;

// printf into a text of at most `max` characters.
std::string Format(std::size_t max, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string Format(std::size_t max, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::StringPrintfV(format, args);
  va_end(args);
  text.resize(std::min({text.size(), max, kLogMessageMax}));
  return text;
}

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// True when the client has closed its side or the connection broke: what it
// sent and we did not read yet is of no use to anybody then.
bool PeerHasLeft(const SockRecord& sock) {
  pollfd p{sock.socket, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Reads and drops what is waiting on the connection, at most kDrainPerPass
// bytes. Returns the number of receives of kCommandBufferSize - 1 bytes that
// this stands for.
int Drain(const SockRecord& sock) {
  // On the heap: a buffer this size in thread-local storage would be carved
  // out of every thread's small stack.
  static thread_local std::unique_ptr<char[]> scratch;
  if (!scratch) scratch.reset(new (std::nothrow) char[kDrainChunk]);
  if (!scratch) return 0;
  std::size_t dropped = 0;
  while (dropped < kDrainPerPass) {
    ssize_t n = recv(sock.socket, scratch.get(), kDrainChunk, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
  const std::size_t per_receive = kCommandBufferSize - 1;
  return static_cast<int>((dropped + per_receive - 1) / per_receive);
}

}  // namespace

MonitorServer::MonitorServer(int port, const core::ApplicationInfo& info, platform::Clock& clock)
    : port_(port), clock_(clock), info_(info) {
  SockInit();
  com_port_ = kUndefined;
  mode_ = kUndefined;
  profile_file_name_ = info.program_name.substr(0, 255) + ".ini";
  std::vector<std::string> problems;
  access_ = ReadMonitorAccess(profile_file_name_, &problems);
  // The name goes last: WriteLog stays silent until it is set.
  name_ = info.program_name.substr(0, 255);
  for (const std::string& problem : problems) {
    core::ConsoleLog(problem, core::ConsoleLevel::kError);
    WriteLog(problem);
  }
  if (!platform::StartThread([this] { ServerWaitConnThread(); }))
    WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ServerWaitConnThread"));
  if (!platform::StartThread([this] { ServerWaitEventThread(); }))
    WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ServerWaitEventThread"));
}

void MonitorServer::StartFullStatusThread() {
  std::call_once(terminate_once_, [this] {
    // A flag file left by an earlier run must not end the new init thread
    // at once: the event starts out not set.
    terminate_event_ = std::make_unique<platform::NamedEvent>(kTerminateEventName);
    (void)terminate_event_->Reset();
    {
      platform::MutexLock guard(QueueLock);
      init_thread_running_ = true;
    }
    if (!platform::StartThread([this] { MonitorInitThread(); })) {
      {
        platform::MutexLock guard(QueueLock);
        init_thread_running_ = false;
      }
      WriteLog(Format(kStatusMessageMax, kCannotStartThread, "MonitorInitThread"));
    }
  });
}

void MonitorServer::MonitorInitThread() {
  for (;;) {
    if (init_event_.Wait(kInitPollMs)) {
      init_event_.Reset();
      SendFullStatus(info_.program_name.c_str(), info_.profile_file_name.c_str(),
                     info_.version.c_str(), com_port_.c_str(), mode_.c_str(), kPhysicalLayerSerial,
                     nullptr, 0, kWatchdogPhysical, 1);
      SendLogHistory();
    }
    if (terminate_event_->IsSet()) break;
  }
  // Nobody sends the full status any more: serve new clients at once.
  platform::MutexLock guard(QueueLock);
  init_thread_running_ = false;
  for (SlotQueue& queue : queues_) queue.awaiting_status = false;
}

void MonitorServer::ServerWaitConnThread() {
  WriteLog(Format(kStatusMessageMax, kConnThreadStarted, port_));
  BindListener();
  SockRecord incoming;
  for (;;) {
    if (!SockAccept(listener_, incoming)) {
      std::this_thread::sleep_for(kAcceptFailurePause);
      continue;
    }
    Admit(incoming);
    // Whatever Admit did not take is closed here.
    (void)SockClose(incoming);
  }
}

void MonitorServer::BindListener() {
  // One listening socket for good: clients that connect together wait in
  // its backlog instead of being reset between two accepts.
  bool told = false;
  std::int64_t told_us = 0;
  for (;;) {
    platform::Status bound =
        SockOpenListener(listener_, access_.bind_address, port_, kMonitorListenBacklog);
    if (bound) return;
    WriteLog(Format(kStatusMessageMax, kCannotOpenSocket, 0));
    // Which port, and why (another program holds it, an address this
    // machine lacks), is told at once and then once a minute: the line
    // above alone leaves an operator guessing.
    const std::int64_t now = clock_.MonotonicMicros();
    if (!told || now - told_us >= kBindFailureLogIntervalUs) {
      told = true;
      told_us = now;
      const std::string line = Format(kStatusMessageMax, kPortFailure, port_, bound.reason().c_str());
      core::ConsoleLog(line, core::ConsoleLevel::kError);
      WriteLog(line);
    }
    clock_.SleepMicros(kOpenFailurePauseUs);
  }
}

void MonitorServer::Admit(SockRecord& incoming) {
  const in_addr peer = incoming.address.sin_addr;
  // Closed without a word: a stranger learns nothing from the port.
  if (!access_.Allows(peer)) {
    LogRefusal(peer, Format(kStatusMessageMax, kRefusedNotAllowed, AddressText(peer).c_str()));
    return;
  }
  int index = -1, from_peer = 0;
  {
    platform::MutexLock guard(QueueLock);
    for (int i = 0; i < kMonitorClients; ++i) {
      if (queues_[i].state == SlotState::kFree) {
        if (index < 0) index = i;
      } else if (queues_[i].peer == peer.s_addr) {
        ++from_peer;
      }
    }
    if (index >= 0 && from_peer < access_.max_per_address)
      queues_[index].state = SlotState::kReserved;
  }
  if (index < 0) {
    const std::int64_t now = clock_.MonotonicMicros();
    if (!all_taken_logged_ || now - all_taken_logged_us_ >= kAllTakenLogIntervalUs) {
      all_taken_logged_ = true;
      all_taken_logged_us_ = now;
      WriteLog(Format(kStatusMessageMax, kAllSlotsTaken, kMonitorClients));
    }
    return;
  }
  if (from_peer >= access_.max_per_address) {
    LogRefusal(peer,
               Format(kStatusMessageMax, kRefusedTooMany, AddressText(peer).c_str(), from_peer));
    return;
  }
  // Not fatal when it fails: the connection works, it is only found dead
  // later if its peer vanishes.
  (void)SockKeepAlive(incoming, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
  ClientSlot& slot = slots_[index];
  {
    platform::MutexLock send_guard(slot.send_lock);
    platform::MutexLock guard(QueueLock);
    SockHandOver(incoming, slot.sock);
    SlotQueue& queue = queues_[index];
    queue.peer = peer.s_addr;
    slot.connection = ++last_connection_;
    queue.state = SlotState::kConnected;
    queue.awaiting_status = init_thread_running_;
  }
  // The connection's age counts from before its full status is asked for.
  const std::int64_t connected_us = clock_.MonotonicMicros();
  // Every client, the new one included, receives the full status.
  init_event_.Set();
  auto started = std::make_shared<platform::Event>();
  if (platform::StartThread([this, index, connected_us, started] {
        ClientReceiveThread(index, connected_us, started.get());
      })) {
    started->Wait(kClientStartWaitMs);
  } else {
    WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ClientReceiveThread"));
    FreeSlot(index);
  }
}

void MonitorServer::LogRefusal(in_addr peer, const std::string& line) {
  const std::int64_t now = clock_.MonotonicMicros();
  auto found = refusals_logged_.find(peer.s_addr);
  if (found != refusals_logged_.end()) {
    if (now - found->second < kRefusalLogIntervalUs) return;
    found->second = now;
  } else {
    if (refusals_logged_.size() >= kRefusalsRemembered) {
      std::erase_if(refusals_logged_,
                    [&](const auto& entry) { return now - entry.second >= kRefusalLogIntervalUs; });
      if (refusals_logged_.size() >= kRefusalsRemembered) return;
    }
    refusals_logged_.emplace(peer.s_addr, now);
  }
  WriteLog(line);
}

void MonitorServer::ClientReceiveThread(int index, std::int64_t connected_us,
                                        platform::Event* started) {
  started->Set();
  WriteLog(Format(kStatusMessageMax, kConnectionCreated, index));
  ClientSlot& slot = slots_[index];
  ClientRequests requests;
  bool default_alarm_checked = false;
  char buffer[kCommandBufferSize];
  for (;;) {
    if (!default_alarm_checked &&
        clock_.MonotonicMicros() - connected_us >= kDefaultAlarmCheckDelayUs) {
      default_alarm_checked = true;
      WarnOfDefaultAlarm();
    }
    ClientLogLeftOut(false);
    ServeOwedRequests(requests);
    std::fill(std::begin(buffer), std::end(buffer), '\0');
    int got = SockReceive(slot.sock, buffer, kReceiveTimeoutTenths).value_or(-1);
    if (got == -1 || got == kSockPeerClosed) break;
    if (got > 0 && !HandleReceive(index, buffer, got, requests)) break;
    std::this_thread::sleep_for(kReceivePause);
  }
  FreeSlot(index);
  // The last client to leave tells what is left out: no thread is left to
  // tell it once the second is over.
  ClientLogLeftOut(ConnectedClients() == 0);
  WriteLog(Format(kStatusMessageMax, kConnectionClosed, index));
}

void MonitorServer::WarnOfDefaultAlarm() {
  char warning[kDefaultAlarmTextSize] = "";
  if (CheckDefaultAlarm(warning, sizeof warning) == 1)
    QueueMessage(Format(kLogMessageMax, kConfigWarning, AttributeText(warning).c_str()),
                 MonitorMessageKind::kLog);
}

bool MonitorServer::HandleReceive(int index, const char* buffer, int got,
                                  ClientRequests& requests) {
  ClientSlot& slot = slots_[index];
  // A client that has left gets nothing done any more: the rest of what it
  // sent is dropped with the connection, not read and logged for long after.
  if (PeerHasLeft(slot.sock)) return false;
  const MonitorCommand command = ParseMonitorCommand(buffer);
  if (command == MonitorCommand::kTestInfo) {
    ClientWriteLog(ReceivedCommandLogLine(command, buffer));
    // Asking more often than once a second gets one answer a second.
    if (MayServe(requests.test_info, kTestInfoIntervalUs))
      AnswerTestInfo(requests.test_info);
    else
      requests.test_info.owed = true;
    return true;
  }
  HandleCommand(index, command, buffer, requests);
  // A full buffer is no command: the client is pouring text in. What it has
  // sent meanwhile is read and dropped (counted as left out), so its bytes
  // do not pile up in front of a close that ends it all.
  if (static_cast<std::size_t>(got) == kCommandBufferSize - 1) ClientLinesLeftOut(Drain(slot.sock));
  return true;
}

bool MonitorServer::MayServe(const PacedRequest& request, std::int64_t interval_us) const {
  return !request.served || clock_.MonotonicMicros() - request.last_us >= interval_us;
}

void MonitorServer::ServeOwedRequests(ClientRequests& requests) {
  if (requests.test_info.owed && MayServe(requests.test_info, kTestInfoIntervalUs))
    AnswerTestInfo(requests.test_info);
  if (requests.init.owed && MayServe(requests.init, kInitIntervalUs))
    RequestFullStatus(requests.init);
}

void MonitorServer::AnswerTestInfo(PacedRequest& request) {
  std::string line;
  int served = QueueTestSendInfo(&line);
  for (int i = 0; i < served; ++i) ClientWriteLog(line);
  request.served = true;
  request.last_us = clock_.MonotonicMicros();
  request.owed = false;
}

void MonitorServer::RequestFullStatus(PacedRequest& request) {
  init_event_.Set();
  request.served = true;
  request.last_us = clock_.MonotonicMicros();
  request.owed = false;
}

std::string AttributeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"')
      out += kQuoteEntity;
    else
      out += c;
  }
  return out;
}

MonitorCommand ParseMonitorCommand(const char* received) {
  // The text ends at the first NUL, so a client that frames its command the
  // way the server frames its messages is understood too.
  if (strcasecmp(received, kCommandTestInfo) == 0) return MonitorCommand::kTestInfo;
  if (strcasecmp(received, kCommandInit) == 0) return MonitorCommand::kInit;
  if (strcasecmp(received, kCommandLogOn) == 0) return MonitorCommand::kLogOn;
  if (strcasecmp(received, kCommandLogOff) == 0) return MonitorCommand::kLogOff;
  return MonitorCommand::kOther;
}

std::string ReceivedCommandLogLine(MonitorCommand command, const char* received) {
  return Format(kStatusMessageMax,
                command == MonitorCommand::kTestInfo ? kTestInfoRequested : kStringReceived,
                core::PrintableText(received, core::Backslash::kEscaped).c_str());
}

void MonitorServer::HandleCommand(int index, MonitorCommand command, const char* text,
                                  ClientRequests& requests) {
  // Every full status rereads the files and goes to every client: one
  // client asking again and again gets one a second.
  if (command == MonitorCommand::kInit) {
    if (MayServe(requests.init, kInitIntervalUs))
      RequestFullStatus(requests.init);
    else
      requests.init.owed = true;
  }
  if (command == MonitorCommand::kLogOn) log_off_[index].store(0);
  if (command == MonitorCommand::kLogOff) log_off_[index].store(1);
  ClientWriteLog(ReceivedCommandLogLine(command, text));
}

void MonitorServer::ClientWriteLog(std::string_view text) {
  const std::int64_t now = clock_.MonotonicMicros();
  std::string left_out;
  bool write = false;
  {
    platform::MutexLock guard(budget_lock_);
    ClientLogBudget& budget = log_budget_;
    if (!budget.window_open || now - budget.window_start_us >= kLogBudgetWindowUs) {
      left_out = TakeLeftOutLine(true);
      budget.window_open = true;
      budget.window_start_us = now;
      budget.written = 0;
    }
    write = budget.written < kClientLogLinesPerSecond;
    if (write)
      ++budget.written;
    else
      ++budget.left_out;
  }
  if (!left_out.empty()) WriteLog(left_out);
  if (write) WriteLog(text);
}

void MonitorServer::ClientLinesLeftOut(int lines) {
  platform::MutexLock guard(budget_lock_);
  log_budget_.left_out += lines;
}

void MonitorServer::ClientLogLeftOut(bool now_anyway) {
  std::string line;
  {
    platform::MutexLock guard(budget_lock_);
    line = TakeLeftOutLine(now_anyway);
  }
  if (!line.empty()) WriteLog(line);
}

std::string MonitorServer::TakeLeftOutLine(bool now_anyway) {
  ClientLogBudget& budget = log_budget_;
  if (budget.left_out == 0) return {};
  if (!now_anyway && clock_.MonotonicMicros() - budget.window_start_us < kLogBudgetWindowUs)
    return {};
  std::string line = Format(kStatusMessageMax, kLinesLeftOut, budget.left_out);
  budget.left_out = 0;
  return line;
}

void MonitorServer::FreeSlot(int index) {
  ClientSlot& slot = slots_[index];
  platform::MutexLock send_guard(slot.send_lock);
  (void)SockClose(slot.sock);
  platform::MutexLock guard(QueueLock);
  slot.connection = 0;
  SlotQueue& queue = queues_[index];
  queue.state = SlotState::kFree;
  queue.peer = 0;
  queue.awaiting_status = false;
  // What still waits was meant for the client that left; the next client
  // of the slot starts with its own full status.
  for (auto& position : queue.queue) position.reset();
  queue.queue_head = 0;
  queue.queue_count = 0;
}

void MonitorServer::ServerWaitEventThread() {
  WriteLog(kEventThreadStarted);
  bool go_on = false;
  for (;;) {
    if (!go_on && !send_event_.Wait(kSendWaitMs)) {
      std::this_thread::sleep_for(kSendIdlePause);
      continue;
    }
    send_event_.Reset();
    SendState state = SendPass();
    // No pause while clients are taking what waits for them.
    go_on = state != SendState::kEmpty;
    if (state == SendState::kSendable) continue;
    if (state == SendState::kBlocked) {
      // Back as soon as a full socket has room again. A descriptor closed
      // and reused meanwhile only makes this wait shorter or longer.
      poll(blocked_sockets_.data(), blocked_sockets_.size(), kBlockedPauseMs);
      continue;
    }
    pressure_event_.Wait(kAfterSendPauseMs);
    pressure_event_.Reset();
  }
}

MonitorServer::SendState MonitorServer::SendPass() {
  bool waiting = false, blocked = false;
  blocked_sockets_.clear();
  std::vector<std::shared_ptr<const std::string>> taken;
  for (int index = 0; index < kMonitorClients; ++index) {
    ClientSlot& slot = slots_[index];
    if (slot.outbox_sent == slot.outbox.size()) {
      taken.clear();
      std::uint64_t connection = 0;
      {
        platform::MutexLock guard(QueueLock);
        SlotQueue& queue = queues_[index];
        if (queue.state == SlotState::kConnected) {
          connection = slot.connection;
          std::size_t bytes = 0;
          while (queue.queue_count > 0 && bytes < kSendBatchBytes) {
            auto& position = queue.queue[queue.queue_head];
            bytes += position->size() + 1;
            taken.push_back(std::move(position));
            queue.queue_head = (queue.queue_head + 1) % kMonitorQueuePositions;
            --queue.queue_count;
          }
          if (queue.queue_count > 0) waiting = true;
        }
      }
      if (taken.empty()) continue;
      slot.outbox.clear();
      slot.outbox_sent = 0;
      slot.outbox_connection = connection;
      for (const auto& message : taken) {
        slot.outbox.append(*message);
        slot.outbox.push_back('\0');  // the framing: one NUL after every message
      }
      taken.clear();  // releases the copies as soon as they are on their way
    }

    platform::MutexLock send_guard(slot.send_lock);
    if (slot.connection == 0 || slot.connection != slot.outbox_connection) {
      // The client left (or another took the slot): its bytes go nowhere.
      slot.outbox.clear();
      slot.outbox_sent = 0;
      continue;
    }
    // Never block here: a client that does not read keeps its bytes in the
    // outbox and its messages in its queue, and the others go on.
    while (slot.outbox_sent < slot.outbox.size()) {
      ssize_t n = send(slot.sock.socket, slot.outbox.data() + slot.outbox_sent,
                       slot.outbox.size() - slot.outbox_sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        slot.outbox_sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        blocked = true;
        blocked_sockets_.push_back({slot.sock.socket, POLLOUT, 0});
        break;
      } else {
        // Send errors are not reported: the client thread sees the broken
        // connection and frees the slot. What was to be sent is dropped.
        slot.outbox_sent = slot.outbox.size();
      }
    }
    if (slot.outbox_sent == slot.outbox.size()) {
      slot.outbox.clear();
      slot.outbox_sent = 0;
      // A burst must not pin a large buffer per client for good.
      if (slot.outbox.capacity() > kSendBatchBytes) slot.outbox.shrink_to_fit();
    }
  }
  if (waiting) return SendState::kSendable;
  return blocked ? SendState::kBlocked : SendState::kEmpty;
}

void MonitorServer::QueueMessage(std::string_view text, MonitorMessageKind kind) {
  QueueMessageImpl(text, kind, false);
}

void MonitorServer::QueueMessageImpl(std::string_view text, MonitorMessageKind kind,
                                     bool begin_status) {
  // Every message leaves through here: masked like every written line.
  auto copy = std::make_shared<const std::string>(core::Loggable(text));
  bool pressure = false;
  {
    platform::MutexLock guard(QueueLock);
    for (int i = 0; i < kMonitorClients; ++i) {
      SlotQueue& queue = queues_[i];
      if (begin_status) queue.awaiting_status = false;
      if (queue.state != SlotState::kConnected || queue.awaiting_status) continue;
      if (kind == MonitorMessageKind::kLog && log_off_[i].load() == 1) continue;
      if (queue.queue_count == kMonitorQueuePositions) continue;  // full: dropped for this client
      queue.queue[(queue.queue_head + queue.queue_count) % kMonitorQueuePositions] = copy;
      if (++queue.queue_count == kWakeSenderAt) pressure = true;
    }
  }
  send_event_.Set();
  if (pressure) pressure_event_.Set();
}

void MonitorServer::ForwardLog(char* text, core::ReportLevel level) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in)
    if (*in != '<' && *in != '>') *out++ = *in;
  *out = '\0';
  // Masked before the line is cut, so no part of a password is left at its
  // end; a '"' would end the label early.
  const std::string shown = AttributeText(core::Loggable(text));

  const std::time_t now = clock_.WallSeconds();
  std::tm tm{};
  localtime_r(&now, &tm);
  std::string line = Format(kForwardedLineMax, kDatedLineFormat, tm.tm_mday, tm.tm_mon + 1,
                            tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, shown.c_str());
  {
    platform::RecursiveMutexLock whole(full_status_lock_);
    QueueMessage(Format(kLogMessageMax, kLogEvent, static_cast<int>(level), line.c_str()),
                 MonitorMessageKind::kLog);
  }

  platform::MutexLock guard(LogHistoryLock);
  HistoryEntry& entry = LogHistory[log_history_next_];
  entry.text = line.substr(0, kHistoryLineMax);
  entry.level = level;
  log_history_next_ = (log_history_next_ + 1) % kLogHistoryEntries;
}

void MonitorServer::SendLogHistory() {
  // Queues while holding LogHistoryLock: LogHistoryLock before QueueLock.
  platform::MutexLock guard(LogHistoryLock);
  for (int k = 0; k < kLogHistoryEntries; ++k) {
    const HistoryEntry& entry = LogHistory[(log_history_next_ + k) % kLogHistoryEntries];
    if (entry.text.empty()) continue;
    QueueMessage(
        Format(kLogMessageMax, kLogEvent, static_cast<int>(entry.level), entry.text.c_str()),
        MonitorMessageKind::kLog);
  }
}

void MonitorServer::SetConnection(std::atomic<int>& state, int value, const char* on,
                                  const char* off) {
  QueueMessage(value == 1 ? on : off, MonitorMessageKind::kStatus);
  state.store(value == 1 ? 1 : 0);
}

void MonitorServer::SetAlarmServerConnection(int state) {
  SetConnection(alarm_server_connection_, state, kAlarmServerOn, kAlarmServerOff);
}

void MonitorServer::SetRemoteSystemConnection(int state) {
  SetConnection(remote_system_connection_, state, kRemoteSystemOn, kRemoteSystemOff);
}

void MonitorServer::SendTestSendInfo() {
  std::string line;
  int served = QueueTestSendInfo(&line);
  for (int i = 0; i < served; ++i) WriteLog(line);
}

int MonitorServer::QueueTestSendInfo(std::string* line) {
  std::string reply = Format(kStatusMessageMax, kTestSendInfo, test_message_.c_str(),
                             test_last_number_.c_str(), test_description_.c_str());
  auto copy = std::make_shared<const std::string>(core::Loggable(reply));
  int served = 0;
  {
    platform::MutexLock guard(QueueLock);
    for (SlotQueue& queue : queues_) {
      // The log-off flags do not apply, and a client still waiting for its
      // first full status gets it too: it may be the one that asked.
      if (queue.state != SlotState::kConnected) continue;
      if (queue.queue_count == kMonitorQueuePositions) continue;
      queue.queue[(queue.queue_head + queue.queue_count) % kMonitorQueuePositions] = copy;
      ++queue.queue_count;
      ++served;
    }
  }
  send_event_.Set();
  // One line per client served, written by the caller after the lock:
  // producers must not wait for the disk.
  *line = Format(kStatusMessageMax, kTestInfoSent, reply.c_str());
  return served;
}

void MonitorServer::WriteLog(std::string_view text) {
  if (name_.empty()) return;
  platform::MutexLock guard(core::LogFileLock);
  core::AppendDailyLogLocked(name_, text);
}

int MonitorServer::ConnectedClients() {
  platform::MutexLock guard(QueueLock);
  int count = 0;
  for (const SlotQueue& queue : queues_)
    if (queue.state == SlotState::kConnected) ++count;
  return count;
}

}  // namespace monitor
