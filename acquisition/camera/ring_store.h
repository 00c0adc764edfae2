#pragma once
// RingStore: one camera's recorded stream. It owns the ring file (the stream
// written round a file of 50,000,000 bytes in 16384-byte blocks), the frames
// waiting for their bytes to reach that file, the frame index, the codec
// parameters indexed frames decode with, and reading a frame back whole.
//
// The ring file takes its whole size on the disk when it is made, so a disk
// that cannot hold it is named at once; a write to it that fails is said
// once when the failures start and once when writing works again, and no
// frame with a byte in a failed write is ever indexed.
//
// Threads: the writer calls (MakeFileIfMissing, Append, AddFrame, Store,
// Flush, AddCodec) come from the camera's streaming thread alone (a test may
// stand in for it), and the writer's state (the block, the waiting frames,
// the write failures) is that thread's. Any
// thread reads (jobs, the status port). `index_lock_` guards the index, the
// codec parameters and the frame count; `overwrite_limit_` is an atomic
// that readers check before and after they read the file.
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/camera/camera_log.h"
#include "acquisition/camera/frame_finder.h"
#include "acquisition/camera/frame_index.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

namespace acquisition {

inline constexpr std::size_t kStreamBlockSize = 16384;
inline constexpr std::int64_t kStreamFileSize = 50000000;
inline constexpr int kImageBufferSize = 800000;  // largest image read back is one byte less
// The largest compressed frame of an RTSP camera that is stored: a 4K or
// 12 MP camera's key frames are 0.6 to 2 MB. Every buffer that holds a frame
// of such a camera is bounded by it.
inline constexpr int kRtspFrameLimit = 4000000;

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

// How a frame is chosen for a wanted moment.
enum class FrameSearch {
  kAtOrBefore,  // the newest frame that began at or before it
  kAtOrAfter,   // the oldest frame that began at or after it
};

class RingStore {
 public:
  RingStore(platform::Clock& clock, const CameraLog& log) : clock_(clock), log_(log) {}

  // Set by the loader before the camera's threads start.
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  // Takes the block and a fresh index; false when there is no memory.
  bool Init();

  // --- The writer (the streaming thread) ---
  // Makes the ring file when there is none, with its disk room taken.
  void MakeFileIfMissing();
  // A whole frame whose bytes are, or are about to be, appended.
  void AddFrame(const FoundFrame& frame) { pending_.push_back(frame); }
  // Appends the stream's next bytes, writing every block they fill and the
  // bytes of the whole frames among them; the frames indexed by it.
  std::int64_t Append(const std::uint8_t* data, std::size_t n);
  // Appends one whole compressed frame and adds it; the frames indexed.
  std::int64_t Store(const std::uint8_t* data, std::size_t n, FoundFrame frame);
  // Writes out the bytes of whole frames still in the block; the frames
  // indexed.
  std::int64_t Flush();
  // Registers the parameters of a new connection; the number its frames carry.
  std::uint16_t AddCodec(std::shared_ptr<const VideoCodec> codec);
  // The stream position of the next byte appended.
  std::int64_t stream_position() const {
    return block_start_ + static_cast<std::int64_t>(block_fill_);
  }
  std::int64_t file_position() const { return block_start_ % kStreamFileSize; }
  std::size_t block_fill() const { return block_fill_; }

  // --- Readers (any thread) ---
  bool HasImage();
  bool HasImage(std::uint32_t session);
  // The frame of `session` for the monotonic moment `wanted_us`.
  bool FindFrame(FrameSearch search, std::int64_t wanted_us, std::uint32_t session, FrameRef* out);
  bool FrameByNumber(std::int64_t number, FrameRef* out);
  // Waits until a frame that began after `after_us` is indexed (for
  // `session`, or any frame of a later session) or until the monotonic
  // `deadline_us`. True when there is one.
  bool WaitForFrameAfter(std::int64_t after_us, std::uint32_t session, std::int64_t deadline_us);
  // The frame's bytes as stored into `buffer` (`capacity` bytes: 800000 for
  // an MJPEG image, kRtspFrameLimit for a compressed frame): its size, or -1
  // with `message` set when they are gone from the ring, were overwritten
  // while read, or do not fit.
  int ReadFrame(const FrameRef& frame, std::uint8_t* buffer, int capacity, std::string* message);
  // True once the writer has reached (or passed) the frame's bytes.
  bool Overwritten(const FrameEntry& frame) const { return frame.start < overwrite_limit_.load(); }
  // `got` when the `got` bytes read of `frame` are one whole JPEG image
  // (FF D8 .. FF D9); else -1 with `message` set.
  int CheckJpeg(const FrameRef& frame, const std::uint8_t* buffer, int got,
                std::string* message) const;
  bool KeyFrameAtOrBefore(std::int64_t number, FrameRef* out);
  std::shared_ptr<const VideoCodec> Codec(std::uint16_t codec);
  bool RecentFrameRate(float* rate);
  std::int64_t image_count();
  std::int64_t first_frame_number();
  std::int64_t next_frame_number();

 private:
  // Writes the block's bytes up to `upto` that are not yet in the file,
  // then indexes the frames they complete; the frames indexed.
  std::int64_t WriteBlockBytes(std::size_t upto);
  // Writes the full block and starts the next; the frames indexed.
  std::int64_t WriteFullBlock();
  // Writes bytes to the file, made anew when it has gone; false when they
  // did not all reach it.
  bool WriteToFile(const std::uint8_t* bytes, std::size_t n, std::int64_t at);
  // The file opened for writing, made anew (and its frames forgotten) when
  // someone removed it; invalid when it cannot be opened.
  platform::UniqueFd OpenFile();
  // Takes the disk room of the whole ring for the file just made; a disk
  // that cannot hold it is said here.
  void TakeDiskRoom(int fd);
  // The lines about writes that fail and work again.
  void NoteWrite(const platform::Status& written);
  std::int64_t Publish(bool written);
  // The frame near `n` (found by its order) whose own picture is the one
  // `search` wants for `wanted_us`.
  // True when a picture after `after_us` is in that no frame still to come
  // can precede (with B-frames, one behind the newest frame may).
  bool SettledAfter(std::int64_t after_us) REQUIRES(index_lock_);
  std::int64_t NearestPicture(FrameSearch search, std::int64_t wanted_us, std::uint32_t session,
                              std::int64_t n) REQUIRES(index_lock_);
  void ForgetAll();

  platform::Clock& clock_;
  const CameraLog& log_;
  std::string path_;

  // The writer's.
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t block_fill_ = 0;
  std::size_t block_written_ = 0;  // bytes of the block already in the file
  std::int64_t block_start_ = 0;   // stream position of the block's first byte
  std::vector<FoundFrame> pending_;  // whole frames not yet in the file
  // Writes fail (opening the file or writing to it), and a line said so.
  bool file_failing_ = false;
  // The line that the disk cannot hold the ring stands for the failed
  // writes that follow it, until a write works.
  bool disk_full_said_ = false;
  // A frame that starts before this stream position had bytes in a write
  // that failed: it is never indexed.
  std::int64_t lost_before_ = 0;
  bool index_full_logged_ = false;
  std::int64_t last_order_us_ = INT64_MIN;  // the largest moment stored

  // A frame that starts before this stream position may have been
  // overwritten by the block being written.
  std::atomic<std::int64_t> overwrite_limit_{0};

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

}  // namespace acquisition
