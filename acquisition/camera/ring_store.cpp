#include "acquisition/camera/ring_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/strings.h"
#include "platform/unique_fd.h"

namespace acquisition {

namespace {

constexpr const char* kFileMadeAgain = "Camera %d: the stream file %s was gone and is made anew";
constexpr const char* kFileWrittenAgain = "Camera %d: the stream file %s is written again";
constexpr const char* kWriteFailed =
    "Camera %d: ERROR: the stream file %s cannot be written (%s): its frames are not indexed";
constexpr const char* kDiskTooSmall =
    "Camera %d: ERROR: the disk of %s cannot hold the stream file %s (%lld bytes): %s";
constexpr const char* kOpenFailed = "ERROR: opening file id %x";
constexpr const char* kCloseFailed = "ERROR: closing file id %x";
constexpr const char* kNoIndexMemory =
    "ERROR: no memory for the image index: frames are not indexed";
constexpr const char* kOutOfBoundIII = "Camera %d: ERROR: image out of bound (III)";
constexpr const char* kOutOfBoundII = "Camera %d: ERROR: image out of bound (II)";
constexpr const char* kTooBig = "Camera %d: ERROR: image too big (%d bytes, max allowed: %d bytes)";
constexpr const char* kOverwritten =
    "Camera %d: ERROR: the image begun at %s is no longer in the stream file (overwritten by the "
    "ring)";
constexpr const char* kNotWhole =
    "Camera %d: ERROR: the image begun at %s does not read back as one whole JPEG image";
constexpr const char* kCannotOpen = "Camera %d: ERROR: unable to open the file '%s'";
constexpr std::size_t kPendingFramesReserved = 64;
// The frame rate shown is that of the last 10 seconds of frames, once they
// span a second.
constexpr std::int64_t kFrameRateWindowUs = 10 * 1000000LL;
constexpr std::int64_t kMinFrameRateSpanUs = 1000000;
// A picture stored this many frames from its place in the order of moments
// is still found (H.264 and H.265 hold back at most 16 pictures).
constexpr std::int64_t kReorderFrames = 16;
// A picture older than this behind one stored before it is no B-frame but a
// camera's times jumping: its moment is raised to keep within this.
constexpr std::int64_t kMaxOrderLagUs = 10 * 1000000LL;

// Reads exactly what it can of `length` bytes at `offset`.
int ReadAt(int fd, std::uint8_t* buffer, std::int64_t length, std::int64_t offset) {
  std::int64_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, static_cast<std::size_t>(length - done), offset + done);
    if (n <= 0) break;
    done += n;
  }
  return static_cast<int>(done);
}

// The folder of a path: the disk a file lies on, for messages.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// "hh:mm:ss.mmm" of a wall-clock moment, for messages.
std::string WallText(std::int64_t wall_ms) {
  std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return platform::StringPrintf("%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                                static_cast<int>(wall_ms % 1000));
}

}  // namespace

bool RingStore::Init() {
  block_start_ = 0;
  block_fill_ = block_written_ = 0;
  lost_before_ = 0;
  overwrite_limit_.store(static_cast<std::int64_t>(kStreamBlockSize) - kStreamFileSize);
  block_.reset(new (std::nothrow) std::uint8_t[kStreamBlockSize]);
  if (!block_) return false;
  pending_.reserve(kPendingFramesReserved);
  ForgetAll();
  return true;
}

void RingStore::ForgetAll() {
  platform::MutexLock guard(index_lock_);
  index_ = FrameIndex();
  index_.TakeInitialChunks();
}

std::int64_t RingStore::Append(const std::uint8_t* data, std::size_t n) {
  std::int64_t added = 0;
  // Taken block by block: a chunk larger than one block (never from
  // libcurl's default buffer, but a video frame often is) loses nothing.
  while (n > 0) {
    const std::size_t take = std::min(n, kStreamBlockSize - block_fill_);
    std::memcpy(block_.get() + block_fill_, data, take);
    block_fill_ += take;
    data += take;
    n -= take;
    if (block_fill_ == kStreamBlockSize) added += WriteFullBlock();
  }
  // A frame is wanted as soon as it is whole (a job waits for the first
  // frame after its alarm): its bytes go to the file with the chunk that
  // ends it, not with the next chunk or when the block fills. The bytes of
  // the frame begun after it wait for their own end.
  for (auto f = pending_.rbegin(); f != pending_.rend(); ++f) {
    if (f->end > stream_position()) continue;
    added += WriteBlockBytes(static_cast<std::size_t>(f->end - block_start_));
    break;
  }
  return added;
}

std::int64_t RingStore::WriteFullBlock() {
  const std::int64_t added = WriteBlockBytes(kStreamBlockSize);
  block_start_ += static_cast<std::int64_t>(kStreamBlockSize);
  block_fill_ = block_written_ = 0;
  // The next block overwrites the bytes one lap behind it.
  overwrite_limit_.store(block_start_ + static_cast<std::int64_t>(kStreamBlockSize) -
                         kStreamFileSize);
  return added;
}

std::int64_t RingStore::Store(const std::uint8_t* data, std::size_t n, FoundFrame frame) {
  frame.start = stream_position();
  frame.end = frame.start + static_cast<std::int64_t>(n);
  pending_.push_back(frame);
  return Append(data, n);
}

std::int64_t RingStore::Flush() {
  if (!block_ || pending_.empty()) return 0;
  return WriteBlockBytes(block_fill_);
}

std::uint16_t RingStore::AddCodec(std::shared_ptr<const VideoCodec> codec) {
  platform::MutexLock guard(index_lock_);
  // 0 stands for MJPEG; the numbers wrap after 65535 connections, long
  // after the ring has forgotten the first.
  if (++last_codec_ == 0) last_codec_ = 1;
  codecs_.emplace_back(last_codec_, std::move(codec));
  return last_codec_;
}

std::int64_t RingStore::WriteBlockBytes(std::size_t upto) {
  if (upto <= block_written_) return 0;
  const std::int64_t at =
      (block_start_ + static_cast<std::int64_t>(block_written_)) % kStreamFileSize;
  const bool written = WriteToFile(block_.get() + block_written_, upto - block_written_, at);
  block_written_ = upto;
  return Publish(written);
}

void RingStore::MakeFileIfMissing() {
  platform::UniqueFd fd(open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  // A file that cannot be made here is said by the first write.
  if (fd.valid()) TakeDiskRoom(fd.get());
}

void RingStore::TakeDiskRoom(int fd) {
  const platform::Status room = platform::AllocateFile(fd, kStreamFileSize);
  // A file system that cannot take room ahead gets the file grown as it is
  // written, and a full disk is found by the write that fails.
  if (room.ok() || room.error() == EOPNOTSUPP) return;
  log_.Log(platform::StringPrintf(kDiskTooSmall, log_.camera_number(), FolderOf(path_).c_str(),
                                  path_.c_str(), static_cast<long long>(kStreamFileSize),
                                  room.reason().c_str()),
           core::ReportLevel::kError);
  disk_full_said_ = true;
}

platform::UniqueFd RingStore::OpenFile() {
  // Opened and closed around every write, so other threads and processes can
  // read the stream file at any time.
  // "FilePath" may be shared: a link planted under the stream file's name
  // is never written through, nor a FIFO waited on.
  platform::UniqueFd fd(open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.valid() || errno != ENOENT) return fd;
  // Someone removed the stream file: it is made anew, and the frames it
  // held are gone from the index with it.
  fd.reset(open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!fd.valid()) return fd;
  log_.Log(platform::StringPrintf(kFileMadeAgain, log_.camera_number(), path_.c_str()),
           core::ReportLevel::kError);
  ForgetAll();
  TakeDiskRoom(fd.get());
  return fd;
}

bool RingStore::WriteToFile(const std::uint8_t* bytes, std::size_t n, std::int64_t at) {
  platform::UniqueFd fd = OpenFile();
  if (!fd.valid()) {
    // Said once when it starts failing, not for every block.
    if (!file_failing_)
      log_.Log(platform::StringPrintf(kOpenFailed, fd.get()), core::ReportLevel::kError);
    file_failing_ = true;
    return false;
  }
  // The ring's end does not fall on a block boundary: tail here, head at 0.
  const std::size_t tail = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(n), kStreamFileSize - at));
  platform::Status written = platform::PWriteAll(fd.get(), bytes, tail, at);
  if (written && tail < n) written = platform::PWriteAll(fd.get(), bytes + tail, n - tail, 0);
  NoteWrite(written);
  const int number = fd.get();
  // Bytes a failed close may have lost are not indexed either.
  if (!fd.Close()) {
    log_.Log(platform::StringPrintf(kCloseFailed, number), core::ReportLevel::kError);
    return false;
  }
  return written.ok();
}

void RingStore::NoteWrite(const platform::Status& written) {
  const int camera = log_.camera_number();
  if (written) {
    if (file_failing_)
      log_.Log(platform::StringPrintf(kFileWrittenAgain, camera, path_.c_str()),
               core::ReportLevel::kInfo);
    file_failing_ = disk_full_said_ = false;
    return;
  }
  // A disk that fills says so once, not for every frame, with the system's
  // reason; a ring its disk could not hold was said when it was made.
  if (!file_failing_ && !disk_full_said_)
    log_.Log(platform::StringPrintf(kWriteFailed, camera, path_.c_str(), written.reason().c_str()),
             core::ReportLevel::kError);
  file_failing_ = true;
}

std::int64_t RingStore::Publish(bool written) {
  const std::int64_t in_file = block_start_ + static_cast<std::int64_t>(block_written_);
  std::size_t done = 0;
  std::int64_t added = 0;
  // Frames with bytes that did not reach the file are never indexed, nor
  // those that began in a failed write and end in one that worked: a reader
  // would find other bytes there.
  if (!written) lost_before_ = in_file;
  platform::MutexLock guard(index_lock_);
  for (; done < pending_.size() && pending_[done].end <= in_file; ++done) {
    const FoundFrame& f = pending_[done];
    if (f.start < lost_before_) continue;
    FrameEntry entry{f.start,   f.begin_us, f.begin_wall_ms, static_cast<std::int32_t>(f.end - f.start),
                     f.session, f.codec,    f.key};
    last_order_us_ = std::max(last_order_us_, f.begin_us);
    if (last_order_us_ - entry.begin_us > kMaxOrderLagUs) {
      entry.begin_wall_ms += (last_order_us_ - kMaxOrderLagUs - entry.begin_us) / 1000;
      entry.begin_us = last_order_us_ - kMaxOrderLagUs;
    }
    entry.order_lag_us = static_cast<std::int32_t>(last_order_us_ - entry.begin_us);
    if (!index_.Append(entry)) {
      if (!index_full_logged_) log_.Log(kNoIndexMemory, core::ReportLevel::kError);
      index_full_logged_ = true;
      continue;
    }
    ++image_count_;
    ++added;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
  // Frames the next block will overwrite are of no use any more.
  index_.DropBefore(block_start_ + 2 * static_cast<std::int64_t>(kStreamBlockSize) -
                    kStreamFileSize);
  if (added > 0) index_.ReserveForRing(kStreamFileSize);
  // Parameters no indexed frame refers to any more go, but for those of the
  // connection running now.
  while (codecs_.size() > 1 &&
         (index_.empty() || codecs_.front().first != index_.At(index_.first()).codec))
    codecs_.erase(codecs_.begin());
  if (added > 0 && frame_waiters_ > 0) frame_indexed_.SignalAll();
  return added;
}

bool RingStore::HasImage() {
  platform::MutexLock guard(index_lock_);
  return !index_.empty();
}

bool RingStore::HasImage(std::uint32_t session) {
  platform::MutexLock guard(index_lock_);
  std::int64_t n = index_.LowerBound(session, INT64_MIN);
  return n < index_.next() && index_.At(n).session == session;
}

std::int64_t RingStore::image_count() {
  platform::MutexLock guard(index_lock_);
  return image_count_;
}

std::int64_t RingStore::first_frame_number() {
  platform::MutexLock guard(index_lock_);
  return index_.first();
}

std::int64_t RingStore::next_frame_number() {
  platform::MutexLock guard(index_lock_);
  return index_.next();
}

bool RingStore::FindFrame(FrameSearch search, std::int64_t wanted_us, std::uint32_t session,
                          FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  std::int64_t n = search == FrameSearch::kAtOrBefore ? index_.UpperBound(session, wanted_us) - 1
                                                      : index_.LowerBound(session, wanted_us);
  if (n < index_.first() || n >= index_.next() || index_.At(n).session != session) return false;
  n = NearestPicture(search, wanted_us, session, n);
  out->number = n;
  out->entry = index_.At(n);
  return true;
}

std::int64_t RingStore::NearestPicture(FrameSearch search, std::int64_t wanted_us,
                                       std::uint32_t session, std::int64_t n) {
  const std::int64_t from = std::max(index_.first(), n - kReorderFrames);
  const std::int64_t to = std::min(index_.next(), n + kReorderFrames + 1);
  std::int64_t best = -1;
  for (std::int64_t m = from; m < to; ++m) {
    const FrameEntry& e = index_.At(m);
    if (e.session != session) continue;
    // Of equal pictures, the newest before and the oldest after.
    const bool better = search == FrameSearch::kAtOrBefore
                            ? e.begin_us <= wanted_us && (best < 0 || e.begin_us >= index_.At(best).begin_us)
                            : e.begin_us >= wanted_us && (best < 0 || e.begin_us < index_.At(best).begin_us);
    if (better) best = m;
  }
  return best < 0 ? n : best;
}

bool RingStore::FrameByNumber(std::int64_t number, FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  if (number < index_.first() || number >= index_.next()) return false;
  out->number = number;
  out->entry = index_.At(number);
  return true;
}

bool RingStore::WaitForFrameAfter(std::int64_t after_us, std::uint32_t session,
                                  std::int64_t deadline_us) {
  platform::MutexLock lock(index_lock_);
  ++frame_waiters_;
  bool found = false;
  for (;;) {
    if (!index_.empty()) {
      const FrameEntry& newest = index_.At(index_.next() - 1);
      if (newest.session > session || (newest.session == session && SettledAfter(after_us))) {
        found = true;
        break;
      }
    }
    std::int64_t left = deadline_us - clock_.MonotonicMicros();
    if (left <= 0) break;
    frame_indexed_.WaitFor(index_lock_, std::chrono::microseconds(left));
  }
  --frame_waiters_;
  return found;
}

bool RingStore::SettledAfter(std::int64_t after_us) {
  const std::int64_t from = std::max(index_.first(), index_.next() - 2 * kReorderFrames);
  std::int64_t lag = 0;
  for (std::int64_t n = std::max(from, index_.next() - kReorderFrames); n < index_.next(); ++n)
    lag = std::max<std::int64_t>(lag, index_.At(n).order_lag_us);
  // Frames still to come show pictures from here on (B-frames lag their
  // order by no more than the recent ones did).
  const std::int64_t to_come = index_.At(index_.next() - 1).order_us() - lag;
  for (std::int64_t n = from; n < index_.next(); ++n) {
    const std::int64_t picture = index_.At(n).begin_us;
    if (picture > after_us && picture <= to_come) return true;
  }
  return false;
}

bool RingStore::RecentFrameRate(float* rate) {
  platform::MutexLock guard(index_lock_);
  if (index_.empty()) return false;
  std::int64_t last = index_.next() - 1;
  std::int64_t newest = index_.At(last).order_us();
  std::int64_t first = index_.FirstFrom(newest - kFrameRateWindowUs);
  std::int64_t span = newest - index_.At(first).order_us();
  if (span < kMinFrameRateSpanUs) return false;
  *rate = static_cast<float>(static_cast<double>(last - first) * 1e6 / static_cast<double>(span));
  return true;
}

int RingStore::ReadFrame(const FrameRef& frame, std::uint8_t* buffer, int capacity,
                         std::string* message) {
  const FrameEntry& f = frame.entry;
  const int camera = log_.camera_number();
  const std::int64_t s = f.start % kStreamFileSize;
  const std::int64_t e = (f.start + f.length) % kStreamFileSize;
  if (f.length <= 0) {
    *message = platform::StringPrintf(kOutOfBoundIII, camera);
  } else if (f.length >= capacity && e < s) {
    *message = platform::StringPrintf(kOutOfBoundII, camera);
  } else if (f.length >= capacity) {
    *message = platform::StringPrintf(kTooBig, camera, static_cast<int>(f.length), capacity);
  } else if (f.start < overwrite_limit_.load()) {
    *message = platform::StringPrintf(kOverwritten, camera, WallText(f.begin_wall_ms).c_str());
  } else {
    platform::UniqueFd fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
      *message = platform::StringPrintf(kCannotOpen, camera, path_.c_str());
      return -1;
    }
    std::int64_t tail = std::min<std::int64_t>(f.length, kStreamFileSize - s);
    int got = ReadAt(fd.get(), buffer, tail, s);
    if (got == tail && tail < f.length) got += ReadAt(fd.get(), buffer + got, f.length - tail, 0);
    // The writer may have reached the frame while it was read: then the
    // bytes are no longer all of it.
    if (f.start < overwrite_limit_.load())
      *message = platform::StringPrintf(kOverwritten, camera, WallText(f.begin_wall_ms).c_str());
    else if (got != f.length)
      *message = platform::StringPrintf(kNotWhole, camera, WallText(f.begin_wall_ms).c_str());
    else
      return got;
  }
  return -1;
}

int RingStore::CheckJpeg(const FrameRef& frame, const std::uint8_t* buffer, int got,
                         std::string* message) const {
  if (got >= 4 && buffer[0] == 0xFF && buffer[1] == 0xD8 && buffer[got - 2] == 0xFF &&
      buffer[got - 1] == 0xD9)
    return got;
  *message = platform::StringPrintf(kNotWhole, log_.camera_number(),
                                    WallText(frame.entry.begin_wall_ms).c_str());
  return -1;
}

bool RingStore::KeyFrameAtOrBefore(std::int64_t number, FrameRef* out) {
  platform::MutexLock guard(index_lock_);
  if (number < index_.first() || number >= index_.next()) return false;
  const std::uint16_t codec = index_.At(number).codec;
  // A group of pictures is rarely longer than a few hundred frames; the
  // walk back stops at the first frame of other parameters.
  for (std::int64_t n = number; n >= index_.first(); --n) {
    const FrameEntry& entry = index_.At(n);
    if (entry.codec != codec) return false;
    if (entry.key) {
      out->number = n;
      out->entry = entry;
      return true;
    }
  }
  return false;
}

std::shared_ptr<const VideoCodec> RingStore::Codec(std::uint16_t codec) {
  platform::MutexLock guard(index_lock_);
  for (const auto& [number, parameters] : codecs_)
    if (number == codec) return parameters;
  return nullptr;
}

}  // namespace acquisition
