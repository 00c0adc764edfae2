#pragma once
// The job directory watcher: notices job files the alarm server drops into
// "WatchPath", moves each into "<WatchPath>/processing", reads it into a job
// record, gives it a job slot and starts its JobAlrProc thread, keeping at
// most "MaxJobsRunnig" jobs running.
#include <string>
#include <string_view>
#include <vector>

#include "jobs/job.h"

// A job file larger than this is no job of the alarm server's: it is refused
// rather than read key by key.
inline constexpr long long kMaxJobFileBytes = 256 * 1024;
// "Duration" and "PreRecordTime" beyond this make no sense for a job whose
// workers are awaited one hour each: the camera is refused.
inline constexpr int kMaxJobSeconds = 3600;
// "Interval" outside this range is replaced by 1, like an interval of 0.
inline constexpr float kMinIntervalSeconds = 0.01f;
inline constexpr float kMaxIntervalSeconds = 3600.0f;
inline constexpr const char* kDefaultInterval = "1";
inline constexpr std::size_t kIntervalTextMax = 9;
// Pauses of the watcher.
inline constexpr int kJobsFullPauseMs = 10000;   // after "already %d jobs runnning"
inline constexpr int kJobFileSettleMs = 100;     // the writer may still be closing the file
inline constexpr int kJobStartPauseMs = 500;     // between two jobs of one listing
inline constexpr const char* kProcessingDirName = "processing";
// Other names tried for a job file whose name is still in use in the
// processing directory ("name~1.job", "name~2.job", ...).
inline constexpr int kMaxDuplicateNames = 1000;

// "<WatchPath>/processing".
std::string ProcessingDirectory();

// True when an alarm reference names files and directories only inside the
// log directory: no path separator and no "..".
bool AlarmReferenceIsSafe(std::string_view reference);

// Reads the job file at `path` into `job` (which starts empty), with the
// checks on its values; messages for every value changed or refused.
void ReadJobFile(const std::string& path, CJob* job);

// Moves "<WatchPath>/<name>" into the processing directory without ever
// replacing a file there: a name still in use gets "~<n>" before its
// extension. The new path, or "" (after a message) when the file could not
// be moved and stays in the watch directory.
std::string MoveIntoProcessing(const std::string& name);

// The names in the watch directory matching "FileMask" (regular files,
// compared without regard to case), sorted.
std::vector<std::string> ListJobFiles();

// One pass over the watch directory: moves, reads and starts every job file
// while the number of running jobs allows. Returns false when it stopped
// because "MaxJobsRunnig" was reached (after the warning and the pause).
bool ScanWatchPath();

// The thread procedure; never returns.
void JobWatcherThread();
