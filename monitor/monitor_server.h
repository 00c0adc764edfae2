#pragma once
// MonitorServer: the TCP server monitoring clients connect to. It sends
// each client the gateway's identity, connection states, configuration and
// statistics (the full status), and every line reported through the
// interface record; clients may ask for the full status again, switch the
// log lines off and on, and ask for the test information.
//
// Wire format: every message is one text followed by one NUL byte. What a
// client sends is taken one receive (at most 1023 bytes) at a time, each
// receive being one command.
//
// Threads (all detached, 0x20000-byte stacks, running until the process
// ends): ServerWaitConnThread holds the one listening socket and accepts
// clients into 50 slots (only from allowed addresses, at most a few per
// address); ServerWaitEventThread does every socket write; MonitorInitThread
// queues the full status when asked; one ClientReceiveThread per connected
// client reads its commands. Producers never touch the network: they copy
// the message into the per-client queues and wake the send thread.
//
// Every "is it due" of the server (the clients' log budget, a client's
// answers and full statuses, the default alarm check, the refusal lines, the
// bind retry and its line) is measured on
// the monotonic time of the clock it is given; its threads' pacing between
// receives and sends is plain sleeping.
//
// Locks, always taken in this order (never the reverse):
//   full_status_lock_ -> LogHistoryLock -> QueueLock,   a slot's send lock -> QueueLock,
//   QueueLock and every other lock -> LogFileLock.
// budget_lock_ is a leaf: nothing is taken under it.
#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/application_info.h"
#include "core/report.h"
#include "monitor/monitor_access.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace platform {
class NamedEvent;
}

namespace monitor {

inline constexpr int kMonitorClients = 50;           // client slots
inline constexpr int kMonitorQueuePositions = 1024;  // waiting messages per client
inline constexpr int kLogHistoryEntries = 20;        // lines replayed after every init
inline constexpr std::size_t kStatusMessageMax = 1023;
inline constexpr std::size_t kLogMessageMax = 4095;
inline constexpr std::size_t kForwardedLineMax = 511;  // dated line of a forwarded report
inline constexpr std::size_t kHistoryLineMax = 1023;
inline constexpr std::size_t kCommandBufferSize = 1024;  // one receive: 1023 bytes and a NUL
inline constexpr std::size_t kDefaultAlarmTextSize = 512;
inline constexpr std::size_t kStatisticTextSize = 512;
// A connection's check of the default alarm runs once it is this old, so
// the client has its full status before the check's table access.
inline constexpr std::int64_t kDefaultAlarmCheckDelayUs = 4 * platform::kMicrosPerSecond;
// Connections the kernel completes and holds while the accept thread is busy.
inline constexpr int kMonitorListenBacklog = 64;
// What the clients, all together, can make the server write to the daily
// log per second; beyond it one line says how many were left out.
inline constexpr int kClientLogLinesPerSecond = 100;
// "<getTestSendInfo/>" of one client is answered at most this often; a
// request within the interval is answered when it is over.
inline constexpr std::int64_t kTestInfoIntervalUs = platform::kMicrosPerSecond;
// "<command type=init />" of one client is acted on at most this often;
// requests within the interval make one full status once it is over.
inline constexpr std::int64_t kInitIntervalUs = platform::kMicrosPerSecond;
// While the monitor port cannot be bound, its port and the system's reason
// are told at most this often.
inline constexpr std::int64_t kBindFailureLogIntervalUs = 60 * platform::kMicrosPerSecond;
// A refused address is written to the log at most once in this time.
inline constexpr std::int64_t kRefusalLogIntervalUs = 60 * platform::kMicrosPerSecond;
// TCP keepalive of client connections: a peer silent for this long is
// probed, and given up after the probes go unanswered (two minutes in all).
inline constexpr int kKeepAliveIdleSeconds = 60;
inline constexpr int kKeepAliveIntervalSeconds = 10;
inline constexpr int kKeepAliveProbes = 6;

// "status" messages go to every client; "log" messages only to clients that
// did not switch the log lines off.
enum class MonitorMessageKind { kStatus, kLog };

// The physical layer argument of SendFullStatus.
inline constexpr int kPhysicalLayerIp = 0;      // IP address and port
inline constexpr int kPhysicalLayerSerial = 1;  // COM port and mode (this gateway)
inline constexpr int kPhysicalLayerPort = 2;    // port only
// The watchdog kind argument of SendFullStatus.
inline constexpr int kWatchdogNone = 0;
inline constexpr int kWatchdogData = 1;
inline constexpr int kWatchdogPhysical = 2;  // this gateway

// What one receive of a client asks for.
enum class MonitorCommand { kOther, kInit, kLogOn, kLogOff, kTestInfo };

// The command in one receive: its text up to the first NUL, compared with
// the four commands without regard to case. Anything else is kOther, which
// is only written to the log.
MonitorCommand ParseMonitorCommand(const char* received);

// The log line a receive gives, its text escaped (no client starts a log
// line of its own: CR, LF, TAB, the backslash and every other control byte
// as \r, \n, \t, \\, \xHH) and the line cut at kStatusMessageMax
// characters.
std::string ReceivedCommandLogLine(MonitorCommand command, const char* received);

// `text` as it may stand between the quotes of an attribute (label="..."):
// each '"' written as "&quot;", every other byte as it is.
std::string AttributeText(std::string_view text);

class MonitorServer {
 public:
  // Starts ServerWaitConnThread and ServerWaitEventThread on `port`. The
  // name, profile file name and version of `info` are reported to clients.
  // `clock` measures every interval and dates the forwarded lines; it must
  // outlive the server.
  MonitorServer(int port, const core::ApplicationInfo& info, platform::Clock& clock);
  // Detached threads hold the server until the process ends.
  ~MonitorServer() = delete;
  MonitorServer(const MonitorServer&) = delete;
  MonitorServer& operator=(const MonitorServer&) = delete;

  // Creates the named event "TerminateInterfaceMonitor" (not set) and starts
  // MonitorInitThread, which sends the full status whenever it is asked,
  // until another process sets that event. Only the first call does it.
  void StartFullStatusThread();

  // The two connections every program of the family reports (events
  // "OrvConnection" and "RSConnection" on the wire): its link to the alarm
  // server, and its link to the remote system it serves (the one
  // "RemoteSystemName" names; for this gateway, its cameras and video
  // servers). 1 = ON, anything else OFF; announced to every client.
  void SetAlarmServerConnection(int state);
  void SetRemoteSystemConnection(int state);

  // Sends a reported line to the clients and keeps it in the log history.
  // Removes every '<' and '>' from `text` in place; the label shows the
  // line masked (core/log_text.h) and its '"' as "&quot;".
  void ForwardLog(char* text, core::ReportLevel level);

  // Queues a masked copy of `text` (core/log_text.h) for every connected
  // client (log messages not for clients that switched them off); a client
  // with 1024 waiting messages loses this one. Then wakes the send thread.
  void QueueMessage(std::string_view text, MonitorMessageKind kind);

  // Queues the log history, oldest line first.
  void SendLogHistory();
  // Queues the "TestSendInfo" reply for every connected client.
  void SendTestSendInfo();
  // Appends a line of the monitor's own to the daily interface log.
  void WriteLog(std::string_view text);

  // The full status, in the order clients expect it; see status_report.cpp.
  void SendFullStatus(const char* name, const char* profile_file_name, const char* version,
                      const char* com_port, const char* mode, int physical_layer,
                      const char* ip_address, int port, int watchdog_kind, int direction);
  // The seven statistics as shown to clients, each into a buffer of `size`.
  void ReadStatistics(char* last_alarm, char* last_wd, char* last_wd_alr, char* last_data_sent,
                      char* last_data_received, char* last_startup, char* first_installation,
                      std::size_t size);
  // "Description", "PhysicalLayer", "RemoteSystemName" of the profile file,
  // each into a buffer of `size`.
  void ReadInterfaceConfig(char* description, char* physical_layer, char* remote_system,
                           std::size_t size);
  // Checks the default alarm's definition in "vm001.dbf". 1: a warning was
  // written to `text`; 0: none; -1: the table could not be opened.
  int CheckDefaultAlarm(char* text, std::size_t size);

  int port() const { return port_; }
  const MonitorAccess& access() const { return access_; }
  const std::string& name() const { return name_; }
  // Clients connected right now.
  int ConnectedClients();

 private:
  // kReserved: the accept thread is handing a new client to the slot.
  enum class SlotState { kFree, kReserved, kConnected };

  // One client slot. The slot is in use while it holds a client.
  struct ClientSlot {
    // The connection. Written by the accept thread only while the slot is
    // free or reserved (no other thread touches it then); while connected,
    // read by the client thread and the send thread, closed by the client
    // thread under send_lock.
    SockRecord sock;
    // Held around every send on `sock` and around its close, so the send
    // thread never writes to a descriptor that has been reused.
    platform::Mutex send_lock;

    // Guarded by QueueLock and, for writes, by send_lock as well (so either
    // lock is enough to read it): id of the connection in the slot, 0 when
    // none. GUARDED_BY names one lock, so this one stays unannotated.
    std::uint64_t connection = 0;

    // Touched only by the send thread: bytes taken from the queue and not
    // yet accepted by the client's socket, for connection outbox_connection.
    std::string outbox;
    std::size_t outbox_sent = 0;
    std::uint64_t outbox_connection = 0;
  };

  // The part of a client slot that QueueLock guards (kept apart from
  // ClientSlot, as an annotation inside ClientSlot cannot name the server's
  // QueueLock).
  struct SlotQueue {
    SlotState state = SlotState::kFree;
    in_addr_t peer = 0;  // remote address of the client, network byte order
    // A client that has just connected gets no log line and no broadcast
    // status until its first full status begins, so its stream starts with
    // the "application" messages (what it misses is in that status and the
    // log history). Only a "TestSendInfo" reply may come before.
    bool awaiting_status = false;
    // Waiting messages, oldest first: a ring of kMonitorQueuePositions
    // positions. One text is shared by the queues of all clients.
    std::array<std::shared_ptr<const std::string>, kMonitorQueuePositions> queue;
    int queue_head = 0;
    int queue_count = 0;
  };

  // What the clients make the server log within the current second.
  struct ClientLogBudget {
    bool window_open = false;
    std::int64_t window_start_us = 0;  // monotonic
    int written = 0;
    int left_out = 0;
  };
  // A request of one client that is served at most once per interval; a
  // request within it is served once it is over (several, once).
  struct PacedRequest {
    bool served = false;
    std::int64_t last_us = 0;  // monotonic
    bool owed = false;
  };
  // What one client thread keeps of its client.
  struct ClientRequests {
    PacedRequest test_info;  // kTestInfoIntervalUs
    PacedRequest init;       // kInitIntervalUs
  };
  enum class SendState { kEmpty, kSendable, kBlocked };

  void ServerWaitConnThread();
  void ServerWaitEventThread();
  void MonitorInitThread();
  // Serves the client at `index`, connected at the monotonic `connected_us`.
  void ClientReceiveThread(int index, std::int64_t connected_us, platform::Event* started);
  // Acts on one receive of `got` bytes; false when the client has left.
  bool HandleReceive(int index, const char* buffer, int got, ClientRequests& requests);
  // Queues the "TestSendInfo" reply at a client's request and logs it
  // within the clients' budget.
  void AnswerTestInfo(PacedRequest& request);
  // Asks the init thread for the full status at a client's request.
  void RequestFullStatus(PacedRequest& request);
  // Serves what a client asked for within the last interval, once it is over.
  void ServeOwedRequests(ClientRequests& requests);
  bool MayServe(const PacedRequest& request, std::int64_t interval_us) const;
  // Binds the listening socket, trying again every kOpenFailurePauseUs.
  void BindListener();
  // Queues the default alarm's warning, if it has one, for the clients.
  void WarnOfDefaultAlarm();

  // Takes a new connection into a free slot, or closes it at once. Runs on
  // the accept thread.
  void Admit(SockRecord& incoming);
  // Writes `line` about `peer`, unless a line about that address was
  // written within kRefusalLogIntervalUs. Accept thread only.
  void LogRefusal(in_addr peer, const std::string& line);
  // Writes a line a client caused, within the clients' budget.
  void ClientWriteLog(std::string_view text);
  // Counts `lines` a client caused that are not written.
  void ClientLinesLeftOut(int lines);
  // Writes the count of lines left out once the budget's second is over
  // (or at once with `now_anyway`).
  void ClientLogLeftOut(bool now_anyway);
  // The count line, when due; empty otherwise. Caller holds budget_lock_.
  std::string TakeLeftOutLine(bool now_anyway) REQUIRES(budget_lock_);
  // Queues the "TestSendInfo" reply; returns the number of clients served
  // and the log line for each.
  int QueueTestSendInfo(std::string* line);
  // Queues under QueueLock; with `begin_status`, clients waiting for their
  // first full status are served from this message on.
  void QueueMessageImpl(std::string_view text, MonitorMessageKind kind, bool begin_status);
  // Walks all slots once, moving waiting messages to the sockets: kSendable
  // when messages are left for clients that are taking them, kBlocked when
  // only clients whose sockets are full have some, else kEmpty.
  SendState SendPass();
  // Closes the slot's connection and frees it, dropping what waits for it.
  void FreeSlot(int index);
  void HandleCommand(int index, MonitorCommand command, const char* text,
                     ClientRequests& requests);
  void SetConnection(std::atomic<int>& state, int value, const char* on, const char* off);

  // Single integers written by one thread and read by others.
  std::atomic<int> alarm_server_connection_{0};
  std::atomic<int> remote_system_connection_{0};
  const int port_;
  platform::Clock& clock_;
  // Per slot, not per connection: the next client of a slot inherits it.
  std::array<std::atomic<int>, kMonitorClients> log_off_{};

  std::string name_;               // program name, at most 255 characters
  std::string profile_file_name_;  // name followed by ".ini"
  core::ApplicationInfo info_;
  std::string com_port_;
  std::string mode_;
  // Nothing in the gateway fills these; the reply carries them empty.
  std::string test_message_, test_last_number_, test_description_;

  // Read before the threads start, constant afterwards.
  MonitorAccess access_;

  platform::Event send_event_;
  // Set when a client's queue is half full: ends the send thread's pause.
  platform::Event pressure_event_;
  platform::Event init_event_;
  std::once_flag terminate_once_;
  std::unique_ptr<platform::NamedEvent> terminate_event_;  // set once, before its reader starts

  // Guards every slot's queue, state, awaiting_status and connection, and
  // the members below.
  platform::Mutex QueueLock;
  bool init_thread_running_ GUARDED_BY(QueueLock) = false;
  std::uint64_t last_connection_ GUARDED_BY(QueueLock) = 0;
  std::array<SlotQueue, kMonitorClients> queues_ GUARDED_BY(QueueLock);

  std::array<ClientSlot, kMonitorClients> slots_;

  // Send thread only: the sockets that were full in the last pass.
  std::vector<pollfd> blocked_sockets_;

  // Accept thread only: the listening socket, when (monotonic) each refused
  // address was last written to the log, and when "all slots taken" was.
  SockRecord listener_;
  std::unordered_map<in_addr_t, std::int64_t> refusals_logged_;
  bool all_taken_logged_ = false;
  std::int64_t all_taken_logged_us_ = 0;

  // The log lines all clients cause within a second, shared by their
  // receive threads.
  platform::Mutex budget_lock_;
  ClientLogBudget log_budget_ GUARDED_BY(budget_lock_);

  // Held while a full status is queued, and by ForwardLog while it queues, so
  // a forwarded line never lands inside a full status. Taken before
  // LogHistoryLock; recursive, as a report made while queuing comes back here.
  platform::RecursiveMutex full_status_lock_;
  // Guards LogHistory and its next index.
  platform::Mutex LogHistoryLock;
  struct HistoryEntry {
    std::string text;
    core::ReportLevel level = core::ReportLevel::kSuccess;
  };
  std::array<HistoryEntry, kLogHistoryEntries> LogHistory GUARDED_BY(LogHistoryLock);
  int log_history_next_ GUARDED_BY(LogHistoryLock) = 0;
};

}  // namespace monitor
