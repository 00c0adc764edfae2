#include "core/report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

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

void ReportToInterface(std::string_view text, int level) {
  void* record = g_record.load();
  ReportSink sink = g_sink.load();
  if (!record || !sink) return;
  // The record may edit the line in place (it strips angle brackets before
  // forwarding), so it gets a copy the caller does not own.
  std::string copy(text);
  sink(record, copy.data(), level);
}

void ReportToInterfaceF(int level, const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  ReportToInterface(buf, level);
}
