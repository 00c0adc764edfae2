#pragma once
// CInterface: the gateway's single reporting sink. Every reported line lands
// in the daily interface log (".\log\<name>_YYYYMMDD.log"); error lines also
// land in the error ring "<name>_error.ini"; lines are forwarded to the
// monitor server once one is attached. It also claims the monitor port in the
// port register and records the start statistics and the start event.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

class CInterfaceMonitor;

// Serialises every write of the daily interface log and the error ring
// (the monitor server writes its own lines into the same file).
extern std::mutex LogFileLock;

inline constexpr std::size_t kLogLineMax = 511;     // longest line of the daily log
inline constexpr int kErrorRingSize = 1024;         // entries of the error ring
inline constexpr int kDefaultFirstIPPort = 22001;
inline constexpr int kDefaultLastIPPort = 22499;
inline constexpr const char* kPortRegisterFile = "qxmoninterfaces.ini";
inline constexpr int kStartEventCode = 49122;
inline constexpr int kStartEventModuleType = 4;

// Appends "dd.mm hh:mm:ss text" (cut at kLogLineMax characters) to today's
// interface log of program `name`, "./log/<name>_YYYYMMDD.log". The caller
// holds LogFileLock. Returns the formatted line; a file that cannot be opened
// loses it silently.
std::string AppendDailyLogLocked(std::string_view name, std::string_view text);

class CInterface {
 public:
  explicit CInterface(std::string_view program_name);

  // Attaches the monitor server; from then on lines other than level 10 are
  // forwarded to its clients.
  void SetMonitor(CInterfaceMonitor* monitor);

  // Claims (or finds again) this program's port in "qxmoninterfaces.ini".
  int GetMonitorPort();

  // Writes the line to the daily log (and the error ring for level 3).
  // `text` is a buffer the caller owns: forwarding to monitoring clients
  // edits it in place.
  void Log(char* text, int level);
  void WriteLogFile(std::string_view text, int level);
  void AddErrorEntry(std::string_view line);

  // Records "LastStartup" / "FirstInstallation" and writes the start event
  // job file. Returns 1 when an event job file was written, else 0.
  int ReportApplicationStarted(std::string_view application_name, std::string_view version);

  const std::string& name() const { return name_; }
  // The program's profile file: name followed by ".ini".
  std::string ProfileFileName() const { return name_ + ".ini"; }
  std::string ErrorRingFileName() const { return name_ + "_error.ini"; }

 private:
  std::string name_;
  // Set once by main before other threads report much; atomic so a thread
  // that reports meanwhile reads either null or the monitor.
  std::atomic<CInterfaceMonitor*> monitor_{nullptr};
};

