#pragma once
// The index of the frames a camera's stream file holds, oldest first: where
// each frame lies in the stream, when it began to arrive and for which
// streaming session. It keeps at most 200000 entries, but its memory follows
// the entries still worth keeping: entries are stored in chunks that are
// allocated when the writer reaches them and freed once every entry in them
// has been dropped (frames whose bytes the ring has overwritten are dropped).
// Before the ring first laps, the index would grow by one chunk every 2000
// frames for many minutes; instead, once the stream's frame size is known,
// the chunks a full ring needs are taken at once, so a camera's memory
// reaches its steady size within its first minute (and a machine short of
// memory shows it at start, not hours later).
// Not thread-safe: the camera's index lock guards it.
#include <array>
#include <cstdint>
#include <memory>

namespace acquisition {

inline constexpr int kImageIndexSize = 200000;

struct FrameEntry {
  std::int64_t start = 0;          // stream position of the frame's first byte
  std::int64_t begin_us = 0;       // monotonic moment of its picture (when it began to arrive)
  std::int64_t begin_wall_ms = 0;  // wall clock of the same moment, for logs
  std::int32_t length = 0;
  std::uint32_t session = 0;
  std::uint16_t codec = 0;  // codec parameters of a compressed frame; 0 for MJPEG
  bool key = false;         // a compressed frame decoding can start at
  // How far the frame's place in the order of moments lies after its own
  // moment. Frames are stored in decoding order; with B-frames a picture may
  // be older than one stored before it, so lookups go by `order_us()`, the
  // largest moment stored up to this frame, which never goes back.
  std::int32_t order_lag_us = 0;

  std::int64_t order_us() const { return begin_us + order_lag_us; }
};
static_assert(sizeof(FrameEntry) == 40, "2000 entries make a chunk of 80,000 bytes");

class FrameIndex {
 public:
  // Adds the newest frame, dropping the oldest when the index is full.
  // False (nothing added) when memory for a new chunk cannot be had.
  bool Append(const FrameEntry& entry);
  // Drops, oldest first, every entry that starts before `position`.
  void DropBefore(std::int64_t position);
  // Takes room for 4000 entries now, for a configured camera (enough for a
  // ring of frames of 12.5 KB or more): one that streams only on demand then
  // does not grow when it is first asked.
  void TakeInitialChunks() { TakeChunksUpTo(next_ + kInitialEntries); }
  // Once the index holds enough frames to tell their size, takes every chunk
  // a ring of `ring_bytes` full of such frames will need (a quarter more,
  // for frames that shrink). Done once; later needs are met chunk by chunk.
  void ReserveForRing(std::int64_t ring_bytes);

  // Entries are numbered from 0 since the index was made; [first, next).
  std::int64_t first() const { return first_; }
  std::int64_t next() const { return next_; }
  bool empty() const { return first_ == next_; }
  const FrameEntry& At(std::int64_t number) const;

  // The first entry whose (session, order) is not below / is above the key;
  // next() when there is none. Entries are ordered by that pair.
  std::int64_t LowerBound(std::uint32_t session, std::int64_t begin_us) const;
  std::int64_t UpperBound(std::uint32_t session, std::int64_t begin_us) const;
  // The first entry whose order is at or after `begin_us`, whatever its session.
  std::int64_t FirstFrom(std::int64_t begin_us) const;

 private:
  static constexpr int kChunkEntries = 2000;
  static constexpr int kChunks = kImageIndexSize / kChunkEntries;
  static_assert(kImageIndexSize % kChunkEntries == 0, "the ring is made of whole chunks");

  static int ChunkOf(std::int64_t number) {
    return static_cast<int>(number % kImageIndexSize) / kChunkEntries;
  }
  void DropOldest();
  template <typename Less>
  std::int64_t Partition(Less less) const;

  std::array<std::unique_ptr<FrameEntry[]>, kChunks> chunks_;
  static constexpr std::int64_t kInitialEntries = 2 * kChunkEntries;
  bool AllocateChunk(int chunk);
  // Takes every chunk numbers up to `end` (excluded) fall in.
  void TakeChunksUpTo(std::int64_t end);

  std::int64_t first_ = 0;
  std::int64_t next_ = 0;
  bool reserved_ = false;
};

}  // namespace acquisition
