#pragma once
// ReportToInterface: the one road of a report line to the interface record.
// The record lives in the monitoring subsystem, which builds on this one, so
// the start-up code attaches it here as a sink; until then (or when it could
// not be made) lines are dropped.
#include <string_view>

#include "core/console.h"

namespace core {

// What the interface record does with a line: every level lands in the daily
// interface log; kError also in the error ring; every level but kLogOnly is
// forwarded to monitoring clients.
enum class ReportLevel { kSuccess = 0, kInfo = 1, kError = 3, kLogOnly = 10 };

using ReportSink = void (*)(void* record, char* text, ReportLevel level);

// Attaches the interface record; `sink` is called with a writable copy of
// each line. A null record detaches it.
void SetReportSink(void* record, ReportSink sink);

// Passes the line and its level to the interface record, if there is one.
void ReportToInterface(std::string_view text, ReportLevel level);
// Whether a record is attached (lines are not dropped).
bool ReportSinkAttached();

// printf-style form of ReportToInterface.
void ReportToInterfaceF(ReportLevel level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The same line on the console and to the interface record.
void ConsoleAndReport(std::string_view text, ConsoleLevel console, ReportLevel report);

}  // namespace core
