#include "monitor/interface_monitor.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "monitor/interface.h"
#include "platform/named_objects.h"
#include "platform/thread.h"

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

// Messages to the clients.
constexpr const char* kOrvOn = "<event type=\"OrvConnection\" state=ON />";
constexpr const char* kOrvOff = "<event type=\"OrvConnection\" state=OFF />";
constexpr const char* kRsOn = "<event type=\"RSConnection\" state=ON />";
constexpr const char* kRsOff = "<event type=\"RSConnection\" state=OFF />";
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

constexpr auto kNoSlotPause = std::chrono::seconds(10);
constexpr auto kOpenFailurePause = std::chrono::seconds(10);
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(50);
constexpr auto kAfterAcceptPause = std::chrono::milliseconds(50);
constexpr int kClientStartWaitMs = 60000;
constexpr int kReceiveTimeoutTenths = 10;
constexpr auto kReceivePause = std::chrono::milliseconds(100);
constexpr int kSendWaitMs = 1000;
constexpr auto kSendIdlePause = std::chrono::milliseconds(1);
constexpr auto kAfterSendPause = std::chrono::milliseconds(100);
// How often the init thread looks at the named terminate event, which
// another process sets as a file.
constexpr int kInitPollMs = 100;
// At most this many bytes are taken from one client's queue per pass: a
// client that reads slowly keeps the rest in its queue (whose 1024
// positions are the bound), not in a growing buffer of ours.
constexpr std::size_t kSendBatchBytes = 256 * 1024;
// Each check of the default alarm happens once per connection.
constexpr int kPassCountDone = 6;

// printf into a text of at most `max` characters.
std::string Format(std::size_t max, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string Format(std::size_t max, const char* format, ...) {
  std::string out(max + 1, '\0');
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out.data(), out.size(), format, args);
  va_end(args);
  out.resize(n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), max));
  return out;
}

}  // namespace

void MonitorEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = true;
  }
  changed_.notify_all();
}

void MonitorEvent::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  set_ = false;
}

bool MonitorEvent::Wait(int milliseconds) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] { return set_; });
}

CInterfaceMonitor::CInterfaceMonitor(int port, const ApplicationInfo& info)
    : port_(port), info_(info) {
  SockInit();
  com_port_ = kUndefined;
  mode_ = kUndefined;
  profile_file_name_ = info.program_name.substr(0, 255) + ".ini";
  // The name goes last: WriteLog stays silent until it is set.
  name_ = info.program_name.substr(0, 255);
  if (!platform::StartThread([this] { ServerWaitConnThread(); }))
    WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ServerWaitConnThread"));
  if (!platform::StartThread([this] { ServerWaitEventThread(); }))
    WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ServerWaitEventThread"));
}

void CInterfaceMonitor::TerminateInterfaceMonitor() {
  std::call_once(terminate_once_, [this] {
    // A flag file left by an earlier run must not end the new init thread
    // at once: the event starts out not set.
    terminate_event_ = std::make_unique<platform::NamedEvent>(kTerminateEventName);
    terminate_event_->Reset();
    {
      std::lock_guard<std::mutex> guard(QueueLock);
      init_thread_running_ = true;
    }
    if (!platform::StartThread([this] { MonitorInitThread(); })) {
      {
        std::lock_guard<std::mutex> guard(QueueLock);
        init_thread_running_ = false;
      }
      WriteLog(Format(kStatusMessageMax, kCannotStartThread, "MonitorInitThread"));
    }
  });
}

void CInterfaceMonitor::MonitorInitThread() {
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
  std::lock_guard<std::mutex> guard(QueueLock);
  init_thread_running_ = false;
  for (ClientSlot& slot : slots_) slot.awaiting_status = false;
}

void CInterfaceMonitor::ServerWaitConnThread() {
  WriteLog(Format(kStatusMessageMax, kConnThreadStarted, port_));
  for (;;) {
    int index = -1;
    {
      std::lock_guard<std::mutex> guard(QueueLock);
      for (int i = 0; i < kMonitorClients; ++i) {
        if (slots_[i].state == SlotState::kFree) {
          slots_[i].state = SlotState::kListening;
          index = i;
          break;
        }
      }
    }
    if (index < 0) {
      WriteLog(Format(kStatusMessageMax, kAllSlotsTaken, kMonitorClients));
      std::this_thread::sleep_for(kNoSlotPause);
      continue;
    }
    ClientSlot& slot = slots_[index];
    auto release_slot = [&] {
      std::lock_guard<std::mutex> guard(QueueLock);
      slot.state = SlotState::kFree;
    };
    if (SockOpenServer(slot.sock, port_) != 0) {
      // The socket layer leaves no socket in the record, so the slot is
      // free again for the next try.
      WriteLog(Format(kStatusMessageMax, kCannotOpenSocket, index));
      release_slot();
      std::this_thread::sleep_for(kOpenFailurePause);
      continue;
    }
    if (SockListen(slot.sock, 0) != 0) {
      // The record still holds the listening socket: close it, so the port
      // is bound afresh on the next try.
      SockClose(slot.sock);
      release_slot();
      std::this_thread::sleep_for(kAcceptFailurePause);
      continue;
    }
    {
      std::lock_guard<std::mutex> send_guard(slot.send_lock);
      std::lock_guard<std::mutex> guard(QueueLock);
      slot.connection = ++last_connection_;
      slot.state = SlotState::kConnected;
      slot.awaiting_status = init_thread_running_;
    }
    // Every client, the new one included, receives the full status.
    init_event_.Set();
    auto started = std::make_shared<MonitorEvent>();
    if (platform::StartThread([this, index, started] { ClientReceiveThread(index, started.get()); })) {
      started->Wait(kClientStartWaitMs);
    } else {
      WriteLog(Format(kStatusMessageMax, kCannotStartThread, "ClientReceiveThread"));
      FreeSlot(index);
    }
    std::this_thread::sleep_for(kAfterAcceptPause);
  }
}

void CInterfaceMonitor::ClientReceiveThread(int index, MonitorEvent* started) {
  started->Set();
  WriteLog(Format(kStatusMessageMax, kConnectionCreated, index));
  ClientSlot& slot = slots_[index];
  int pass = 0;
  char buffer[kCommandBufferSize];
  for (;;) {
    if (pass < kPassCountDone) {
      ++pass;
      // Not at once: the client has its full status before the check's
      // table access runs.
      if (pass == kDefaultAlarmCheckPass) {
        pass = kPassCountDone;
        char warning[kDefaultAlarmTextSize] = "";
        if (CheckDefaultAlarm(warning, sizeof warning) == 1)
          QueueMessage(Format(kLogMessageMax, kConfigWarning, warning), MonitorMessageKind::kLog);
      }
    }
    std::fill(std::begin(buffer), std::end(buffer), '\0');
    int got = SockReceive(slot.sock, buffer, kReceiveTimeoutTenths);
    if (got == -1 || got == kSockPeerClosed) break;
    if (got > 0) {
      // The text ends at the first NUL, so a client that frames its command
      // the way the server frames its messages is understood too.
      if (strcasecmp(buffer, kCommandTestInfo) == 0) {
        WriteLog(Format(kStatusMessageMax, kTestInfoRequested, buffer));
        SendTestSendInfo();
        std::this_thread::sleep_for(kReceivePause);
        continue;
      }
      HandleCommand(index, buffer);
    }
    std::this_thread::sleep_for(kReceivePause);
  }
  FreeSlot(index);
  WriteLog(Format(kStatusMessageMax, kConnectionClosed, index));
}

void CInterfaceMonitor::HandleCommand(int index, const char* text) {
  if (strcasecmp(text, kCommandInit) == 0) init_event_.Set();
  if (strcasecmp(text, kCommandLogOn) == 0) log_off_[index].store(0);
  if (strcasecmp(text, kCommandLogOff) == 0) log_off_[index].store(1);
  WriteLog(Format(kStatusMessageMax, kStringReceived, text));
}

void CInterfaceMonitor::FreeSlot(int index) {
  ClientSlot& slot = slots_[index];
  std::lock_guard<std::mutex> send_guard(slot.send_lock);
  SockClose(slot.sock);
  std::lock_guard<std::mutex> guard(QueueLock);
  slot.connection = 0;
  slot.state = SlotState::kFree;
  slot.awaiting_status = false;
  // What still waits was meant for the client that left; the next client
  // of the slot starts with its own full status.
  for (auto& position : slot.queue) position.reset();
  slot.queue_head = 0;
  slot.queue_count = 0;
}

void CInterfaceMonitor::ServerWaitEventThread() {
  WriteLog(kEventThreadStarted);
  bool more = false;
  for (;;) {
    // While a client's socket is full, retry without waiting for news.
    if (!send_event_.Wait(more ? 0 : kSendWaitMs) && !more) {
      std::this_thread::sleep_for(kSendIdlePause);
      continue;
    }
    send_event_.Reset();
    more = SendPass();
    std::this_thread::sleep_for(kAfterSendPause);
  }
}

bool CInterfaceMonitor::SendPass() {
  bool more = false;
  std::vector<std::shared_ptr<const std::string>> taken;
  for (ClientSlot& slot : slots_) {
    if (slot.outbox_sent == slot.outbox.size()) {
      taken.clear();
      std::uint64_t connection = 0;
      {
        std::lock_guard<std::mutex> guard(QueueLock);
        if (slot.state == SlotState::kConnected) {
          connection = slot.connection;
          std::size_t bytes = 0;
          while (slot.queue_count > 0 && bytes < kSendBatchBytes) {
            auto& position = slot.queue[slot.queue_head];
            bytes += position->size() + 1;
            taken.push_back(std::move(position));
            slot.queue_head = (slot.queue_head + 1) % kMonitorQueuePositions;
            --slot.queue_count;
          }
          if (slot.queue_count > 0) more = true;
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

    std::lock_guard<std::mutex> send_guard(slot.send_lock);
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
        more = true;
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
  return more;
}

void CInterfaceMonitor::QueueMessage(std::string_view text, MonitorMessageKind kind) {
  QueueMessageImpl(text, kind, false);
}

void CInterfaceMonitor::QueueMessageImpl(std::string_view text, MonitorMessageKind kind,
                                         bool begin_status) {
  auto copy = std::make_shared<const std::string>(text);
  {
    std::lock_guard<std::mutex> guard(QueueLock);
    for (int i = 0; i < kMonitorClients; ++i) {
      ClientSlot& slot = slots_[i];
      if (begin_status) slot.awaiting_status = false;
      if (slot.state != SlotState::kConnected || slot.awaiting_status) continue;
      if (kind == MonitorMessageKind::kLog && log_off_[i].load() == 1) continue;
      if (slot.queue_count == kMonitorQueuePositions) continue;  // full: dropped for this client
      slot.queue[(slot.queue_head + slot.queue_count) % kMonitorQueuePositions] = copy;
      ++slot.queue_count;
    }
  }
  send_event_.Set();
}

void CInterfaceMonitor::ForwardLog(char* text, int level) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in)
    if (*in != '<' && *in != '>') *out++ = *in;
  *out = '\0';

  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::string line = Format(kForwardedLineMax, kDatedLineFormat, tm.tm_mday, tm.tm_mon + 1,
                            tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, text);
  {
    std::lock_guard<std::recursive_mutex> whole(full_status_lock_);
    QueueMessage(Format(kLogMessageMax, kLogEvent, level, line.c_str()), MonitorMessageKind::kLog);
  }

  std::lock_guard<std::mutex> guard(LogHistoryLock);
  HistoryEntry& entry = LogHistory[log_history_next_];
  entry.text = line.substr(0, kHistoryLineMax);
  entry.level = level;
  log_history_next_ = (log_history_next_ + 1) % kLogHistoryEntries;
}

void CInterfaceMonitor::SendLogHistory() {
  // Queues while holding LogHistoryLock: LogHistoryLock before QueueLock.
  std::lock_guard<std::mutex> guard(LogHistoryLock);
  for (int k = 0; k < kLogHistoryEntries; ++k) {
    const HistoryEntry& entry = LogHistory[(log_history_next_ + k) % kLogHistoryEntries];
    if (entry.text.empty()) continue;
    QueueMessage(Format(kLogMessageMax, kLogEvent, entry.level, entry.text.c_str()),
                 MonitorMessageKind::kLog);
  }
}

void CInterfaceMonitor::SetConnection(std::atomic<int>& state, int value, const char* on,
                                      const char* off) {
  QueueMessage(value == 1 ? on : off, MonitorMessageKind::kStatus);
  state.store(value == 1 ? 1 : 0);
}

void CInterfaceMonitor::SetOrvConnection(int state) {
  SetConnection(orv_connection_, state, kOrvOn, kOrvOff);
}

void CInterfaceMonitor::SetRSConnection(int state) {
  SetConnection(rs_connection_, state, kRsOn, kRsOff);
}

void CInterfaceMonitor::SendTestSendInfo() {
  std::string reply = Format(kStatusMessageMax, kTestSendInfo, test_message_.c_str(),
                             test_last_number_.c_str(), test_description_.c_str());
  auto copy = std::make_shared<const std::string>(reply);
  int served = 0;
  {
    std::lock_guard<std::mutex> guard(QueueLock);
    for (ClientSlot& slot : slots_) {
      // The log-off flags do not apply, and a client still waiting for its
      // first full status gets it too: it may be the one that asked.
      if (slot.state != SlotState::kConnected) continue;
      if (slot.queue_count == kMonitorQueuePositions) continue;
      slot.queue[(slot.queue_head + slot.queue_count) % kMonitorQueuePositions] = copy;
      ++slot.queue_count;
      ++served;
    }
  }
  // One line per client served, written after the lock: producers must not
  // wait for the disk.
  std::string line = Format(kStatusMessageMax, kTestInfoSent, reply.c_str());
  for (int i = 0; i < served; ++i) WriteLog(line);
  send_event_.Set();
}

void CInterfaceMonitor::WriteLog(std::string_view text) {
  if (name_.empty()) return;
  std::lock_guard<std::mutex> guard(LogFileLock);
  AppendDailyLogLocked(name_, text);
}

int CInterfaceMonitor::ConnectedClients() {
  std::lock_guard<std::mutex> guard(QueueLock);
  int count = 0;
  for (const ClientSlot& slot : slots_)
    if (slot.state == SlotState::kConnected) ++count;
  return count;
}
