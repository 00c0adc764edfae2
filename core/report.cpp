#include "core/report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/strings.h"

namespace core {

namespace {
// Set once at start, before any thread reports; atomics keep later readers
// honest without a lock.
std::atomic<void*> g_record{nullptr};
std::atomic<ReportSink> g_sink{nullptr};
}  // namespace

void SetReportSink(void* record, ReportSink sink) {
  g_sink.store(sink);
  g_record.store(record);
}

bool ReportSinkAttached() { return g_record.load() != nullptr && g_sink.load() != nullptr; }

void ReportToInterface(std::string_view text, ReportLevel level) {
  void* record = g_record.load();
  ReportSink sink = g_sink.load();
  if (!record || !sink) return;
  // The record may edit the line in place (it strips angle brackets before
  // forwarding), so it gets a copy the caller does not own.
  std::string copy(text);
  sink(record, copy.data(), level);
}

void ReportToInterfaceF(ReportLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::StringPrintfV(format, args);
  va_end(args);
  ReportToInterface(std::string_view(text).substr(0, kFormattedLineMax), level);
}

void ConsoleAndReport(std::string_view text, ConsoleLevel console, ReportLevel report) {
  ConsoleLog(text, console);
  ReportToInterface(text, report);
}

}  // namespace core
