#include "jobs/image_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "acquisition/camera/camera.h"
#include "acquisition/camera/image_reader.h"
#include "jobs/alarm_clip.h"
#include "core/console.h"
#include "core/report.h"
#include "core/text.h"
#include "jobs/multimedia.h"
#include "platform/clock.h"
#include "platform/held_temporary.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/unique_fd.h"

namespace jobs {

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
constexpr const char* kClipLine = "clip %s: %d frames, %.1f s";
constexpr const char* kNotWritten =
    "camera %d: error by saving the image of index %d (no writing possible)";
constexpr const char* kNotReceived =
    "camera %d: error by saving the image of index %d (no valid image received)";
constexpr const char* kNoNewFrame =
    "camera %d: error by saving the image of index %d (no new frame)";
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
constexpr std::int64_t kDirectoryRetryUs = 10000;
constexpr std::int64_t kMinFrameToleranceUs = 500000;
// What an on-demand camera streams beyond a copy's images: time to connect
// and for the last image to arrive.
constexpr int kStreamingExtraSeconds = 20;
// A frame that began in time may still be on its way and in its block.
constexpr std::int64_t kFrameArrivalUs = 2000000;
// A control file name is claimed by creating its ".tmp" exclusively; past
// this many names in one second something else is wrong with the directory.
constexpr int kMaxControlNamesPerSecond = 10000;

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// An interval in whole microseconds, rounded: 0.3 s held as a float is a
// little more or less than 0.3, and the count and the moments of the images
// must not depend on which.
std::int64_t IntervalMicros(float interval) {
  return std::max<std::int64_t>(1, std::llround(static_cast<double>(interval) * 1e6));
}

// The camera's frames per second over its last 10 s of frames; 0 while that
// is not yet known (less than a second of frames).
float RecentRate(acquisition::Camera& camera) {
  float rate = 0;
  return camera.RecentFrameRate(&rate) && rate > 0 ? rate : 0;
}

// How far from its wanted moment a frame may have begun and still be that
// moment's image: half a second, or one and a half of the camera's own frame
// periods for a camera slower than that, so a slow camera is not counted as
// failing while a pause of a fast one is.
std::int64_t FrameTolerance(float rate) {
  if (rate <= 0) return kMinFrameToleranceUs;
  return std::max(kMinFrameToleranceUs,
                  static_cast<std::int64_t>(1.5e6 / static_cast<double>(rate)));
}

// Waits until the frame for `wanted` is known: for a pre-recorded image (the
// newest that began at or before it) once a later frame is in, for a live
// one (the oldest that began at or after it) once it has arrived; at most
// until no frame within `tolerance` of the moment can still come.
void AwaitFrameFor(acquisition::Camera& camera, acquisition::FrameSearch search,
                   std::int64_t wanted, std::uint32_t session, std::int64_t tolerance) {
  if (search == acquisition::FrameSearch::kAtOrBefore)
    camera.WaitForFrameAfter(wanted, session, wanted + tolerance);
  else
    camera.WaitForFrameAfter(wanted - 1, session, wanted + tolerance + kFrameArrivalUs);
}

void WriteOneControlFile(const platform::Clock& clock, const std::string& watch_path,
                         std::string_view action, const std::string& directory,
                         const std::string& alarm_reference) {
  unsigned now = static_cast<unsigned>(clock.WallSeconds());
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

// Makes the camera's image directory, trying once more after a short pause.
// The second result is not looked at: a directory that cannot be made shows
// as an error for every image.
void MakeImageDirectory(platform::Clock& clock, const std::string& directory) {
  platform::MutexLock guard(core::DirectoryLock);
  platform::Status made = core::CreateDirectoryPath(directory);
  if (made) return;
  core::ReportToInterface(made.reason(), core::ReportLevel::kError);
  clock.SleepMicros(kDirectoryRetryUs);
  // The copy goes on either way: a directory that cannot be made shows as an
  // error for every image.
  made = core::CreateDirectoryPath(directory);
  if (!made) core::ReportToInterface(made.reason(), core::ReportLevel::kError);
}

// True once the camera has an image of `session`: looked for at once, then
// up to kFirstImageTries times kFirstImagePollUs apart.
bool AwaitFirstImage(platform::Clock& clock, acquisition::Camera& camera, std::uint32_t session) {
  for (int tries = 0;; ++tries) {
    if (camera.HasImage(session)) return true;
    if (tries == kFirstImageTries) return false;
    clock.SleepMicros(kFirstImagePollUs);
  }
}

// Says the images are being copied, and when pre-recorded ones were asked of
// a camera that keeps none.
void SayCopying(const ImageCopyArgs& args, const acquisition::Camera& camera) {
  const JobCamera& row = args.record->cameras[static_cast<std::size_t>(args.camera_index)];
  const int j = args.job, c = row.camera_number;
  core::ConsoleAndReport(platform::StringPrintf(kCopying, j, c), core::ConsoleLevel::kNormal,
                         core::ReportLevel::kInfo);
  if (!camera.IsPermanent() && row.pre_record_time > 0)
    core::ConsoleAndReport(platform::StringPrintf(kNotPermanent, j, c), core::ConsoleLevel::kError,
                           core::ReportLevel::kInfo);
}

// The end lines of a copy: its camera's saved images and errors.
void SayCopyOver(int j, const JobCamera& row) {
  const int c = row.camera_number;
  const int successes = row.file_successes.Get();
  const int errors = row.file_errors.Get();
  core::ConsoleLog(kRule, core::ConsoleLevel::kSuccess);
  core::ConsoleAndReport(platform::StringPrintf(kOver, j, c), core::ConsoleLevel::kSuccess,
                         core::ReportLevel::kInfo);
  core::ConsoleAndReport(platform::StringPrintf(kSaved, j, c, successes),
                         core::ConsoleLevel::kSuccess, core::ReportLevel::kSuccess);
  core::ConsoleAndReport(platform::StringPrintf(kErrors, j, c, errors),
                         errors > 0 ? core::ConsoleLevel::kError : core::ConsoleLevel::kSuccess,
                         errors > 0 ? core::ReportLevel::kError : core::ReportLevel::kSuccess);
  core::ConsoleLog(kRule, core::ConsoleLevel::kSuccess);
}

// The images of one camera of a job, each with a fixed wanted moment.
// Pre-recorded images (a permanent camera's "PreRecordTime") come first, one
// interval apart and each nearer to the alarm; the first whose moment is not
// before the alarm turns the series to live images, one interval apart from
// the live base. A missing image does not shift the ones after it.
class ImageSeries {
 public:
  ImageSeries(const ImageCopyArgs& args, acquisition::Camera& camera, std::int64_t alarm_us,
              std::uint8_t* buffer);

  // Saves every image, then waits out the last live image's interval.
  void SaveAll();

 private:
  // The frame for the next image and its wanted moment: false when the
  // camera has none near that moment.
  bool NextFrame(acquisition::FrameRef* frame, std::int64_t* wanted);
  // The frame for `wanted` (see AwaitFrameFor); false when none began within
  // the tolerance of that moment: an image from much earlier or later would
  // be another moment's.
  bool FetchFrame(acquisition::FrameSearch search, std::int64_t wanted,
                  acquisition::FrameRef* frame);
  // True when `frame` is the last saved image's while the camera sends
  // faster than the interval: it then has sent nothing since, and the image
  // would show an older moment than its own.
  bool RepeatsLastImage(const acquisition::FrameRef& frame) const;
  // Reads `frame` (none: null) and writes it as image `i`; counts and logs
  // the outcome.
  void SaveImage(int i, const acquisition::FrameRef* frame);
  void CountFailed(const char* format, int i);

  const JobContext& context_;
  JobHistory& history_;
  const std::uint64_t history_id_;
  JobCamera& row_;
  acquisition::Camera& camera_;
  const MultimediaFiles multimedia_;
  const int slot_;
  const int index_;  // the camera's row in the job
  const std::uint32_t session_;
  const std::string camera_reference_;
  const std::string& alarm_reference_;
  std::uint8_t* const buffer_;
  const int count_;
  const std::int64_t alarm_us_;
  const std::int64_t interval_us_;
  const std::int64_t live_base_;
  // One reader for the whole series: a compressed stream's decoder walks
  // forward through it.
  acquisition::ImageReader reader_;
  // Hundredths of a second before the alarm of the next pre-recorded image;
  // 0 or less once the series is live.
  int time_back_;
  int live_ = 0;  // live images so far
  bool first_ = true;
  // The camera's recent frame rate when the last frame was fetched (0:
  // unknown), and the number of the last saved image's frame (-1: none).
  float rate_ = 0;
  std::int64_t last_saved_ = -1;
};

// Live images count from the alarm; a session that began after it (an
// on-demand camera the job switched on) has nothing earlier, so they count
// from its first frame.
std::int64_t LiveBase(acquisition::Camera& camera, std::uint32_t session, std::int64_t alarm_us) {
  acquisition::FrameRef frame;
  if (camera.FirstFrame(session, &frame) && frame.entry.begin_us > alarm_us)
    return frame.entry.begin_us;
  return alarm_us;
}

ImageSeries::ImageSeries(const ImageCopyArgs& args, acquisition::Camera& camera,
                         std::int64_t alarm_us, std::uint8_t* buffer)
    : context_(args.runner->context()),
      history_(args.runner->history()),
      history_id_(args.record->history_id),
      row_(args.record->cameras[static_cast<std::size_t>(args.camera_index)]),
      camera_(camera),
      multimedia_(context_, *args.record),
      slot_(args.job),
      index_(args.camera_index),
      session_(args.session),
      camera_reference_(camera.reference),
      alarm_reference_(args.alarm_reference),
      buffer_(buffer),
      count_(ImageCopyCount(row_.duration, row_.pre_record_time, row_.interval)),
      alarm_us_(alarm_us),
      interval_us_(IntervalMicros(row_.interval)),
      live_base_(LiveBase(camera, session_, alarm_us)),
      reader_(camera),
      time_back_(camera.IsPermanent() ? row_.pre_record_time * 100 : 0) {}

void ImageSeries::SaveAll() {
  for (int i = 0; i < count_; ++i) {
    acquisition::FrameRef frame;
    std::int64_t wanted = 0;
    const bool found = NextFrame(&frame, &wanted);
    if (!found)
      camera_.Log(platform::StringPrintf(kNoFrame, slot_, row_.camera_number,
                                         static_cast<double>(wanted - alarm_us_) / 1e6),
                  core::ReportLevel::kInfo);
    SaveImage(i, found ? &frame : nullptr);
    // The times are fixed by the image number, so a missing image does not
    // shift the ones after it.
    if (time_back_ > 0)
      time_back_ = static_cast<int>(100.0 * row_.pre_record_time -
                                    100.0 * static_cast<double>(row_.interval) * (i + 1));
  }
  // The last live image stands for its whole interval: the recording the
  // streaming servers are told of ends with it, as the job's duration says.
  if (live_ > 0) context_.clock.SleepUntil(live_base_ + live_ * interval_us_);
}

bool ImageSeries::NextFrame(acquisition::FrameRef* frame, std::int64_t* wanted) {
  if (time_back_ > 0) {
    *wanted = alarm_us_ - static_cast<std::int64_t>(time_back_) * 10000;
    return FetchFrame(acquisition::FrameSearch::kAtOrBefore, *wanted, frame);
  }
  *wanted = live_base_ + live_++ * interval_us_;
  return FetchFrame(acquisition::FrameSearch::kAtOrAfter, *wanted, frame);
}

bool ImageSeries::FetchFrame(acquisition::FrameSearch search, std::int64_t wanted,
                             acquisition::FrameRef* frame) {
  AwaitFrameFor(camera_, search, wanted, session_, FrameTolerance(RecentRate(camera_)));
  // The rate once the frame is in: a slow camera's first frames of a
  // session tell it only now.
  rate_ = RecentRate(camera_);
  if (!camera_.FindFrame(search, wanted, session_, frame)) return false;
  const std::int64_t begin = frame->entry.begin_us;
  return (search == acquisition::FrameSearch::kAtOrBefore ? wanted - begin : begin - wanted) <=
         FrameTolerance(rate_);
}

bool ImageSeries::RepeatsLastImage(const acquisition::FrameRef& frame) const {
  return frame.number == last_saved_ && rate_ > 0 &&
         1e6 / static_cast<double>(rate_) < static_cast<double>(interval_us_);
}

void ImageSeries::SaveImage(int i, const acquisition::FrameRef* frame) {
  if (frame && RepeatsLastImage(*frame)) return CountFailed(kNoNewFrame, i);
  const int size = frame ? reader_.Read(*frame, buffer_) : 0;
  if (size < 1 || size > acquisition::kImageBufferSize) return CountFailed(kNotReceived, i);
  const std::string file = platform::JoinPath(
      row_.multimedia_directory, platform::StringPrintf(kImageFileFormat, camera_reference_.c_str(),
                                                        alarm_reference_.c_str(), i));
  if (acquisition::WriteJpegFile(file, buffer_, size) >= 0) {
    last_saved_ = frame->number;
    row_.file_successes.Add(1);
    history_.ImageSaved(history_id_, index_, file);
    context_.metrics.Add(core::Counter::kImagesSaved);
    if (first_) multimedia_.AppendLog(platform::StringPrintf(kFirstSaved, row_.camera_number));
  } else {
    CountFailed(kNotWritten, i);
  }
  // The message names the first image that could be read, written or not.
  if (first_) multimedia_.WriteMessage(camera_reference_, file, count_, index_);
  first_ = false;
}

void ImageSeries::CountFailed(const char* format, int i) {
  row_.file_errors.Add(1);
  history_.ImageFailed(history_id_, index_);
  context_.metrics.Add(core::Counter::kImagesFailed);
  multimedia_.AppendLog(platform::StringPrintf(format, row_.camera_number, i));
}

// The camera's alarm clip, when it has "AlarmClip": recorded on a thread of
// its own while the images are saved, and named in the job's files once
// both are done.
class ClipBeside {
 public:
  ClipBeside(const ImageCopyArgs& args, acquisition::Camera& camera, std::int64_t alarm_us)
      : args_(args), camera_(camera) {
    if (!camera.alarm_clip()) return;
    const JobCamera& row = args.record->cameras[static_cast<std::size_t>(args.camera_index)];
    window_.session = args.session;
    window_.alarm_us = alarm_us;
    // An on-demand camera has nothing from before the alarm, and its live
    // images count from its first frame.
    const std::int64_t live_base = LiveBase(camera, args.session, alarm_us);
    window_.from_us = camera.IsPermanent()
                          ? alarm_us - static_cast<std::int64_t>(row.pre_record_time) * 1000000
                          : live_base;
    window_.to_us = live_base + static_cast<std::int64_t>(row.duration) * 1000000;
    window_.max_seconds = camera.alarm_clip_seconds();
    window_.path = platform::JoinPath(
        row.multimedia_directory,
        ClipFileName(camera.reference, args.alarm_reference,
                     camera.stream_kind() == acquisition::StreamKind::kMjpeg));
    thread_ = std::thread([this] {
      result_ = RecordAlarmClip(camera_, args_.runner->context().clock, window_);
    });
  }
  ~ClipBeside() {
    if (!thread_.joinable()) return;
    thread_.join();
    const JobContext& context = args_.runner->context();
    if (!result_.saved) {
      context.metrics.Add(core::Counter::kClipsFailed);
      return;
    }
    context.metrics.Add(core::Counter::kClipsSaved);
    args_.runner->history().ClipSaved(args_.record->history_id, args_.camera_index, window_.path);
    const MultimediaFiles files(context, *args_.record);
    files.WriteClip(window_.path, args_.camera_index);
    files.AppendLog(platform::StringPrintf(kClipLine, window_.path.c_str(), result_.frames,
                                           result_.seconds));
  }
  ClipBeside(const ClipBeside&) = delete;
  ClipBeside& operator=(const ClipBeside&) = delete;

 private:
  const ImageCopyArgs& args_;
  acquisition::Camera& camera_;
  ClipWindow window_;
  ClipResult result_;
  std::thread thread_;
};

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
  const std::int64_t span_us =
      (static_cast<std::int64_t>(duration) + pre_record_time) * platform::kMicrosPerSecond;
  return static_cast<int>(
      std::min<std::int64_t>(span_us / IntervalMicros(interval), std::numeric_limits<int>::max()));
}

int ImageCopyStreamingSeconds(int duration, int pre_record_time) {
  return (duration > 0 ? duration + pre_record_time : 0) + kStreamingExtraSeconds;
}

void WriteStreamControlFile(const platform::Clock& clock,
                            const std::vector<std::string>& watch_paths, std::string_view action,
                            const std::string& multimedia_directory,
                            const std::string& alarm_reference) {
  for (const std::string& watch_path : watch_paths)
    WriteOneControlFile(clock, watch_path, action, multimedia_directory, alarm_reference);
}

void ImageCopy(std::shared_ptr<ImageCopyArgs> args) {
  const JobContext& context = args->runner->context();
  const std::vector<std::string>& streaming_servers = context.settings.streaming_server_paths;
  Job& job = *args->record;
  const JobCamera& row = job.cameras[static_cast<std::size_t>(args->camera_index)];
  const int j = args->job;
  const int c = row.camera_number;
  const std::string& directory = row.multimedia_directory;
  const std::string& alarm = args->alarm_reference;

  MakeImageDirectory(context.clock, directory);
  core::ConsoleAndReport(platform::StringPrintf(kStarted, j, directory.c_str(), c, alarm.c_str()),
                         core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
  WriteStreamControlFile(context.clock, streaming_servers, kActionStart, directory, alarm);
  const std::int64_t started_us = context.clock.MonotonicMicros();
  acquisition::Camera& camera = context.cameras[c];
  // The image is read straight into this buffer and written from it; it is
  // far larger than a worker's stack.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow)
                                             std::uint8_t[acquisition::kImageBufferSize]);
  if (!buffer) {
    core::ConsoleAndReport(platform::StringPrintf(kNoBuffer, j, c), core::ConsoleLevel::kError,
                           core::ReportLevel::kError);
  } else if (!AwaitFirstImage(context.clock, camera, args->session)) {
    core::ConsoleAndReport(platform::StringPrintf(kNoImage, j, c), core::ConsoleLevel::kError,
                           core::ReportLevel::kError);
  } else {
    SayCopying(*args, camera);
    const std::int64_t alarm_us = job.alarm_moment_us != 0 ? job.alarm_moment_us : started_us;
    ClipBeside clip(*args, camera, alarm_us);
    ImageSeries(*args, camera, alarm_us, buffer.get()).SaveAll();
  }
  WriteStreamControlFile(context.clock, streaming_servers, kActionStop, directory, alarm);
  SayCopyOver(j, row);
  job.thread_events[static_cast<std::size_t>(args->thread_index)].Set();
}

}  // namespace jobs
