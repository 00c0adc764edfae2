#include "jobs/image_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

#include "acquisition/camera/camera.h"
#include "acquisition/camera/image_reader.h"
#include "core/console.h"
#include "core/report.h"
#include "core/text.h"
#include "jobs/multimedia.h"
#include "platform/clock.h"
#include "platform/held_temporary.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

using platform::SleepMs;

namespace {

constexpr const char* kStarted =
    "Job %d: ImageCopy thread started in directory %s (camera %d - alarm reference %s)";
constexpr const char* kNoImage =
    "Job %d (Camera %d): ERROR: The connection to the camera is probably not active - or wrong "
    "configured (no valid JPEG image found)";
constexpr const char* kCopying =
    "Job %d: JPEG images of camera %d are being copied, please wait.....\n";
constexpr const char* kNotPermanent =
    "Job %d: Camera (%d): the permanent recording is not active! Unable to get pre-recorded images";
constexpr const char* kFirstSaved = "camera %d: first image saved";
constexpr const char* kNotWritten =
    "camera %d: error by saving the image of index %d (no writing possible)";
constexpr const char* kNotReceived =
    "camera %d: error by saving the image of index %d (no valid image received)";
constexpr const char* kRule = "--------------------------------";
constexpr const char* kOver = "Job %d: (camera %d) ImageCopy thread is over";
constexpr const char* kSaved = "Job %d: (camera %d) %d images successfully saved";
constexpr const char* kErrors = "Job %d: (camera %d) %d errors";
constexpr const char* kNoBuffer = "Job %d: (camera %d) ERROR: no memory for the image buffer";
constexpr const char* kImageFileFormat = "%s_%s_%05d.jpg";
constexpr const char* kControlBaseFormat = "%x_%d";
constexpr const char* kStreamSection = "Stream";
constexpr const char* kControlFileFormat = "[%s]\nDirectory=%s\nAlarmRef=%s\nAction=%s\n";
constexpr const char* kNoFrame = "Job %d: camera %d has no frame for %+.2f s from the alarm";
constexpr int kDirectoryRetryMs = 10;
constexpr std::int64_t kMinFrameToleranceUs = 2000000;
// A frame that began in time may still be on its way and in its block.
constexpr std::int64_t kFrameArrivalUs = 2000000;
// A control file name is claimed by creating its ".tmp" exclusively; past
// this many names in one second something else is wrong with the directory.
constexpr int kMaxControlNamesPerSecond = 10000;

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// How far from its wanted moment a frame may have begun and still be that
// moment's image: an interval, but never less than two seconds nor less than
// one and a half of the camera's own frame periods, so a slow camera is not
// counted as failing.
std::int64_t FrameTolerance(CCamera& camera, std::int64_t interval_us) {
  std::int64_t tolerance = std::max(interval_us, kMinFrameToleranceUs);
  float rate = 0;
  if (camera.RecentFrameRate(&rate) && rate > 0)
    tolerance = std::max(tolerance, static_cast<std::int64_t>(1.5e6 / static_cast<double>(rate)));
  return tolerance;
}

// The frame for `wanted`: the newest that began at or before it (a
// pre-recorded image), or the oldest that began at or after it (a live one,
// waited for while it has not yet arrived). False when the camera has no
// frame within the tolerance of that moment: an image from much earlier or
// later would be another moment's.
bool FetchFrame(CCamera& camera, FrameSearch search, std::int64_t wanted, std::uint32_t session,
                std::int64_t tolerance, FrameRef* frame) {
  if (search == FrameSearch::kAtOrBefore) {
    // The choice is final once a later frame is in.
    camera.WaitForFrameAfter(wanted, session, wanted + tolerance);
    return camera.FindFrame(search, wanted, session, frame) &&
           wanted - frame->entry.begin_us <= tolerance;
  }
  camera.WaitForFrameAfter(wanted - 1, session, wanted + tolerance + kFrameArrivalUs);
  return camera.FindFrame(search, wanted, session, frame) &&
         frame->entry.begin_us - wanted <= tolerance;
}

void WriteOneControlFile(const std::string& watch_path, std::string_view action,
                         const std::string& directory, const std::string& alarm_reference) {
  unsigned now = static_cast<unsigned>(std::time(nullptr));
  int k = action == kActionStart ? 0 : 1;
  for (int tries = 0; tries < kMaxControlNamesPerSecond; ++tries, ++k) {
    std::string base =
        platform::JoinPath(watch_path, platform::StringPrintf(kControlBaseFormat, now, k));
    std::string tmp = base + ".tmp";
    std::string done = base + ".job";
    // A name is free when neither form exists; creating the ".tmp"
    // exclusively claims it, so two threads in the same second never share
    // a name and no control file the servers have not yet read is replaced.
    if (Exists(tmp) || Exists(done)) continue;
    // Held until renamed, so a start-up clean-up only removes the claims of
    // a killed run.
    platform::HeldTemporary claim;
    if (platform::Status claimed = claim.CreateNamed(tmp); !claimed) {
      if (claimed.error() == EEXIST) continue;
      return;  // not reported: the servers simply get no control file
    }
    // The bytes a profile write of the three keys into a new file gives,
    // written straight into the claimed file.
    std::string content =
        platform::StringPrintf(kControlFileFormat, kStreamSection, directory.c_str(),
                               alarm_reference.c_str(), std::string(action).c_str());
    bool written = platform::WriteAll(claim.fd(), content.data(), content.size()).ok();
    // A failed write or rename leaves the ".tmp" behind (removed at the next
    // start); it is not reported.
    if (claim.CloseWriting() && written) rename(tmp.c_str(), done.c_str());
    return;
  }
}

}  // namespace

bool IsControlFileClaimName(std::string_view name) {
  constexpr std::string_view kTail = ".tmp";
  if (!name.ends_with(kTail)) return false;
  name.remove_suffix(kTail.size());
  std::size_t bar = name.find('_');
  if (bar == 0 || bar == std::string_view::npos || bar + 1 == name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool ok = i < bar ? std::isxdigit(static_cast<unsigned char>(c)) &&
                            !std::isupper(static_cast<unsigned char>(c))
                      : i == bar || std::isdigit(static_cast<unsigned char>(c));
    if (!ok) return false;
  }
  return true;
}

int ImageCopyCount(int duration, int pre_record_time, float interval) {
  if (duration == 0) return 1;
  float n = static_cast<float>(duration + pre_record_time) / interval;
  return static_cast<int>(n);
}

void WriteStreamControlFile(const std::vector<std::string>& watch_paths, std::string_view action,
                            const std::string& multimedia_directory,
                            const std::string& alarm_reference) {
  for (const std::string& watch_path : watch_paths)
    WriteOneControlFile(watch_path, action, multimedia_directory, alarm_reference);
}

void ImageCopy(std::shared_ptr<ImageCopyArgs> args) {
  const JobContext& context = args->runner->context();
  const std::vector<std::string>& streaming_servers = context.settings.streaming_server_paths;
  CJob& job = *args->record;
  const MultimediaFiles multimedia(context.settings.log_directory, job);
  const int j = args->job;
  const int p = args->camera_index;
  JobCamera& row = job.cameras[p];
  const int c = row.camera_number;
  const std::string& directory = row.multimedia_directory;
  const std::string& alarm = args->alarm_reference;

  {
    platform::MutexLock guard(DirectoryLock);
    if (platform::Status made = CreateDirectoryPath(directory); !made) {
      ReportToInterface(made.reason(), ReportLevel::kError);
      SleepMs(kDirectoryRetryMs);
      // The copy goes on either way: a directory that cannot be made shows
      // as an error for every image.
      made = CreateDirectoryPath(directory);
      if (!made) ReportToInterface(made.reason(), ReportLevel::kError);
    }
  }
  std::string started = platform::StringPrintf(kStarted, j, directory.c_str(), c, alarm.c_str());
  ConsoleLog(started, ConsoleLevel::kNormal);
  ReportToInterface(started, ReportLevel::kInfo);

  WriteStreamControlFile(streaming_servers, kActionStart, directory, alarm);

  const std::int64_t started_us = context.clock.MonotonicMicros();
  CCamera& camera = context.cameras[c];
  const std::string reference = camera.reference;
  const int n = ImageCopyCount(row.duration, row.pre_record_time, row.interval);
  // The image is read straight into this buffer and written from it; it is
  // far larger than a worker's stack.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kImageBufferSize]);

  bool have_image = false;
  if (!buffer) {
    std::string text = platform::StringPrintf(kNoBuffer, j, c);
    ConsoleLog(text, ConsoleLevel::kError);
    ReportToInterface(text, ReportLevel::kError);
  } else {
    for (int tries = 0; !(have_image = camera.HasImage(args->session)) && tries < kFirstImageTries;
         ++tries)
      SleepMs(kFirstImagePollMs);
    if (!have_image) {
      std::string text = platform::StringPrintf(kNoImage, j, c);
      ConsoleLog(text, ConsoleLevel::kError);
      ReportToInterface(text, ReportLevel::kError);
    }
  }

  if (have_image) {
    std::string copying = platform::StringPrintf(kCopying, j, c);
    ConsoleLog(copying, ConsoleLevel::kNormal);
    ReportToInterface(copying, ReportLevel::kInfo);

    int time_back = row.pre_record_time * 100;  // hundredths of a second before the alarm
    if (!camera.IsPermanent() && row.pre_record_time > 0) {
      std::string text = platform::StringPrintf(kNotPermanent, j, c);
      ConsoleLog(text, ConsoleLevel::kError);
      ReportToInterface(text, ReportLevel::kInfo);
      time_back = 0;
    }
    const std::uint32_t session = args->session;
    const std::int64_t alarm_us = job.alarm_moment_us != 0 ? job.alarm_moment_us : started_us;
    const std::int64_t interval_us =
        static_cast<std::int64_t>(static_cast<double>(row.interval) * 1e6);
    // Live images count from the alarm; a session that began after it (an
    // on-demand camera the job switched on) has nothing earlier, so they
    // count from its first frame.
    std::int64_t live_base = alarm_us;
    FrameRef frame;
    if (camera.FirstFrame(session, &frame) && frame.entry.begin_us > alarm_us)
      live_base = frame.entry.begin_us;
    const std::int64_t tolerance = FrameTolerance(camera, interval_us);
    // One reader for the whole series: a compressed stream's decoder walks
    // forward through it.
    ImageReader reader(camera);

    bool first = true;
    int handled = 0;
    int live = 0;
    for (int i = 0; i < n; ++i) {
      std::string file = platform::JoinPath(
          directory, platform::StringPrintf(kImageFileFormat, reference.c_str(), alarm.c_str(), i));
      bool found;
      std::int64_t wanted;
      if (time_back > 0) {
        wanted = alarm_us - static_cast<std::int64_t>(time_back) * 10000;
        found = FetchFrame(camera, FrameSearch::kAtOrBefore, wanted, session, tolerance, &frame);
      } else {
        wanted = live_base + live++ * interval_us;
        found = FetchFrame(camera, FrameSearch::kAtOrAfter, wanted, session, tolerance, &frame);
      }
      if (!found)
        camera.Log(
            platform::StringPrintf(kNoFrame, j, c, static_cast<double>(wanted - alarm_us) / 1e6),
            ReportLevel::kInfo);
      int size = found ? reader.Read(frame, buffer.get()) : 0;
      if (size >= 1 && size <= kImageBufferSize) {
        if (WriteJpegFile(file, buffer.get(), size) >= 0) {
          row.file_successes.Add(1);
          context.metrics.Add(metrics::Count::kImagesSaved);
          if (first) multimedia.AppendLog(platform::StringPrintf(kFirstSaved, c));
        } else {
          row.file_errors.Add(1);
          context.metrics.Add(metrics::Count::kImagesFailed);
          multimedia.AppendLog(platform::StringPrintf(kNotWritten, c, i));
        }
        // The message names the first image that could be read, written or not.
        if (first) {
          multimedia.WriteMessage(reference, file, n, p);
          first = false;
        }
      } else {
        row.file_errors.Add(1);
        context.metrics.Add(metrics::Count::kImagesFailed);
        multimedia.AppendLog(platform::StringPrintf(kNotReceived, c, i));
      }
      ++handled;
      // Pre-recorded images are one interval apart, each nearer to the
      // alarm; the first value of 0 or less turns to the live images. The
      // times are fixed by the image number, so a missing image does not
      // shift the ones after it.
      if (time_back > 0)
        time_back = static_cast<int>(100.0 * row.pre_record_time -
                                     100.0 * static_cast<double>(row.interval) * handled);
    }
    // The last live image stands for its whole interval: the recording the
    // streaming servers are told of ends with it, as the job's duration says.
    if (live > 0) context.clock.SleepUntil(live_base + live * interval_us);
  }

  WriteStreamControlFile(streaming_servers, kActionStop, directory, alarm);

  int successes = row.file_successes.Get();
  int errors = row.file_errors.Get();
  ConsoleLog(kRule, ConsoleLevel::kSuccess);
  std::string over = platform::StringPrintf(kOver, j, c);
  ConsoleLog(over, ConsoleLevel::kSuccess);
  ReportToInterface(over, ReportLevel::kInfo);
  std::string saved = platform::StringPrintf(kSaved, j, c, successes);
  ConsoleLog(saved, ConsoleLevel::kSuccess);
  ReportToInterface(saved, ReportLevel::kSuccess);
  std::string error_line = platform::StringPrintf(kErrors, j, c, errors);
  ConsoleLog(error_line, errors > 0 ? ConsoleLevel::kError : ConsoleLevel::kSuccess);
  ReportToInterface(error_line, errors > 0 ? ReportLevel::kError : ReportLevel::kSuccess);
  ConsoleLog(kRule, ConsoleLevel::kSuccess);

  job.thread_events[static_cast<std::size_t>(args->thread_index)].Set();
}
