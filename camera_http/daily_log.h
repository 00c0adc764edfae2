#pragma once
// The per-camera and per-server daily log files in "./LOG" below the working
// directory. Each line is appended by its own open-append-close, so the files
// can be read, moved or deleted while the gateway runs, and lines of several
// threads land whole without a lock. The "LOG" directory is not created: when
// it is missing the line is dropped.
#include <string_view>

// Appends "HH:MM:SS text\n" (local time) to the file named by `name_format`,
// a pattern taking the number, then the local date as year, day of the
// month, month (for example "./LOG/ocelam_ptz_camera_%d_%04d%02d%02d.log").
void AppendDailyLog(const char* name_format, int number, std::string_view text);
