#include "monitor/interface_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "core/profile/user_profile.h"
#include "monitor/event_job.h"
#include "monitor/monitor_server.h"
#include "platform/profile.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace monitor {

namespace {
constexpr const char* kStartEventText = "Application '%s' started (version %s)";
constexpr const char* kStartEventValues = "%s;%s";
constexpr const char* kNoFreePort =
    "ERROR: no free monitor port from %d below %d in qxmoninterfaces.ini, using %d";
constexpr int kHighestPort = 65535;
// The register is read and written under an exclusive lock on this file
// beside it, so programs of the family starting at once never claim one
// port twice. (The register itself is replaced on every write, so a lock on
// it would be on a file that is gone.)
constexpr const char* kPortLockSuffix = ".lock";
constexpr int kPortLockWaitSeconds = 10;
constexpr auto kPortLockPoll = std::chrono::milliseconds(20);
constexpr const char* kPortLockTimeout =
    "ERROR: the port register lock %s is held by another program for over %d seconds - "
    "choosing the monitor port without it";
constexpr const char* kPortLockFailed =
    "ERROR: can not open the port register lock %s (%s) - choosing the monitor port without it";

std::string Hex8(std::time_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(t));
  return buf;
}
// Holds the port register's lock from construction to destruction. When the
// lock cannot be had, `why` says so and the register is used without it:
// a program that starts anyway beats one that waits for ever.
class PortRegisterLock {
 public:
  explicit PortRegisterLock(platform::Clock& clock) {
    const std::string path = core::ResolveProfilePath(kPortRegisterFile) + kPortLockSuffix;
    fd_.reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd_.valid()) {
      why_ = platform::StringPrintf(kPortLockFailed, path.c_str(), std::strerror(errno));
      return;
    }
    const std::int64_t give_up =
        clock.MonotonicMicros() + kPortLockWaitSeconds * platform::kMicrosPerSecond;
    while (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || clock.MonotonicMicros() >= give_up) {
        why_ = platform::StringPrintf(kPortLockTimeout, path.c_str(), kPortLockWaitSeconds);
        fd_.reset();
        return;
      }
      std::this_thread::sleep_for(kPortLockPoll);
    }
  }
  // Closing the descriptor releases the lock.
  const std::string& why() const { return why_; }

 private:
  platform::UniqueFd fd_;
  std::string why_;
};
}  // namespace

InterfaceRecord::InterfaceRecord(std::string_view program_name, platform::Clock& clock)
    : name_(program_name.substr(0, 259)), clock_(clock) {}

InterfaceRecord::~InterfaceRecord() {
  {
    platform::MutexLock guard(core::LogFileLock);
    stopping_ = true;
    ring_changed_.SignalAll();
    while (flusher_running_) ring_changed_.Wait(core::LogFileLock);
  }
  FlushErrorRing();
}

void InterfaceRecord::SetMonitor(MonitorServer* monitor) { monitor_.store(monitor); }

void InterfaceRecord::Log(char* text, core::ReportLevel level) {
  WriteLogFile(text, level);
  // The file keeps the line as reported; the monitor strips the angle
  // brackets from the caller's buffer afterwards.
  if (level == core::ReportLevel::kLogOnly) return;
  if (MonitorServer* monitor = monitor_.load()) monitor->ForwardLog(text, level);
}

void InterfaceRecord::WriteLogFile(std::string_view text, core::ReportLevel level) {
  platform::MutexLock guard(core::LogFileLock);
  std::string line = core::AppendDailyLogLocked(name_, text);
  if (level == core::ReportLevel::kError) AddErrorEntryLocked(line);
}

void InterfaceRecord::AddErrorEntry(std::string_view line) {
  platform::MutexLock guard(core::LogFileLock);
  AddErrorEntryLocked(line);
}

void InterfaceRecord::AddErrorEntryLocked(std::string_view line) {
  // Runs under LogFileLock, so two errors never take the same index.
  if (!ring_loaded_) {
    nb_errors_ = core::GetIniInt("Global", "NbErrors", 0, ErrorRingFileName());
    ring_loaded_ = true;
  }
  int index = static_cast<int>((static_cast<long long>(nb_errors_) + 1) % kErrorRingSize);
  nb_errors_ = index;
  auto [entry, added] = ring_entries_.try_emplace(index, line);
  if (added)
    ring_order_.push_back(index);
  else
    entry->second = line;
  if (!flusher_started_) {
    flusher_started_ = true;
    // Without the thread the file is still written at a clean end.
    flusher_running_ = platform::StartThread([this] { ErrorRingFlusher(); }).ok();
  }
  ring_changed_.SignalAll();
}

void InterfaceRecord::ErrorRingFlusher() {
  core::LogFileLock.Lock();
  for (;;) {
    while (ring_order_.empty() && !stopping_) ring_changed_.Wait(core::LogFileLock);
    if (stopping_) break;
    core::LogFileLock.Unlock();
    FlushErrorRing();
    const std::int64_t next_round = clock_.MonotonicMicros() + kErrorRingFlushIntervalUs;
    core::LogFileLock.Lock();
    // What comes in meanwhile waits for the next round.
    if (!AwaitNextRound(next_round)) break;
  }
  flusher_running_ = false;
  ring_changed_.SignalAll();
  core::LogFileLock.Unlock();
}

bool InterfaceRecord::AwaitNextRound(std::int64_t round_us) {
  // New entries wake the wait too; it goes on until the clock has reached
  // the round.
  while (!stopping_) {
    const std::int64_t left_us = round_us - clock_.MonotonicMicros();
    if (left_us <= 0) return true;
    ring_changed_.WaitFor(core::LogFileLock, std::chrono::microseconds(left_us));
  }
  return false;
}

void InterfaceRecord::FlushErrorRing() {
  platform::MutexLock flushing(ring_flush_lock_);
  std::vector<platform::ProfileWrite> writes;
  {
    platform::MutexLock guard(core::LogFileLock);
    if (ring_order_.empty()) return;
    writes.reserve(ring_order_.size() + 1);
    char key[32];
    for (int index : ring_order_) {
      std::snprintf(key, sizeof key, "Error_%d", index);
      writes.push_back({"Error", key, std::move(ring_entries_[index])});
    }
    writes.push_back({"Global", "NbErrors", std::to_string(nb_errors_)});
    ring_entries_.clear();
    ring_order_.clear();
  }
  // The same file one profile write per entry and count would leave, written
  // once and outside LogFileLock.
  (void)platform::ProfileWriteStrings(core::ResolveProfilePath(ErrorRingFileName()), writes);
}

int InterfaceRecord::GetMonitorPort() {
  PortRegisterLock lock(clock_);
  if (!lock.why().empty()) {
    std::string message = lock.why();
    Log(message.data(), core::ReportLevel::kError);
  }
  core::ProfileFile reg(kPortRegisterFile);
  int first = -1, last = -1;
  if (reg.Open()) {
    reg.GetInt("Config", "FirstIPPort", -1, &first);
    if (first == -1) {
      (void)reg.WriteString("Config", "FirstIPPort", "22001");
      first = kDefaultFirstIPPort;
    }
    reg.GetInt("Config", "LastIPPort", -1, &last);
    if (last == -1) {
      (void)reg.WriteString("Config", "LastIPPort", "22499");
      last = kDefaultLastIPPort;
    }
  }
  const std::string own = ProfileFileName();
  // Ports outside 1..65535 can never be listened on; a hand-edited huge range
  // must not turn into billions of profile reads.
  int from = std::max(first, 1);
  int to = std::min(last, kHighestPort + 1);
  for (int p = from; p < to; ++p) {
    std::string holder = reg.GetString("Interfaces", std::to_string(p), "", 256);
    if (holder == own) {
      reg.Close();
      return p;
    }
    if (holder.empty()) {
      (void)reg.WriteString("Interfaces", std::to_string(p), own.c_str());
      reg.Close();
      return p;
    }
  }
  reg.Close();
  // No port of the range is free: fall back to the end of the default range,
  // which the register itself never hands out, and say so.
  std::string msg = platform::StringPrintf(kNoFreePort, first, last, kDefaultLastIPPort);
  Log(msg.data(), core::ReportLevel::kError);
  return kDefaultLastIPPort;
}

int InterfaceRecord::ReportApplicationStarted(std::string_view application_name,
                                              std::string_view version) {
  const std::time_t now = clock_.WallSeconds();
  std::string profile = ProfileFileName();
  (void)core::WriteIniString("Statistics", "LastStartup", Hex8(now).c_str(), profile);
  if (core::GetIniString("Statistics", "FirstInstallation", "", profile, 256).empty())
    (void)core::WriteIniString("Statistics", "FirstInstallation", Hex8(now).c_str(), profile);

  std::string app(application_name), ver(version);
  char text[1024], values[1024];
  std::snprintf(text, sizeof text, kStartEventText, app.c_str(), ver.c_str());
  std::snprintf(values, sizeof values, kStartEventValues, app.c_str(), ver.c_str());
  std::string event_text = text, event_values = values;
  return WriteEventJob(1, kStartEventCode, *this, event_text, &event_values, kStartEventModuleType,
                       nullptr, nullptr, 0, 0);
}

}  // namespace monitor
