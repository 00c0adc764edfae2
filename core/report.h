#pragma once
// ReportToInterface: the one road of a report line to the interface record.
// The record lives in the monitoring subsystem, which builds on this one, so
// the start-up code attaches it here as a sink; until then (or when it could
// not be made) lines are dropped.
#include <string_view>

using ReportSink = void (*)(void* record, char* text, int level);

// Attaches the interface record; `sink` is called with a writable copy of
// each line. A null record detaches it.
void SetReportSink(void* record, ReportSink sink);

// Passes the line and its level to the interface record, if there is one.
void ReportToInterface(std::string_view text, int level);

// printf-style form of ReportToInterface.
void ReportToInterfaceF(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
