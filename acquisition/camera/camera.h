#pragma once
// CCamera: one camera's stream record. Its streaming thread keeps an HTTP
// connection to the camera's MJPEG URL (or probes it every 30 s when the
// camera streams only on demand), writes the raw stream into a ring file of
// 50,000,000 bytes in 16384-byte blocks and indexes every JPEG image in a ring
// of 200000 entries, so the images of the last laps can be read back.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/camera_base.h"

inline constexpr std::size_t kStreamBlockSize = 16384;
inline constexpr std::int64_t kStreamFileSize = 50000000;
inline constexpr int kImageIndexSize = 200000;
inline constexpr int kImageBufferSize = 800000;  // largest image read back is one byte less
inline constexpr int kProbeIntervalSeconds = 30;
inline constexpr const char* kStreamName = "MJPEG Stream";

// First place in [start, start+range) where `pattern` occurs completely, or
// null (also when the pattern is longer than the range).
const std::uint8_t* FindBytes(const std::uint8_t* start, const std::uint8_t* pattern,
                              std::size_t range, std::size_t pattern_length);

// The index entry a time-back value (hundredths of a second) chooses, from
// the write index and the frame rate; always within the ring.
int ChooseImageIndex(int write_index, float frame_rate, int time_back);

// Stores an image as a JPEG file after checking that both markers are in it.
// 0 when written, -1 after a message.
int WriteJpegFile(const std::string& path, const std::uint8_t* buffer, int count);

class CCamera : public CCameraBase {
 public:
  CCamera() = default;
  ~CCamera() = default;
  CCamera(const CCamera&) = delete;
  CCamera& operator=(const CCamera&) = delete;

  // Copies the identity and allocates the index; 0, or -1 when it cannot.
  int InitStream(const std::string& address, int port, std::string_view stream_name, int number);
  // Starts StreamingDurationThread (on-demand cameras) and StreamingThread.
  // Returns false when a thread could not be created.
  bool StartStreamThreads();
  // Streams for `seconds` from now (replaces any remaining time).
  void StartStreaming(int seconds);
  bool IsPermanent() const { return permanent_ != 0; }
  bool HasImage();
  void Lock() { index_lock_.lock(); }
  void Unlock() { index_lock_.unlock(); }

  // The camera log: "./LOG/Ocelam_<n>_<year><day><month>.log" and the
  // interface record.
  void Log(std::string_view text, int level);

  // Reads the image `time_back` hundredths of a second before the newest into
  // `buffer` (at least 800000 bytes). Returns its size, 0 when the entry holds
  // no image, -1 after a message. The chosen entry goes to `out_index`.
  int GetImage(int time_back, std::uint8_t* buffer, int* out_index);

  // The body of the stream write callback: takes the next `n` bytes of the
  // stream. Returns false when the transfer must stop (streaming switched off).
  bool ConsumeStream(const std::uint8_t* data, std::size_t n);

  // Configuration the loader sets.
  void SetStreamFilePath(std::string path) { stream_file_path_ = std::move(path); }
  const std::string& stream_file_path() const { return stream_file_path_; }
  void SetRequestUri(std::string uri) { request_uri_ = std::move(uri); }
  const std::string& request_uri() const { return request_uri_; }
  void SetExtendedLog(bool on) { extended_log_ = on ? 1 : 0; }
  void SetPermanent(int value) { permanent_ = value; }
  void SetConfigured(int value) { configured_.store(value); }
  int configured() const { return configured_.load(); }
  void SetCameraNumber(int n) { camera_number_ = n; }
  int camera_number() const { return camera_number_; }
  std::string Url() const;

  // Starts WatchdogThread: `timeout` and `pause` in minutes; the alarm it
  // starts on the alarm server when the camera is not seen alive in time.
  // Returns false when the thread could not be created.
  bool StartWatchdog(int active, int timeout, int pause, int alarm);

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
  std::int64_t file_position() const { return file_position_; }
  std::size_t block_fill() const { return block_fill_; }
  float frame_rate();
  int image_count();
  int write_index();
  // Offsets of an index entry (-1 when none); for tests and diagnostics.
  std::pair<int, int> Bounds(int entry);

 private:
  static std::size_t StreamWriteCallback(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t SkipHeaderCallback(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t ProbeWriteCallback(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t ProbeHeaderCallback(char* data, std::size_t size, std::size_t count, void* self);

  void StreamingThread();
  void WatchdogThread();
  void StreamingDurationThread();
  void FlushBlock();
  void ScanBlock();
  // A sign of life: "CamStatus", the camera log's ">" and a fresh countdown
  // (and the frame rate when `with_fps`).
  void Refresh(bool with_fps);
  bool RefreshDue() const;

  int camera_number_ = 0;
  std::string request_uri_;
  std::atomic<int> configured_{0};
  std::string stream_name_;
  std::string stream_file_path_;

  // Touched only by the streaming thread (and the loader before it starts).
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t block_fill_ = 0;
  int inside_image_ = 0;
  std::int64_t file_position_ = 0;

  // Seconds since 1970 with microseconds: the frame rate divides by it, and
  // whole seconds would make the rate (and every time-back lookup) up to a
  // frame per second wrong in the first seconds of a stream.
  std::atomic<double> start_time_{0};
  std::atomic<int> remaining_seconds_{0};
  std::atomic<int> streaming_{0};
  std::atomic<std::time_t> last_alive_{0};
  std::atomic<int> watchdog_timeout_{0};
  std::atomic<int> watchdog_countdown_{0};
  int extended_log_ = 0;
  int permanent_ = 0;

  std::mutex index_lock_;
  // Guarded by index_lock_:
  int image_count_ = 0;
  float frame_rate_ = 0;
  std::unique_ptr<std::int32_t[]> soi_;
  std::unique_ptr<std::int32_t[]> eoi_;
  int write_index_ = 0;
};
