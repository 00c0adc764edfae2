#pragma once
// InterfaceRecord: the gateway's single reporting sink. Every reported line lands
// in the daily interface log (".\log\<name>_YYYYMMDD.log"); error lines also
// land in the error ring "<name>_error.ini"; lines are forwarded to the
// monitor server once one is attached. It also claims the monitor port in the
// port register and records the start statistics and the start event.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/daily_log.h"
#include "core/report.h"
#include "platform/clock.h"
#include "platform/mutex.h"

namespace monitor {

class MonitorServer;

inline constexpr int kErrorRingSize = 1024;  // entries of the error ring
// The error ring file is rewritten at most this often (and at a clean end).
inline constexpr std::int64_t kErrorRingFlushIntervalUs = platform::kMicrosPerSecond;
inline constexpr int kDefaultFirstIPPort = 22001;
inline constexpr int kDefaultLastIPPort = 22499;
inline constexpr const char* kPortRegisterFile = "qxmoninterfaces.ini";
inline constexpr int kStartEventCode = 49122;
inline constexpr int kStartEventModuleType = 4;

class InterfaceRecord {
 public:
  // `clock` paces the error ring's rewrites and the port register's wait,
  // and dates the start statistics; it must outlive the record.
  InterfaceRecord(std::string_view program_name, platform::Clock& clock);
  // Writes what the error ring still holds and stops its thread.
  ~InterfaceRecord();
  InterfaceRecord(const InterfaceRecord&) = delete;
  InterfaceRecord& operator=(const InterfaceRecord&) = delete;

  // Attaches the monitor server; from then on lines other than level 10 are
  // forwarded to its clients.
  void SetMonitor(MonitorServer* monitor);

  // Claims (or finds again) this program's port in "qxmoninterfaces.ini".
  int GetMonitorPort();

  // Writes the line to the daily log (and the error ring for level 3).
  // `text` is a buffer the caller owns: forwarding to monitoring clients
  // edits it in place.
  void Log(char* text, core::ReportLevel level);
  void WriteLogFile(std::string_view text, core::ReportLevel level);
  // Puts the line into the error ring, which lives in memory: its file is
  // rewritten by a thread of the record at most once per
  // kErrorRingFlushIntervalUs, so reporting threads never wait for it.
  void AddErrorEntry(std::string_view line);
  // Writes what changed in the error ring to its file now (at a clean end).
  void FlushErrorRing();

  // Records "LastStartup" / "FirstInstallation" and writes the start event
  // job file. Returns 1 when an event job file was written, else 0.
  int ReportApplicationStarted(std::string_view application_name, std::string_view version);

  const std::string& name() const { return name_; }
  platform::Clock& clock() const { return clock_; }
  // The program's profile file: name followed by ".ini".
  std::string ProfileFileName() const { return name_ + ".ini"; }
  std::string ErrorRingFileName() const { return name_ + "_error.ini"; }

 private:
  void AddErrorEntryLocked(std::string_view line) REQUIRES(core::LogFileLock);
  void ErrorRingFlusher();
  // Waits under LogFileLock until the monotonic `round_us` or a stop; false
  // on a stop.
  bool AwaitNextRound(std::int64_t round_us) REQUIRES(core::LogFileLock);

  std::string name_;
  platform::Clock& clock_;
  // Set once by main before other threads report much; atomic so a thread
  // that reports meanwhile reads either null or the monitor.
  std::atomic<MonitorServer*> monitor_{nullptr};

  // The error ring's state; guarded by LogFileLock. "NbErrors" is read from
  // the file once, at the first error; from then on the record's count is
  // the truth (a hand edit while the gateway runs is overwritten).
  bool ring_loaded_ GUARDED_BY(core::LogFileLock) = false;
  int nb_errors_ GUARDED_BY(core::LogFileLock) = 0;
  // Entries changed since the last flush, by index, and the order in which
  // they first changed (new keys are added to the file in that order).
  std::unordered_map<int, std::string> ring_entries_ GUARDED_BY(core::LogFileLock);
  std::vector<int> ring_order_ GUARDED_BY(core::LogFileLock);
  bool flusher_started_ GUARDED_BY(core::LogFileLock) = false;
  bool flusher_running_ GUARDED_BY(core::LogFileLock) = false;
  bool stopping_ GUARDED_BY(core::LogFileLock) = false;
  // Signalled when an entry changed, when stopping, and when the flusher ends.
  platform::CondVar ring_changed_;
  // Held while the file is rewritten, so two flushes never interleave.
  platform::Mutex ring_flush_lock_;
};

}  // namespace monitor
