#pragma once
// Camera: one camera's stream record, a small object that wires parts with
// one job each:
//   RingStore          the ring file, the frame index, reading frames back
//   MjpegSource        the MJPEG stream over HTTP (libcurl, frame finder)
//   RtspSource         the H.264/H.265 stream over RTSP (libavformat, with
//                      an AccessUnitAssembler joining pieces into frames)
//   StreamingSessions  when the stream is wanted, and the session of its frames
//   Liveness           when the camera was last seen alive, and from it
//                      when "CamStatus" is refreshed and the watchdog is due
//   Watchdog           the watchdog alarm and its thread
//   LinkState          the connection's state lines and the back-off
//   ProblemLines       the rate-limited lines about frames gone wrong
//   CameraLog          the camera's log
//   DecodingService    an RTSP camera's frames as JPEG for jobs, and a
//                      second one for the status port's snapshots
//   CameraReport       its state, video kind, picture size and bitrate for
//                      the operator's page
// Every part decides by the camera's clock; the wall clock is only written
// (status values, log times, the wall stamps of frames).
//
// The camera's own work is the streaming thread (it keeps the stream of a
// permanent camera running, streams an on-demand camera while a session
// runs and probes it every 30 s otherwise) and what a sign of life means
// (`Refresh`). Its loader setters run before its threads start.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/camera_report.h"
#include "acquisition/camera/decoder_budget.h"
#include "acquisition/camera/decoding_service.h"
#include "acquisition/camera/frame_index.h"
#include "acquisition/camera/jpeg_file.h"
#include "acquisition/camera/link_state.h"
#include "acquisition/camera/liveness.h"
#include "acquisition/camera/mjpeg_source.h"
#include "acquisition/camera/problem_lines.h"
#include "acquisition/camera/ring_store.h"
#include "acquisition/camera/rtsp_source.h"
#include "acquisition/camera/sessions.h"
#include "acquisition/camera/stream_source.h"
#include "acquisition/camera/watchdog.h"
#include "alarm/alarm_start.h"
#include "core/camera_identity.h"
#include "core/metrics.h"
#include "core/report.h"
#include "platform/clock.h"

namespace acquisition {

inline constexpr const char* kStreamName = "MJPEG Stream";

// Where a camera's frames come from.
enum class StreamKind {
  kMjpeg,  // JPEG frames over HTTP, stored and read back as they came
  kRtsp,   // H.264/H.265 over RTSP, stored compressed and decoded for a job
};

class Camera final : public core::CameraIdentity, private SourceEvents {
 public:
  // Every moment the camera stamps or decides by comes from `clock`.
  explicit Camera(platform::Clock& clock);
  ~Camera() = default;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Copies the identity and allocates the index; 0, or -1 when it cannot.
  int InitStream(const std::string& address, int port, std::string_view stream_name, int number);
  // Starts the streaming thread. Returns false when it could not be created.
  bool StartStreamThreads();
  // Streams for at least `seconds` from now: a running session is extended
  // to the later of the two ends, never shortened. Returns the session the
  // caller's frames belong to (the running one, or a new one).
  std::uint32_t StartStreaming(int seconds) { return sessions_.Start(seconds); }
  // The session frames arriving now belong to; a permanent camera has one.
  std::uint32_t CurrentSession() const { return sessions_.current(); }
  bool IsPermanent() const { return sessions_.permanent(); }
  // True when the index holds a frame (of `session`).
  bool HasImage() { return ring_.HasImage(); }
  bool HasImage(std::uint32_t session) { return ring_.HasImage(session); }

  // The camera log: "./LOG/Ocelam_<n>_<year><day><month>.log" and the
  // interface record.
  void Log(std::string_view text, core::ReportLevel level) const { log_.Log(text, level); }

  // The frame of `session` for the monotonic moment `wanted_us`. False when
  // the index holds none.
  bool FindFrame(FrameSearch search, std::int64_t wanted_us, std::uint32_t session, FrameRef* out) {
    return ring_.FindFrame(search, wanted_us, session, out);
  }
  // The frame of that number, while the index still holds it.
  bool FrameByNumber(std::int64_t number, FrameRef* out) { return ring_.FrameByNumber(number, out); }
  // The first frame of `session` still in the index.
  bool FirstFrame(std::uint32_t session, FrameRef* out) {
    return ring_.FindFrame(FrameSearch::kAtOrAfter, INT64_MIN, session, out);
  }
  // Waits until a frame that began after `after_us` is indexed (for
  // `session`, or any frame of a later session) or until the monotonic
  // `deadline_us`. True when there is one.
  bool WaitForFrameAfter(std::int64_t after_us, std::uint32_t session, std::int64_t deadline_us) {
    return ring_.WaitForFrameAfter(after_us, session, deadline_us);
  }
  // Reads the frame into `buffer` (at least 800000 bytes): its size, or -1
  // after a message when its bytes are gone from the ring, were overwritten
  // while read, or are not one whole JPEG image (FF D8 .. FF D9).
  int GetImage(const FrameRef& frame, std::uint8_t* buffer);
  // The frame's bytes as stored into `buffer` (`capacity` bytes): its size,
  // or -1 with `message` set (as RingStore::ReadFrame).
  int ReadStoredFrame(const FrameRef& frame, std::uint8_t* buffer, int capacity,
                      std::string* message) {
    return ring_.ReadFrame(frame, buffer, capacity, message);
  }
  // `got` when those bytes are one whole JPEG image; else -1 with `message`.
  int CheckJpeg(const FrameRef& frame, const std::uint8_t* buffer, int got,
                std::string* message) const {
    return ring_.CheckJpeg(frame, buffer, got, message);
  }
  // An RTSP camera's decoding for jobs.
  DecodingService& decoding() { return decoding_; }
  // An RTSP camera's decoding for the status port's snapshots: a walk of
  // its own, so a snapshot never moves a job's decoder; it takes no place
  // in the budget itself and writes no line (its caller does both).
  DecodingService& snapshot_decoding() { return snapshot_decoding_; }
  // The newest key frame at or before frame `number` whose codec parameters
  // are that frame's, while the index holds it.
  bool KeyFrameAtOrBefore(std::int64_t number, FrameRef* out) {
    return ring_.KeyFrameAtOrBefore(number, out);
  }
  // The codec parameters of frames marked `codec`; null once none is left.
  std::shared_ptr<const VideoCodec> Codec(std::uint16_t codec) { return ring_.Codec(codec); }
  // Frames per second over the last 10 seconds of frames; false while those
  // frames span less than one second.
  bool RecentFrameRate(float* rate) { return ring_.RecentFrameRate(rate); }

  // The MJPEG stream's next `n` bytes, as its transfer delivers them. False
  // when the transfer must stop (streaming switched off).
  bool ConsumeStream(const std::uint8_t* data, std::size_t n) { return mjpeg_.Consume(data, n); }
  // A transfer ended (or, before the first chunk, began): the frames already
  // whole are written out and indexed, the one being assembled is dropped.
  void EndTransfer() { mjpeg_.EndTransfer(); }

  // Configuration the loader sets.
  void SetStreamFilePath(std::string path) { ring_.SetPath(std::move(path)); }
  const std::string& stream_file_path() const { return ring_.path(); }
  void SetRequestUri(std::string uri) { request_uri_ = std::move(uri); }
  void SetStreamKind(StreamKind kind) { kind_ = kind; }
  StreamKind stream_kind() const { return kind_; }
  const std::string& request_uri() const { return request_uri_; }
  void SetExtendedLog(bool on);
  void SetPermanent(int value) { sessions_.SetPermanent(value != 0); }
  void SetConfigured(int value) { configured_.store(value); }
  int configured() const { return configured_.load(); }
  void SetCameraNumber(int n) { log_.SetCameraNumber(n); }
  // Seconds without a byte after which a transfer is given up and made anew.
  void SetStallTimeout(int seconds) { stall_timeout_s_ = seconds; }
  int stall_timeout_seconds() const { return stall_timeout_s_; }
  // How an RTSP camera's RTP is carried ("RtspTransport").
  void SetRtspTransport(RtspTransport transport) { rtsp_transport_ = transport; }
  // "AlarmClip" and "AlarmClipSeconds": whether jobs save a clip of this
  // camera, and its longest length.
  void SetAlarmClip(bool on, int max_seconds) {
    alarm_clip_ = on;
    alarm_clip_seconds_ = max_seconds;
  }
  bool alarm_clip() const { return alarm_clip_; }
  int alarm_clip_seconds() const { return alarm_clip_seconds_; }
  int camera_number() const { return log_.camera_number(); }
  // The stream's address as logs show it (an RTSP address without its
  // credentials).
  std::string Url() const;

  // Sets the watchdog up: `timeout` and `pause` in minutes; the alarm it
  // starts when the camera is not seen alive in time. Arms it from now.
  void ConfigureWatchdog(int active, int timeout, int pause, int alarm);
  // ConfigureWatchdog, then starts the watchdog thread, which starts its
  // alarms through `alarms`. False when the thread could not be created.
  bool StartWatchdog(alarms::AlarmServer& alarms, int active, int timeout, int pause, int alarm);
  int watchdog_timeout_minutes() const { return watchdog_.timeout_minutes(); }
  std::atomic<int> watchdog_active{0};

  // State seen by other threads and by tests.
  int streaming() const { return sessions_.Wanted() ? 1 : 0; }
  int remaining_seconds() const { return sessions_.RemainingSeconds(); }
  const Liveness& liveness() const { return liveness_; }
  std::int64_t file_position() const { return ring_.file_position(); }
  std::int64_t stream_position() const { return ring_.stream_position(); }
  std::size_t block_fill() const { return ring_.block_fill(); }
  // Frames indexed since the stream started, and the index's range.
  std::int64_t image_count() { return ring_.image_count(); }
  std::int64_t first_frame_number() { return ring_.first_frame_number(); }
  std::int64_t next_frame_number() { return ring_.next_frame_number(); }
  // The stream's counters, read by the status port.
  const core::CameraMetrics& counters() const { return counters_; }
  // Its state, video and bitrate, read by the status port.
  const CameraReport& report() const { return report_; }
  // The configuration keeps the stream from starting, for `reason` (our own
  // text): the status port shows the camera down for it. Called by the
  // loader before any thread of the camera runs.
  void StreamRefused(std::string_view reason);

 private:
  void StreamingThread();
  // The extended log's line about a frame about to be read back.
  void TraceRead(const FrameRef& frame);
  // Where the sources connect, from the loader's settings.
  StreamTarget Target() const;
  StreamLoss Transfer(const StreamTarget& target, bool probe);
  // Keeps the stream up while it is wanted, each failure followed by the
  // back-off; the first attempt is made at once (a job wants images now).
  // A failure also puts off the next probe by the back-off.
  void StreamWhileWanted(const StreamTarget& target, std::int64_t* next_probe_us);
  // A camera streaming on demand: probes it when it is due.
  void ProbeWhenDue(const StreamTarget& target, std::int64_t* next_probe_us);
  // The back-off after a failed transfer, its line logged when it has one.
  std::int64_t FailedAttempt(const StreamLoss& lost);
  // Sleeps `micros` on the camera's clock, cut short when the wish to
  // stream changes.
  void SleepUnlessWantChanges(std::int64_t micros, bool wanted);
  bool RefreshDue() const;
  // A sign of life: "CamStatus", the camera log's ">", a fresh watchdog
  // time-out (and the frame rate when `with_fps`).
  void Refresh(bool with_fps);
  void LinkUp();
  // An MJPEG camera's picture size, from its newest frame, every few seconds.
  void NotePictureSize();
  void FramesIndexed(std::int64_t count) override;
  void ProbeSawImage() override;
  void StreamingSwitchedOff() override;

  platform::Clock& clock_;
  core::CameraMetrics counters_;
  CameraReport report_;
  CameraLog log_;
  std::string request_uri_;
  StreamKind kind_ = StreamKind::kMjpeg;
  std::atomic<int> configured_{0};
  int stall_timeout_s_ = 10;
  RtspTransport rtsp_transport_ = RtspTransport::kAuto;
  bool alarm_clip_ = false;
  int alarm_clip_seconds_ = 120;
  bool extended_log_ = false;

  RingStore ring_;
  StreamingSessions sessions_;
  Liveness liveness_;
  Watchdog watchdog_;
  ProblemLines problems_;
  // The streaming thread's.
  LinkState link_;
  MjpegSource mjpeg_;
  RtspSource rtsp_;
  bool fps_written_ = false;
  std::int64_t next_size_us_ = 0;
  DecodingService decoding_;
  DecodingService snapshot_decoding_;
};

// Every camera of the gateway, by camera number (1 to 159; slot 0 is never
// configured). app/ builds one with the gateway's clock and hands it to the
// configuration loader, the jobs and the status port. A camera's threads use
// it until the process ends, so the table is never destroyed while they run.
class CameraTable {
 public:
  explicit CameraTable(platform::Clock& clock);
  CameraTable(const CameraTable&) = delete;
  CameraTable& operator=(const CameraTable&) = delete;

  // How many decoders of all cameras decode at once ("MaxDecoders").
  DecoderBudget& decoder_budget() { return budget_; }

  Camera& operator[](int number) { return *cameras_[static_cast<std::size_t>(number)]; }
  const Camera& operator[](int number) const { return *cameras_[static_cast<std::size_t>(number)]; }

 private:
  DecoderBudget budget_;  // before the cameras, which refer to it
  std::vector<std::unique_ptr<Camera>> cameras_;
};

}  // namespace acquisition
