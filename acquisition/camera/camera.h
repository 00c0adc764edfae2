#pragma once
// CCamera: one camera's stream record. Its streaming thread keeps an HTTP
// connection to the camera's MJPEG URL (or probes it every 30 s when the
// camera streams only on demand), writes the raw stream into a ring file of
// 50,000,000 bytes in 16384-byte blocks and indexes every JPEG frame with the
// moment it began to arrive, so the frames of the last lap can be read back
// by time.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/camera/frame_finder.h"
#include "acquisition/camera/frame_index.h"
#include "alarm/alarm_start.h"
#include "core/camera_base.h"
#include "core/metrics.h"
#include "core/report.h"
#include "platform/clock.h"
#include "platform/mutex.h"

inline constexpr std::size_t kStreamBlockSize = 16384;
inline constexpr std::int64_t kStreamFileSize = 50000000;
inline constexpr int kImageBufferSize = 800000;  // largest image read back is one byte less
inline constexpr int kProbeIntervalSeconds = 30;
inline constexpr const char* kStreamName = "MJPEG Stream";

// First place in [start, start+range) where `pattern` occurs completely, or
// null (also when the pattern is longer than the range).
const std::uint8_t* FindBytes(const std::uint8_t* start, const std::uint8_t* pattern,
                              std::size_t range, std::size_t pattern_length);

// One indexed frame, as a reader gets it.
struct FrameRef {
  std::int64_t number = -1;  // its number in the index since the stream started
  FrameEntry entry;
};

// The codec parameters of one RTSP connection: what a decoder of its frames
// is opened with. A camera that restarts with other parameters gets a new
// set, and its older frames keep theirs.
struct VideoCodec {
  int codec_id = 0;                     // FFmpeg's AVCodecID
  std::string name;                     // for messages
  std::vector<std::uint8_t> extradata;  // the parameter sets (SPS/PPS/VPS) announced
};

// Where a camera's frames come from.
enum class StreamKind {
  kMjpeg,  // JPEG frames over HTTP, stored and read back as they came
  kRtsp,   // H.264/H.265 over RTSP, stored compressed and decoded for a job
};

// How a frame is chosen for a wanted moment.
enum class FrameSearch {
  kAtOrBefore,  // the newest frame that began at or before it
  kAtOrAfter,   // the oldest frame that began at or after it
};

// Stores an image as a JPEG file after checking that both markers are in it.
// 0 when written, -1 after a message.
int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count);

class CCamera final : public CCameraBase, private MjpegFrameFinder::Events {
 public:
  // Every moment the camera stamps or decides by comes from `clock`.
  explicit CCamera(platform::Clock& clock) : clock_(clock) {}
  ~CCamera() = default;
  CCamera(const CCamera&) = delete;
  CCamera& operator=(const CCamera&) = delete;

  // Copies the identity and allocates the index; 0, or -1 when it cannot.
  int InitStream(const std::string& address, int port, std::string_view stream_name, int number);
  // Starts StreamingDurationThread (on-demand cameras) and StreamingThread.
  // Returns false when a thread could not be created.
  bool StartStreamThreads();
  // Streams for at least `seconds` from now: a running session is extended
  // to the later of the two ends, never shortened. Returns the session the
  // caller's frames belong to (the running one, or a new one).
  std::uint32_t StartStreaming(int seconds);
  // The session frames arriving now belong to; a permanent camera has one.
  std::uint32_t CurrentSession() const { return session_.load(); }
  bool IsPermanent() const { return permanent_ != 0; }
  // True when the index holds a frame (of `session`).
  bool HasImage();
  bool HasImage(std::uint32_t session);

  // The camera log: "./LOG/Ocelam_<n>_<year><day><month>.log" and the
  // interface record.
  void Log(std::string_view text, ReportLevel level);

  // The frame of `session` for the monotonic moment `wanted_us`. False when
  // the index holds none.
  bool FindFrame(FrameSearch search, std::int64_t wanted_us, std::uint32_t session, FrameRef* out);
  // The frame of that number, while the index still holds it.
  bool FrameByNumber(std::int64_t number, FrameRef* out);
  // The first frame of `session` still in the index.
  bool FirstFrame(std::uint32_t session, FrameRef* out);
  // Waits until a frame that began after `after_us` is indexed (for
  // `session`, or any frame of a later session) or until the monotonic
  // `deadline_us`. True when there is one.
  bool WaitForFrameAfter(std::int64_t after_us, std::uint32_t session, std::int64_t deadline_us);
  // Reads the frame into `buffer` (at least 800000 bytes): its size, or -1
  // after a message when its bytes are gone from the ring, were overwritten
  // while read, or are not one whole JPEG image (FF D8 .. FF D9).
  int GetImage(const FrameRef& frame, std::uint8_t* buffer);
  // Reads the frame's bytes as stored into `buffer` (at least 800000 bytes):
  // its size, or -1 with `message` set when they are gone from the ring or
  // were overwritten while read.
  int ReadFrame(const FrameRef& frame, std::uint8_t* buffer, std::string* message);
  // The newest key frame at or before frame `number` whose codec parameters
  // are that frame's, while the index holds it.
  bool KeyFrameAtOrBefore(std::int64_t number, FrameRef* out);
  // The codec parameters of frames marked `codec`; null once none is left.
  std::shared_ptr<const VideoCodec> Codec(std::uint16_t codec);
  // Frames per second over the last 10 seconds of frames; false while those
  // frames span less than one second.
  bool RecentFrameRate(float* rate);

  // The body of the stream write callback: takes the next `n` bytes of the
  // stream. Returns false when the transfer must stop (streaming switched off).
  bool ConsumeStream(const std::uint8_t* data, std::size_t n);
  // A transfer ended (or, before the first chunk, began): the frames already
  // whole are written out and indexed, the one being assembled is dropped.
  void EndTransfer();

  // Configuration the loader sets.
  void SetStreamFilePath(std::string path) { stream_file_path_ = std::move(path); }
  const std::string& stream_file_path() const { return stream_file_path_; }
  void SetRequestUri(std::string uri) { request_uri_ = std::move(uri); }
  void SetStreamKind(StreamKind kind) { kind_ = kind; }
  StreamKind stream_kind() const { return kind_; }
  const std::string& request_uri() const { return request_uri_; }
  void SetExtendedLog(bool on) { extended_log_ = on ? 1 : 0; }
  void SetPermanent(int value) { permanent_ = value; }
  void SetConfigured(int value) { configured_.store(value); }
  int configured() const { return configured_.load(); }
  void SetCameraNumber(int n) { camera_number_ = n; }
  // Seconds without a byte after which a transfer is given up and made anew.
  void SetStallTimeout(int seconds) { stall_timeout_s_.store(seconds); }
  int camera_number() const { return camera_number_; }
  // The stream's address as logs show it (an RTSP address without its
  // credentials).
  std::string Url() const;

  // Starts WatchdogThread: `timeout` and `pause` in minutes; the alarm it
  // starts through `alarms` when the camera is not seen alive in time.
  // Returns false when the thread could not be created.
  bool StartWatchdog(AlarmServer& alarms, int active, int timeout, int pause, int alarm);

  // Watchdog settings and countdown (the watchdog thread counts it down; the
  // stream refreshes it whenever it has seen the camera alive).
  int watchdog_timeout_minutes() const { return watchdog_timeout_.load(); }
  void SetWatchdogTimeout(int minutes) { watchdog_timeout_.store(minutes); }
  std::atomic<int>& watchdog_countdown() { return watchdog_countdown_; }
  std::atomic<int> watchdog_active{0};
  std::atomic<int> watchdog_alarm{0};
  std::atomic<int> pause_after_alarm{0};

  // State seen by other threads and by tests.
  int streaming() const { return streaming_.load(); }
  int remaining_seconds() const { return remaining_seconds_.load(); }
  std::time_t last_alive() const { return last_alive_.load(); }
  std::int64_t file_position() const { return block_start_ % kStreamFileSize; }
  std::int64_t stream_position() const {
    return block_start_ + static_cast<std::int64_t>(block_fill_);
  }
  std::size_t block_fill() const { return block_fill_; }
  // Frames indexed since the stream started, and the index's range.
  std::int64_t image_count();
  std::int64_t first_frame_number();
  std::int64_t next_frame_number();
  // The stream's counters, read by the status port.
  const metrics::CameraMetrics& counters() const { return counters_; }

 private:
  static std::size_t StreamWriteCallback(char* data, std::size_t size, std::size_t count,
                                         void* self);
  static std::size_t SkipHeaderCallback(char* data, std::size_t size, std::size_t count,
                                        void* self);
  static std::size_t ProbeWriteCallback(char* data, std::size_t size, std::size_t count,
                                        void* self);
  static std::size_t ProbeHeaderCallback(char* data, std::size_t size, std::size_t count,
                                         void* self);
  static int ProgressCallback(void* self, std::int64_t, std::int64_t, std::int64_t, std::int64_t);

  void StreamingThread();
  void WatchdogThread(AlarmServer& alarms);
  void StreamingDurationThread();
  // Writes the block's bytes up to `upto` that are not yet in the stream
  // file, then indexes the frames they complete.
  void WriteBlockBytes(std::size_t upto);
  void PublishFrames(bool written);
  // The state lines of the camera's connection: one per change, and a
  // reminder while it stays down.
  void NoteUp();
  // Why a transfer failed: its kind (0 when it did not) and the text for
  // the log.
  struct StreamLoss {
    int kind = 0;
    std::string text;
  };
  void NoteDown(const StreamLoss& loss);
  // A stream switched off by us: the status file and the camera log say so.
  void NoteStreamingOff();
  // One RTSP connection (camera_rtsp.cpp): records its packets until it
  // ends, or, for a probe, waits for its first key frame.
  StreamLoss RtspTransfer(bool probe);
  // Takes one compressed frame of the RTSP connection into the ring.
  void ConsumePacket(const std::uint8_t* data, std::size_t n, const FoundFrame& frame);
  // Registers the parameters of a new connection; the number its frames carry.
  std::uint16_t AddCodec(std::shared_ptr<const VideoCodec> codec);
  // Moves the bytes of one chunk into the block, writing each full block.
  void TakeBytes(const std::uint8_t* data, std::size_t n, std::int64_t now, std::int64_t wall,
                 std::uint32_t session, bool find_frames);
  // Sleeps `ms`, cut short when the wish to stream changes.
  void SleepUnlessStreamingChanges(int ms, int streaming);
  void OnFrame(const FoundFrame& frame) override;
  void OnStreamProblem(StreamProblem problem, std::int64_t detail) override;
  // A sign of life: "CamStatus", the camera log's ">" and a fresh countdown
  // (and the frame rate when `with_fps`).
  void Refresh(bool with_fps);
  bool RefreshDue() const;

  platform::Clock& clock_;
  metrics::CameraMetrics counters_;
  int camera_number_ = 0;
  std::string request_uri_;
  StreamKind kind_ = StreamKind::kMjpeg;
  std::atomic<int> configured_{0};
  std::string stream_name_;
  std::string stream_file_path_;

  // Touched only by the streaming thread (and the loader before it starts).
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t block_fill_ = 0;
  std::size_t block_written_ = 0;  // bytes of the block already in the file
  std::int64_t block_start_ = 0;   // stream position of the block's first byte
  MjpegFrameFinder finder_;
  std::vector<FoundFrame> pending_;  // whole frames not yet in the file
  std::int64_t last_write_us_ = 0;
  std::int64_t last_moment_us_ = 0;  // of the last compressed frame taken
  std::string last_codec_name_;      // of the last RTSP connection
  bool fps_written_ = false;
  std::int64_t problem_logged_us_[static_cast<int>(StreamProblem::kCount)] = {};
  std::int64_t problems_unlogged_[static_cast<int>(StreamProblem::kCount)] = {};
  bool index_full_logged_ = false;
  bool file_failing_ = false;
  // The connection's state and the pause before the next attempt.
  bool link_up_ = false;
  bool link_known_ = false;
  int down_kind_ = 0;
  std::string down_reason_;
  std::int64_t down_since_wall_ms_ = 0;
  std::int64_t reminder_due_us_ = 0;
  int backoff_ms_ = 0;
  // The transfer running now: when its last byte came, and why it was cut.
  std::int64_t last_byte_us_ = 0;
  bool stalled_ = false;
  bool probe_too_slow_ = false;

  // A frame that starts before this stream position may have been
  // overwritten by the block being written: readers check it before and
  // after they read.
  std::atomic<std::int64_t> overwrite_limit_{0};

  // The monotonic moment a probe's answer began.
  std::atomic<std::int64_t> probe_answer_us_{0};
  platform::Mutex session_lock_;  // makes extending or starting a session one step
  std::atomic<int> remaining_seconds_{0};
  std::atomic<int> streaming_{0};
  std::atomic<std::uint32_t> session_{1};
  std::atomic<std::time_t> last_alive_{0};
  std::atomic<int> watchdog_timeout_{0};
  std::atomic<int> stall_timeout_s_{10};
  std::atomic<int> watchdog_countdown_{0};
  int extended_log_ = 0;
  int permanent_ = 0;

  platform::Mutex index_lock_;
  platform::CondVar frame_indexed_;  // signalled under index_lock_
  FrameIndex index_ GUARDED_BY(index_lock_);
  // The codec parameters frames in the index (and the connection running
  // now, the last) decode with, oldest first.
  std::vector<std::pair<std::uint16_t, std::shared_ptr<const VideoCodec>>> codecs_
      GUARDED_BY(index_lock_);
  std::uint16_t last_codec_ GUARDED_BY(index_lock_) = 0;
  std::int64_t image_count_ GUARDED_BY(index_lock_) = 0;
  int frame_waiters_ GUARDED_BY(index_lock_) = 0;
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

  CCamera& operator[](int number) { return *cameras_[static_cast<std::size_t>(number)]; }
  const CCamera& operator[](int number) const {
    return *cameras_[static_cast<std::size_t>(number)];
  }

 private:
  std::vector<std::unique_ptr<CCamera>> cameras_;
};
